// GETypeIdentifiers is the small table of uniform type identifiers that the
// client needs, in place of the desktop platform's type database: for each
// type its MIME types and file-name extensions (preferred first) and the
// types it directly conforms to. Unknown types, MIME types and extensions
// answer nothing; MIME types and extensions are matched without regard to
// ASCII case.
//
// Thread safety: the table is built once, thread-safely, and never changes.
#ifndef ZN_COMMONUTILS_MAGICKIT_GETYPEIDENTIFIERS_H_
#define ZN_COMMONUTILS_MAGICKIT_GETYPEIDENTIFIERS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class GETypeIdentifiers {
 public:
  GETypeIdentifiers() = delete;

  // "image/png" -> "public.png"; "" when the MIME type is not in the table.
  static std::string preferredIdentifierForMIMEType(std::string_view mimeType);
  // "JPG" -> "public.jpeg"; "" when unknown.
  static std::string preferredIdentifierForExtension(std::string_view extension);
  // "public.jpeg" -> "image/jpeg"; "" when unknown or without a MIME type.
  static std::string preferredMIMEType(std::string_view identifier);
  // "public.jpeg" -> "jpeg"; "" when unknown or without an extension.
  static std::string preferredExtension(std::string_view identifier);
  // The preferred extension of the type a MIME type maps to: "image/jpeg" ->
  // "jpeg"; "" when unknown.
  static std::string preferredExtensionForMIMEType(std::string_view mimeType);
  // The types `identifier` directly conforms to, in declaration order;
  // nullopt for a type the table does not declare.
  static std::optional<std::vector<std::string>> conformsTo(std::string_view identifier);
};

#endif  // ZN_COMMONUTILS_MAGICKIT_GETYPEIDENTIFIERS_H_
