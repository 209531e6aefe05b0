#include "account/KXCookieJarFile.h"

#include <ctime>
#include <string_view>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/FileSystem.h"

namespace {

constexpr std::string_view kHeader = "# ZarvelNote cookies\n";

// Whether a cookie survives the jar and the file unchanged: no field holds
// a NUL (the jar takes C strings and would cut it there), a tab or a line
// break; the name is not empty; and the domain names something: not empty,
// not a lone ".", and not starting with "#" once a leading "." is dropped
// (the line would read as a comment).
bool RoundTrips(const kx::HTTPTransport::Cookie& cookie) {
  for (const std::string* field : {&cookie.domain, &cookie.path, &cookie.name, &cookie.value}) {
    if (field->find_first_of(std::string_view("\0\t\r\n", 4)) != std::string::npos) return false;
  }
  std::string_view domain = cookie.domain;
  if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  return !cookie.name.empty() && !domain.empty() && domain.front() != '#';
}

}  // namespace

KXCookieJarFile::KXCookieJarFile(kx::HTTPTransport& transport, std::string path)
    : transport_(transport), path_(std::move(path)) {}

kx::SerialQueue& KXCookieJarFile::queue() {
  static kx::SerialQueue* queue = new kx::SerialQueue(kQueueLabel);
  return *queue;
}

KXCookieJarFile::~KXCookieJarFile() {
  transport_.setCookiesChangedHandler(nullptr);
  flush();
}

void KXCookieJarFile::attach() {
  std::string text;
  kx::Error error;
  if (kx::FileSystem::Default().exists(path_) &&
      kx::FileSystem::Default().readFile(path_, &text, &error)) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string_view line(text.data() + start, end - start);
      start = end + 1;
      if (line.empty() || (line[0] == '#' && line.rfind("#HttpOnly_", 0) != 0)) continue;
      kx::HTTPTransport::Cookie cookie;
      if (!kx::HTTPTransport::parseCookieLine(line, &cookie) || !RoundTrips(cookie)) continue;
      if (cookie.expires != 0 && cookie.expires <= now) continue;
      transport_.setCookie(cookie);
    }
  } else if (error) {
    KXLOG("cannot read the cookie file %s: %s", path_.c_str(),
          error.localizedDescription().c_str());
  }
  std::weak_ptr<KXCookieJarFile> weak = weak_from_this();
  transport_.setCookiesChangedHandler([weak] {
    if (weak.expired()) return;
    queue().async([weak] {
      // save() logs a failure; the next change writes the whole jar again.
      if (std::shared_ptr<KXCookieJarFile> alive = weak.lock())
        kx::ignoreError(alive->save(nullptr));
    });
  });
}

bool KXCookieJarFile::save(kx::Error* error) {
  kx::MutexLock lock(writeMu_);
  std::string text(kHeader);
  for (const kx::HTTPTransport::Cookie& cookie : transport_.cookies()) {
    if (!RoundTrips(cookie)) continue;
    text += kx::HTTPTransport::cookieLine(cookie);
    text += '\n';
  }
  kx::Error failure;
  if (!kx::FileSystem::Default().writePrivateFileAtomically(path_, text, &failure)) {
    KXLOG("cannot write the cookie file %s: %s", path_.c_str(),
          failure.localizedDescription().c_str());
    if (error) *error = failure;
    return false;
  }
  return true;
}

void KXCookieJarFile::flush() {
  queue().sync([] {});
}
