#include "Data/DataUtil/KXMimeTypes.h"

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/MagicKit/GETypeIdentifiers.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The MIME type without parameters and surrounding blanks, lower-cased.
std::string BareType(std::string_view mimeType) {
  mimeType = mimeType.substr(0, mimeType.find(';'));
  while (!mimeType.empty() && IsBlank(mimeType.front())) mimeType.remove_prefix(1);
  while (!mimeType.empty() && IsBlank(mimeType.back())) mimeType.remove_suffix(1);
  return kx::Text::asciiLower(mimeType);
}

}  // namespace

const KXMimeTypes& KXMimeTypes::systemTypes() {
  static const KXMimeTypes* types = new KXMimeTypes(kSystemTablePath);
  return *types;
}

KXMimeTypes::KXMimeTypes(const std::string& path) {
  std::string text;
  kx::Error error;
  if (!kx::FileSystem::Default().readFile(path, &text, &error)) {
    KXLOG("no MIME type table at %s (%s); using the built-in types", path.c_str(),
          error.localizedDescription().c_str());
    return;
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    line = line.substr(0, line.find('#'));

    // Fields separated by blanks: the type, then its extensions.
    std::size_t i = 0;
    auto nextField = [&]() -> std::string_view {
      while (i < line.size() && IsBlank(line[i])) ++i;
      const std::size_t from = i;
      while (i < line.size() && !IsBlank(line[i])) ++i;
      return line.substr(from, i - from);
    };
    const std::string_view typeField = nextField();
    if (typeField.empty() || typeField.find('/') == std::string_view::npos) continue;
    const std::string_view extension = nextField();
    if (extension.empty()) continue;
    // A type listed twice keeps the extension of its first line.
    extensions_.emplace(kx::Text::asciiLower(typeField), std::string(extension));
  }
}

std::string KXMimeTypes::preferredExtensionForMIMEType(std::string_view mimeType) const {
  const std::string type = BareType(mimeType);
  if (type.empty()) return {};
  auto it = extensions_.find(type);
  if (it != extensions_.end()) return it->second;
  return GETypeIdentifiers::preferredExtensionForMIMEType(type);
}
