#include "CommonUtils/MagicKit/GEMagicKit.h"

#include <magic.h>

#include <cerrno>
#include <cstring>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/MagicKit/GETypeIdentifiers.h"
#include "platform/Mutex.h"
#include "platform/Places.h"

namespace {

// Guards the handle, its flags and every libmagic call on it.
kx::Mutex& magicLock() {
  static kx::Mutex* lock = new kx::Mutex();
  return *lock;
}

struct Cookie {
  magic_t handle GUARDED_BY(magicLock()) = nullptr;
  bool loaded GUARDED_BY(magicLock()) = false;
  bool failureLogged GUARDED_BY(magicLock()) = false;
};

Cookie& cookie() {
  static Cookie* c = new Cookie();
  return *c;
}

kx::Error databaseError(int err) {
  std::string reason = std::string("There was an error opening the magic database: ") +
                       std::strerror(err != 0 ? err : ENOENT);
  return kx::Error::make(kGEMagicKitErrorDomain, err, reason);
}

// Opens the handle and loads the database when that has not succeeded yet.
magic_t loadedCookieLocked(kx::Error* error) REQUIRES(magicLock()) {
  Cookie& c = cookie();
  if (c.handle && c.loaded) return c.handle;
  if (!c.handle) {
    c.handle = magic_open(MAGIC_NONE);
    if (!c.handle) {
      int err = errno;
      kx::SetError(error, databaseError(err));
      if (!c.failureLogged) {
        c.failureLogged = true;
        KXLOG("libmagic could not be opened: %s", std::strerror(err));
      }
      return nullptr;
    }
  }
  const std::string folder = kx::Places::resourcesDirectory();
  const std::string path = folder.empty() ? std::string() : folder + "/magic.mgc";
  errno = 0;
  if (path.empty() || magic_load(c.handle, path.c_str()) != 0) {
    int err = path.empty() ? ENOENT : (magic_errno(c.handle) ? magic_errno(c.handle) : errno);
    kx::SetError(error, databaseError(err));
    if (!c.failureLogged) {
      c.failureLogged = true;
      const char* detail = path.empty() ? "no resources folder" : magic_error(c.handle);
      KXLOG("The magic database \"%s\" could not be loaded: %s", path.c_str(),
            detail ? detail : std::strerror(err));
    }
    return nullptr;
  }
  c.loaded = true;
  return c.handle;
}

struct Subject {
  const void* bytes = nullptr;
  std::size_t length = 0;
  const std::string* path = nullptr;
};

std::optional<GEMagicResult> sniff(const Subject& subject, bool decompress, kx::Error* error) {
  std::string description;
  std::string mimeType;
  {
    kx::MutexLock guard(magicLock());
    magic_t handle = loadedCookieLocked(error);
    if (!handle) return std::nullopt;
    static const char empty = 0;
    auto run = [&](int flags, std::string* out) {
      magic_setflags(handle, flags);
      const char* answer =
          subject.path
              ? magic_file(handle, subject.path->c_str())
              : magic_buffer(handle, subject.bytes ? subject.bytes : &empty, subject.length);
      if (!answer) {
        const char* detail = magic_error(handle);
        kx::SetError(error, kx::Error::make(kGEMagicKitErrorDomain, magic_errno(handle),
                                            detail ? detail : "libmagic gave no answer"));
        return false;
      }
      out->assign(answer);
      return true;
    };
    const int compress = decompress ? MAGIC_COMPRESS : 0;
    if (!run(MAGIC_NONE | compress, &description)) return std::nullopt;
    if (!run(MAGIC_MIME_TYPE | MAGIC_MIME_ENCODING | compress, &mimeType)) return std::nullopt;
  }
  std::vector<std::string> hierarchy;
  const std::string bare = mimeType.substr(0, mimeType.find(';'));
  const std::string identifier = GETypeIdentifiers::preferredIdentifierForMIMEType(bare);
  if (!identifier.empty()) {
    hierarchy.push_back(identifier);
    if (auto more = GEMagicKit::typeHierarchyForType(identifier))
      hierarchy.insert(hierarchy.end(), more->begin(), more->end());
  }
  return GEMagicResult(std::move(mimeType), std::move(description), std::move(hierarchy));
}

}  // namespace

magic_set* GEMagicKit::sharedMagicCookie(kx::Error* error) {
  kx::MutexLock guard(magicLock());
  return loadedCookieLocked(error);
}

std::optional<GEMagicResult> GEMagicKit::magicForFileAtPath(const std::string& path,
                                                            kx::Error* error) {
  return magicForFileAtPath(path, false, error);
}

std::optional<GEMagicResult> GEMagicKit::magicForFileAtURL(const kx::URL& url, kx::Error* error) {
  return magicForFileAtURL(url, false, error);
}

std::optional<GEMagicResult> GEMagicKit::magicForData(const kx::Bytes& data, kx::Error* error) {
  return magicForData(data, false, error);
}

std::optional<GEMagicResult> GEMagicKit::magicForData(const void* bytes, std::size_t length,
                                                      kx::Error* error) {
  Subject subject;
  subject.bytes = bytes;
  subject.length = length;
  return sniff(subject, false, error);
}

std::optional<GEMagicResult> GEMagicKit::magicForFileAtPath(const std::string& path,
                                                            bool decompress, kx::Error* error) {
  Subject subject;
  subject.path = &path;
  return sniff(subject, decompress, error);
}

std::optional<GEMagicResult> GEMagicKit::magicForFileAtURL(const kx::URL& url, bool decompress,
                                                           kx::Error* error) {
  if (!url.isFileURL()) return std::nullopt;
  return magicForFileAtPath(url.path(), decompress, error);
}

std::optional<GEMagicResult> GEMagicKit::magicForData(const kx::Bytes& data, bool decompress,
                                                      kx::Error* error) {
  Subject subject;
  subject.bytes = data.data();
  subject.length = data.size();
  return sniff(subject, decompress, error);
}

std::optional<GEMagicResult> GEMagicKit::magicForObject(const kx::Value& object, bool decompress,
                                                        kx::Error* error) {
  if (object.isData()) return magicForData(object.bytes(), decompress, error);
  if (object.isString()) return magicForFileAtPath(object.string(), decompress, error);
  throw kx::Exception("MagicKit", "Not a valid object (data / path string)");
}

std::optional<std::vector<std::string>> GEMagicKit::typeHierarchyForType(
    const std::string& identifier) {
  std::optional<std::vector<std::string>> parents = GETypeIdentifiers::conformsTo(identifier);
  if (!parents) return std::nullopt;
  // The direct parents first, then the hierarchy of each in turn.
  std::vector<std::string> out = *parents;
  for (const std::string& parent : *parents) {
    if (auto more = typeHierarchyForType(parent)) out.insert(out.end(), more->begin(), more->end());
  }
  return out;
}

void GEMagicKit::resetForTesting() {
  kx::MutexLock guard(magicLock());
  Cookie& c = cookie();
  if (c.handle) magic_close(c.handle);
  c.handle = nullptr;
  c.loaded = false;
  c.failureLogged = false;
}
