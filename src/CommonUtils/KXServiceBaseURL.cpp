#include "CommonUtils/KXServiceBaseURL.h"

#include <cstdlib>
#include <optional>

#include "platform/Text.h"
#include "platform/URL.h"

namespace {

bool isLoopbackHost(const std::string& host) {
  return host == "localhost" || host == "127.0.0.1" || host == "::1";
}

// The origin the text names, or nullopt when it is not an acceptable one.
std::optional<std::string> originOf(const char* text) {
  if (!text || !*text) return std::nullopt;
  std::optional<kx::URL> url = kx::URL::parse(text);
  if (!url || url->host().empty() || url->user() || url->password() || url->query() ||
      url->fragment()) {
    return std::nullopt;
  }
  const std::string path = url->percentEncodedPath();
  if (!path.empty() && path != "/") return std::nullopt;
  const std::string host = kx::Text::asciiLower(url->host());
  if (url->scheme() != "https" && !(url->scheme() == "http" && isLoopbackHost(host))) {
    return std::nullopt;
  }
  std::string origin = url->scheme() + "://";
  origin += host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (url->port()) origin += ":" + kx::Text::toString(*url->port());
  return origin;
}

}  // namespace

std::string KXServiceBaseURL() {
  if (std::optional<std::string> origin =
          originOf(std::getenv(kKXServiceBaseURLEnvironmentVariable))) {
    return *origin;
  }
  return kKXServiceBaseURLDefault;
}

std::string KXServiceHost() {
  std::optional<kx::URL> url = kx::URL::parse(KXServiceBaseURL());
  return url ? kx::Text::asciiLower(url->host()) : std::string();
}
