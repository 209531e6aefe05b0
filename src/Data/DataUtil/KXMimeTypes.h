// KXMimeTypes answers the file-name extension of a MIME type from a table
// in the form of the system's "/etc/mime.types" (one MIME type per line,
// followed by its extensions, preferred first; "#" starts a comment), with
// the client's own small table of types (GETypeIdentifiers) for MIME types
// the file does not list or when there is no such file. MIME types are
// compared without regard to ASCII case and without their parameters
// ("text/plain; charset=utf-8" is "text/plain").
//
// Thread safety: a table is read once, when it is made, and never changes;
// every member may be called from any thread.
#ifndef ZN_DATA_DATAUTIL_KXMIMETYPES_H_
#define ZN_DATA_DATAUTIL_KXMIMETYPES_H_

#include <string>
#include <string_view>
#include <unordered_map>

class KXMimeTypes {
 public:
  static constexpr const char* kSystemTablePath = "/etc/mime.types";

  // The table of the system file, read on the first call; never freed.
  static const KXMimeTypes& systemTypes();

  // Reads the table at `path`; a file that cannot be read gives an empty
  // table (the fallback alone), and says so in the log.
  explicit KXMimeTypes(const std::string& path);

  // The preferred extension, without a dot: the first one the file lists
  // for the type, else the fallback table's; "" when neither knows it.
  std::string preferredExtensionForMIMEType(std::string_view mimeType) const;

 private:
  std::unordered_map<std::string, std::string> extensions_;  // MIME type -> extension
};

#endif  // ZN_DATA_DATAUTIL_KXMIMETYPES_H_
