#include "WebRequest/KXLocalFileHost.h"

#include "platform/Text.h"

std::string KXLocalFileHost() { return std::string("https://") + kKXLocalFileHostName; }

bool KXIsLocalFileURL(const kx::URL& url) {
  if (url.scheme() != "https" || kx::Text::asciiLower(url.host()) != kKXLocalFileHostName)
    return false;
  if (url.user() || url.password()) return false;
  return !url.port() || *url.port() == 443;
}
