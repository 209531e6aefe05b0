#include "account/KXCookieUtil.h"

#include <string>
#include <vector>

namespace {

std::string trimBlanks(std::string_view text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return "";
  std::size_t end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    std::size_t at = text.find(separator, start);
    pieces.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) return pieces;
    start = at + 1;
  }
}

}  // namespace

kx::Dictionary KXCookieUtil::cookieForValue(std::string_view cookie) {
  kx::Dictionary result;
  std::vector<std::string_view> pieces = split(cookie, ';');
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::vector<std::string_view> sides = split(pieces[i], '=');
    if (i == 0) {
      result.set("name", trimBlanks(sides[0]));
      if (sides.size() == 2) result.set("value", trimBlanks(sides[1]));
    } else if (sides.size() == 2) {
      result.set(trimBlanks(sides[0]), trimBlanks(sides[1]));
    }
  }
  return result;
}

std::optional<kx::Dictionary> KXCookieUtil::cookiesFromObject(const kx::Value& object) {
  if (object.isString()) {
    kx::Dictionary cookie = cookieForValue(object.string());
    std::string name = cookie["name"].stringValue();
    return kx::Dictionary{{name, kx::Value(std::move(cookie))}};
  }
  if (!object.isArray()) return std::nullopt;
  kx::Dictionary cookies;
  for (const kx::Value& item : object.array()) {
    if (!item.isString()) continue;
    kx::Dictionary cookie = cookieForValue(item.string());
    std::string name = cookie["name"].stringValue();
    cookies.set(name, kx::Value(std::move(cookie)));
  }
  return cookies;
}
