// GEMagicKit tells what a file or a buffer holds, by its content, with
// libmagic and the compiled database "magic.mgc" in the program's resources
// folder. Each answer carries the MIME type, the description and the type
// identifiers of the MIME type (GETypeIdentifiers).
//
// One process-wide libmagic handle serves every call. libmagic handles are
// not safe for concurrent use and each call changes the handle's flags, so
// calls are serialised by one lock; they run on the caller's thread.
//
// A database that is missing or cannot be loaded is an error of the call
// (domain "MagicKit", the errno value as code), logged once, and the load is
// tried again at the next call; the process goes on.
//
// Thread safety: every function may be called from any thread.
#ifndef ZN_COMMONUTILS_MAGICKIT_GEMAGICKIT_H_
#define ZN_COMMONUTILS_MAGICKIT_GEMAGICKIT_H_

#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/MagicKit/GEMagicResult.h"
#include "platform/Error.h"
#include "platform/URL.h"
#include "platform/Value.h"

struct magic_set;

inline constexpr const char* kGEMagicKitErrorDomain = "MagicKit";

class GEMagicKit {
 public:
  GEMagicKit() = delete;

  // The libmagic handle with the database loaded; nullptr (with the error)
  // when it cannot be made. The handle is shared and not locked for the
  // caller: code outside this class should use the functions below.
  static magic_set* sharedMagicCookie(kx::Error* error);

  static std::optional<GEMagicResult> magicForFileAtPath(const std::string& path,
                                                         kx::Error* error = nullptr);
  // nullopt for a URL that is not a file URL.
  static std::optional<GEMagicResult> magicForFileAtURL(const kx::URL& url,
                                                        kx::Error* error = nullptr);
  static std::optional<GEMagicResult> magicForData(const kx::Bytes& data,
                                                   kx::Error* error = nullptr);
  static std::optional<GEMagicResult> magicForData(const void* bytes, std::size_t length,
                                                   kx::Error* error = nullptr);

  // With `decompress`, libmagic also looks inside compressed data.
  static std::optional<GEMagicResult> magicForFileAtPath(const std::string& path, bool decompress,
                                                         kx::Error* error);
  static std::optional<GEMagicResult> magicForFileAtURL(const kx::URL& url, bool decompress,
                                                        kx::Error* error);
  static std::optional<GEMagicResult> magicForData(const kx::Bytes& data, bool decompress,
                                                   kx::Error* error);
  // `object` is data (the bytes) or a string (a file path); anything else is
  // a programming error: kx::Exception "MagicKit", "Not a valid object (data /
  // path string)".
  static std::optional<GEMagicResult> magicForObject(const kx::Value& object, bool decompress,
                                                     kx::Error* error);

  // The identifiers `identifier` conforms to, recursively: its direct
  // parents in declaration order, then the hierarchy of each parent in turn
  // (duplicates kept); nullopt for an undeclared type.
  static std::optional<std::vector<std::string>> typeHierarchyForType(
      const std::string& identifier);

  // Closes the handle so that the next call opens it and loads the database
  // again (tests use it to change the resources folder).
  static void resetForTesting();
};

#endif  // ZN_COMMONUTILS_MAGICKIT_GEMAGICKIT_H_
