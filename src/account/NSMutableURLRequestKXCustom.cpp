#include "account/NSMutableURLRequestKXCustom.h"

#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/NSDictionaryKXHelper.h"
#include "platform/Mutex.h"

namespace {

kx::Mutex& commonMutex() {
  static kx::Mutex* mu = new kx::Mutex();
  return *mu;
}

std::optional<kx::Dictionary>& commonSlot() REQUIRES(commonMutex()) {
  static auto* slot = new std::optional<kx::Dictionary>();
  return *slot;
}

// Query pairs in order: the key as it compares, the text "key=value" as it
// goes on the wire.
using Pairs = std::vector<std::pair<std::string, std::string>>;

void put(Pairs* pairs, const std::string& key, std::string text) {
  for (auto& pair : *pairs) {
    if (pair.first == key) {
      pair.second = std::move(text);
      return;
    }
  }
  pairs->emplace_back(key, std::move(text));
}

void putEscapedAlready(Pairs* pairs, const kx::Dictionary& dictionary) {
  for (const auto& [key, value] : dictionary) put(pairs, key, key + "=" + value.stringValue());
}

}  // namespace

void NSMutableURLRequestKXCustom::settingCommonStaticsQuery(std::string_view query) {
  kx::Dictionary dictionary = NSDictionaryKXHelper::dictionaryFromQuery(query, kKXRawEncoding);
  kx::MutexLock lock(commonMutex());
  commonSlot() = std::move(dictionary);
}

std::optional<kx::Dictionary> NSMutableURLRequestKXCustom::commonStaticsQueryDict() {
  kx::MutexLock lock(commonMutex());
  return commonSlot();
}

void NSMutableURLRequestKXCustom::resetCommonStaticsQueryForTesting() {
  kx::MutexLock lock(commonMutex());
  commonSlot().reset();
}

std::optional<kx::URLRequest> NSMutableURLRequestKXCustom::requestWithString(
    std::string_view urlText, const kx::Dictionary* params, const kx::Dictionary* headers) {
  std::optional<kx::URL> url = kx::URL::parse(urlText);
  if (!url) return std::nullopt;

  Pairs pairs;
  if (url->query()) {
    putEscapedAlready(&pairs,
                      NSDictionaryKXHelper::dictionaryFromQuery(*url->query(), kKXRawEncoding));
  }
  if (params) {
    for (const auto& entry : *params) {
      kx::Dictionary one{{entry.first, entry.second}};
      put(&pairs, entry.first, NSDictionaryKXHelper::stringForHTTPFormat(one, "&", "="));
    }
  }
  if (std::optional<kx::Dictionary> common = commonStaticsQueryDict()) {
    putEscapedAlready(&pairs, *common);
  }

  std::string query;
  for (const auto& pair : pairs) {
    if (!query.empty()) query += '&';
    query += pair.second;
  }

  // The URL without its query and fragment, then the new query, then the
  // fragment: the query starts at the first "?" (none can come earlier).
  const std::string& absolute = url->absoluteString();
  std::size_t end = absolute.find_first_of("?#");
  std::string rebuilt = absolute.substr(0, end);
  if (!query.empty() || url->query()) rebuilt += "?" + query;
  if (url->fragment()) rebuilt += "#" + *url->fragment();
  std::optional<kx::URL> finalURL = kx::URL::parse(rebuilt);
  if (!finalURL) return std::nullopt;

  kx::URLRequest request(*finalURL);
  if (headers) {
    for (const auto& [field, value] : *headers) request.setValue(value.stringValue(), field);
  }
  request.setCachePolicy(kx::URLRequestCachePolicy::UseProtocolCachePolicy);
  request.setTimeoutInterval(kTimeoutInterval);
  return request;
}
