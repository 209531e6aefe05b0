// KXCookieJarFile keeps a transport's cookie jar in a file, so that the
// service's session cookies survive a restart of the program. The session
// attaches one to the process's transport for the application data folder.
//
// The file holds one cookie per line in the jar's line format
// (kx::HTTPTransport::cookieLine), session cookies included, after a
// comment line. It is written atomically with mode 0600 (the cookies sign
// the user in) whenever the transport reports a change of the jar, on the
// serial queue "com.zarvel.note.queue.cookies"; each write lists the jar at
// that moment, so the last write holds the last state. load() adds the
// file's cookies to the jar, skipping expired ones and lines that do not
// read. A cookie that would not come back as it was (a NUL, tab or line
// break in a field, an empty name, a domain that is empty, ".", or starts
// with "#") is neither read nor written.
//
// Thread safety: every member may be called from any thread. The object
// installs itself as the transport's cookie handler on attach() and removes
// itself on destruction; writes queued before run first.
#ifndef ZN_ACCOUNT_KXCOOKIEJARFILE_H_
#define ZN_ACCOUNT_KXCOOKIEJARFILE_H_

#include <memory>
#include <string>

#include "platform/Error.h"
#include "platform/HTTPTransport.h"
#include "platform/Mutex.h"
#include "platform/SerialQueue.h"

class KXCookieJarFile : public std::enable_shared_from_this<KXCookieJarFile> {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.cookies";

  KXCookieJarFile(kx::HTTPTransport& transport, std::string path);
  ~KXCookieJarFile();
  KXCookieJarFile(const KXCookieJarFile&) = delete;
  KXCookieJarFile& operator=(const KXCookieJarFile&) = delete;

  const std::string& path() const { return path_; }

  // Adds the file's cookies to the jar (nothing when there is no file), then
  // writes the file on every later change of the jar.
  void attach();
  // Writes the jar now, on the calling thread.
  [[nodiscard]] bool save(kx::Error* error);
  // Returns once every write queued before the call has run.
  void flush();
  // The queue of the writes (one for the process, never freed).
  static kx::SerialQueue& queue();

 private:
  kx::HTTPTransport& transport_;
  const std::string path_;
  kx::Mutex writeMu_;  // one write at a time, each listing the jar afresh
};

#endif  // ZN_ACCOUNT_KXCOOKIEJARFILE_H_
