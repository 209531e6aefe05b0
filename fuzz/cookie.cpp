// Fuzz target of cookie texts, cookie lines and the cookie jar file. Nothing
// may crash; a line that reads writes out as a line that reads back to the
// same cookie; and a jar file loaded, saved and loaded again into a fresh
// jar gives the same cookies (the jar is never handed a cookie that it
// would change or that would break it).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "account/KXCookieJarFile.h"
#include "account/KXCookieUtil.h"
#include "platform/FileSystem.h"
#include "platform/HTTPTransport.h"

namespace {

using Cookie = kx::HTTPTransport::Cookie;

auto fields(const Cookie& c) {
  return std::tie(c.domain, c.includeSubdomains, c.path, c.secure, c.httpOnly, c.expires, c.name,
                  c.value);
}

std::vector<std::string> listed(kx::HTTPTransport& transport) {
  std::vector<std::string> out;
  for (const Cookie& cookie : transport.cookies()) {
    out.push_back(kx::HTTPTransport::cookieLine(cookie));
  }
  std::sort(out.begin(), out.end());
  return out;
}

const std::string& jarPath() {
  static const std::string path = [] {
    char folder[] = "/tmp/zn-fuzz-cookie-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    return std::string(folder) + "/cookies.dat";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  (void)KXCookieUtil::cookieForValue(input);
  (void)KXCookieUtil::cookiesFromObject(kx::Value(std::string(input)));

  const std::string_view firstLine = input.substr(0, input.find('\n'));
  Cookie cookie;
  if (kx::HTTPTransport::parseCookieLine(firstLine, &cookie)) {
    Cookie again;
    if (!kx::HTTPTransport::parseCookieLine(kx::HTTPTransport::cookieLine(cookie), &again)) {
      std::abort();
    }
    if (cookie.path.empty()) cookie.path = "/";  // written as "/"
    if (fields(again) != fields(cookie)) std::abort();
  }

  static kx::HTTPTransport* first = new kx::HTTPTransport();
  static kx::HTTPTransport* second = new kx::HTTPTransport();
  first->clearCookies();
  second->clearCookies();
  if (!kx::FileSystem::Default().writeFile(jarPath(), input, nullptr)) std::abort();
  {
    auto file = std::make_shared<KXCookieJarFile>(*first, jarPath());
    file->attach();
    if (!file->save(nullptr)) std::abort();
  }
  const std::vector<std::string> saved = listed(*first);
  {
    auto file = std::make_shared<KXCookieJarFile>(*second, jarPath());
    file->attach();
  }
  if (listed(*second) != saved) std::abort();
  return 0;
}
