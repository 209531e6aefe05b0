// Fuzz target of the classification of the web interface's requests. The
// input is a URL, and after a line feed a Referer. Nothing may crash; a
// request for the interface's own files on the service host ("/web/...")
// is always answered from local files, whatever its escapes; and a local
// file path, when there is one, lies inside the interface's folder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CommonUtils/KXServiceBaseURL.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "platform/URL.h"
#include "platform/URLRequest.h"

namespace {

const std::string& bundle() {
  static const std::string path = [] {
    char folder[] = "/tmp/zn-fuzz-classify-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    return std::string(folder);
  }();
  return path;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  auto url = kx::URL::parse(input.substr(0, newline));
  if (!url) return 0;
  kx::URLRequest request(*url);
  if (newline != std::string_view::npos) {
    request.setValue(std::string(input.substr(newline + 1)), "Referer");
  }
  static KXRequestDelegateRegistry* registry = new KXRequestDelegateRegistry();
  const KXRequestType type = RNCachingURLProtocol::requestType(request, *registry);

  const std::string& path = url->percentEncodedPath();
  if (newline == std::string_view::npos && equalsIgnoringCase(url->host(), KXServiceHost()) &&
      url->query().value_or("").find("myShare=true") == std::string::npos &&
      (path == "/web" || path.starts_with("/web/")) && type != KXRequestTypeLocalFile) {
    std::abort();
  }

  if (auto file = RNCachingURLProtocol::localFilePath(*url, "", bundle())) {
    if (file->compare(0, bundle().size() + 1, bundle() + "/") != 0) std::abort();
  }
  (void)RNCachingURLProtocol::forwardedURL(*url, "keyfrom=note.1.0.mac&os=OS_X");
  return 0;
}
