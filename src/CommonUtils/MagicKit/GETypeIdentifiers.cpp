#include "CommonUtils/MagicKit/GETypeIdentifiers.h"

#include <unordered_map>

namespace {

struct TypeDeclaration {
  const char* identifier;
  std::vector<std::string> conformsTo;
  std::vector<std::string> mimeTypes;
  std::vector<std::string> extensions;
};

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

struct Table {
  std::vector<TypeDeclaration> types;
  std::unordered_map<std::string, const TypeDeclaration*> byIdentifier;
  std::unordered_map<std::string, const TypeDeclaration*> byMIMEType;
  std::unordered_map<std::string, const TypeDeclaration*> byExtension;

  Table() {
    types = {
        // Roots.
        {"public.item", {}, {}, {}},
        {"public.content", {}, {}, {}},
        {"public.data", {"public.item"}, {"application/octet-stream"}, {}},
        {"public.composite-content", {"public.content"}, {}, {}},
        {"public.archive", {"public.data"}, {}, {}},
        {"public.audiovisual-content", {"public.data", "public.content"}, {}, {}},
        // Text.
        {"public.text", {"public.data", "public.content"}, {}, {}},
        {"public.plain-text", {"public.text"}, {"text/plain"}, {"txt", "text"}},
        {"public.html", {"public.text"}, {"text/html"}, {"html", "htm"}},
        {"public.xml", {"public.text"}, {"application/xml", "text/xml"}, {"xml"}},
        {"public.json", {"public.text"}, {"application/json"}, {"json"}},
        {"public.comma-separated-values-text", {"public.plain-text"}, {"text/csv"}, {"csv"}},
        {"net.daringfireball.markdown",
         {"public.plain-text"},
         {"text/markdown", "text/x-markdown"},
         {"md", "markdown"}},
        {"public.css", {"public.plain-text"}, {"text/css"}, {"css"}},
        {"com.netscape.javascript-source",
         {"public.plain-text"},
         {"text/javascript", "application/javascript"},
         {"js"}},
        {"public.rtf", {"public.text"}, {"text/rtf", "application/rtf"}, {"rtf"}},
        // Images.
        {"public.image", {"public.data", "public.content"}, {}, {}},
        {"public.png", {"public.image"}, {"image/png"}, {"png"}},
        {"public.jpeg", {"public.image"}, {"image/jpeg", "image/jpg"}, {"jpeg", "jpg", "jpe"}},
        {"com.compuserve.gif", {"public.image"}, {"image/gif"}, {"gif"}},
        {"public.tiff", {"public.image"}, {"image/tiff"}, {"tiff", "tif"}},
        {"com.microsoft.bmp", {"public.image"}, {"image/bmp", "image/x-ms-bmp"}, {"bmp"}},
        {"public.svg-image", {"public.image"}, {"image/svg+xml"}, {"svg"}},
        {"org.webmproject.webp", {"public.image"}, {"image/webp"}, {"webp"}},
        {"public.heic", {"public.image"}, {"image/heic"}, {"heic"}},
        {"com.microsoft.ico",
         {"public.image"},
         {"image/vnd.microsoft.icon", "image/x-icon"},
         {"ico"}},
        // Documents.
        {"com.adobe.pdf",
         {"public.data", "public.composite-content"},
         {"application/pdf"},
         {"pdf"}},
        {"com.microsoft.word.doc",
         {"public.data", "public.composite-content"},
         {"application/msword"},
         {"doc"}},
        {"org.openxmlformats.wordprocessingml.document",
         {"public.data", "public.composite-content"},
         {"application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
         {"docx"}},
        {"com.microsoft.excel.xls",
         {"public.data", "public.composite-content"},
         {"application/vnd.ms-excel"},
         {"xls"}},
        {"org.openxmlformats.spreadsheetml.sheet",
         {"public.data", "public.composite-content"},
         {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
         {"xlsx"}},
        {"com.microsoft.powerpoint.ppt",
         {"public.data", "public.composite-content"},
         {"application/vnd.ms-powerpoint"},
         {"ppt"}},
        {"org.openxmlformats.presentationml.presentation",
         {"public.data", "public.composite-content"},
         {"application/vnd.openxmlformats-officedocument.presentationml.presentation"},
         {"pptx"}},
        // Archives.
        {"public.zip-archive",
         {"public.archive"},
         {"application/zip", "application/x-zip-compressed"},
         {"zip"}},
        {"org.gnu.gnu-zip-archive",
         {"public.archive"},
         {"application/gzip", "application/x-gzip"},
         {"gz", "gzip"}},
        {"public.tar-archive", {"public.archive"}, {"application/x-tar"}, {"tar"}},
        {"com.rarlab.rar-archive",
         {"public.archive"},
         {"application/vnd.rar", "application/x-rar"},
         {"rar"}},
        {"org.7-zip.7-zip-archive", {"public.archive"}, {"application/x-7z-compressed"}, {"7z"}},
        // Sound and film.
        {"public.audio", {"public.audiovisual-content"}, {}, {}},
        {"public.mp3", {"public.audio"}, {"audio/mpeg", "audio/mp3"}, {"mp3"}},
        {"public.mpeg-4-audio", {"public.audio"}, {"audio/mp4", "audio/x-m4a"}, {"m4a"}},
        {"com.microsoft.waveform-audio",
         {"public.audio"},
         {"audio/wav", "audio/x-wav", "audio/vnd.wave"},
         {"wav"}},
        {"public.movie", {"public.audiovisual-content"}, {}, {}},
        {"public.mpeg-4", {"public.movie"}, {"video/mp4"}, {"mp4"}},
        {"com.apple.quicktime-movie", {"public.movie"}, {"video/quicktime"}, {"mov"}},
        {"public.avi", {"public.movie"}, {"video/avi", "video/x-msvideo"}, {"avi"}},
    };
    for (const TypeDeclaration& t : types) {
      byIdentifier.emplace(t.identifier, &t);
      for (const std::string& m : t.mimeTypes) byMIMEType.emplace(lowered(m), &t);
      for (const std::string& e : t.extensions) byExtension.emplace(lowered(e), &t);
    }
  }
};

const Table& table() {
  static const Table* t = new Table();
  return *t;
}

const TypeDeclaration* find(const std::unordered_map<std::string, const TypeDeclaration*>& map,
                            const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : it->second;
}

}  // namespace

std::string GETypeIdentifiers::preferredIdentifierForMIMEType(std::string_view mimeType) {
  const TypeDeclaration* t = find(table().byMIMEType, lowered(mimeType));
  return t ? t->identifier : "";
}

std::string GETypeIdentifiers::preferredIdentifierForExtension(std::string_view extension) {
  const TypeDeclaration* t = find(table().byExtension, lowered(extension));
  return t ? t->identifier : "";
}

std::string GETypeIdentifiers::preferredMIMEType(std::string_view identifier) {
  const TypeDeclaration* t = find(table().byIdentifier, std::string(identifier));
  return t && !t->mimeTypes.empty() ? t->mimeTypes.front() : "";
}

std::string GETypeIdentifiers::preferredExtension(std::string_view identifier) {
  const TypeDeclaration* t = find(table().byIdentifier, std::string(identifier));
  return t && !t->extensions.empty() ? t->extensions.front() : "";
}

std::string GETypeIdentifiers::preferredExtensionForMIMEType(std::string_view mimeType) {
  return preferredExtension(preferredIdentifierForMIMEType(mimeType));
}

std::optional<std::vector<std::string>> GETypeIdentifiers::conformsTo(std::string_view identifier) {
  const TypeDeclaration* t = find(table().byIdentifier, std::string(identifier));
  if (!t) return std::nullopt;
  return t->conformsTo;
}
