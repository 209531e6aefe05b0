// Fuzz target of URL parsing, reference resolution and query reading. The
// input is a base URL, a line feed, and a reference (or just a URL). Nothing
// may crash; a parsed URL reads back from its own text as the same URL; a
// resolved reference is absolute, reads back the same, and gains no
// authority from a base that has none unless the reference brings one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CommonUtils/NSDictionaryKXHelper.h"
#include "platform/URL.h"

namespace {

void checkReadsBack(const kx::URL& url) {
  auto again = kx::URL::parse(url.absoluteString());
  if (!again || again->absoluteString() != url.absoluteString() || again->host() != url.host() ||
      again->percentEncodedPath() != url.percentEncodedPath() || again->query() != url.query()) {
    std::abort();
  }
  (void)url.path();
  (void)url.pathComponents();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string_view first = input.substr(0, newline);
  auto base = kx::URL::parse(first);
  if (base) checkReadsBack(*base);
  if (newline != std::string_view::npos && base) {
    const std::string_view reference = input.substr(newline + 1);
    if (auto resolved = kx::URL::parse(reference, *base)) {
      checkReadsBack(*resolved);
      const bool ownAuthority =
          reference.starts_with("//") || kx::URL::parse(reference).has_value();
      if (base->host().empty() && !resolved->host().empty() && !ownAuthority) {
        std::abort();
      }
    }
  }
  if (auto decoded = kx::percentDecode(input)) {
    if (kx::percentDecode(kx::percentEncode(*decoded, kx::URLCharacterSet::queryAllowed())) !=
        decoded) {
      std::abort();
    }
  }
  (void)NSDictionaryKXHelper::dictionaryFromQuery(std::string(input), kKXRawEncoding);
  return 0;
}
