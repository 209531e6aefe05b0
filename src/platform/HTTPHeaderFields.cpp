#include "platform/HTTPHeaderFields.h"

namespace kx {

HTTPHeaderFields::HTTPHeaderFields(std::initializer_list<Field> fields) {
  for (const Field& field : fields) set(field.first, field.second);
}

bool HTTPHeaderFields::namesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
  for (const Field& field : fields_) {
    if (namesEqual(field.first, name)) return field.second;
  }
  return std::nullopt;
}

bool HTTPHeaderFields::contains(std::string_view name) const {
  for (const Field& field : fields_) {
    if (namesEqual(field.first, name)) return true;
  }
  return false;
}

void HTTPHeaderFields::set(std::string_view name, std::string_view value) {
  for (Field& field : fields_) {
    if (namesEqual(field.first, name)) {
      field.second = std::string(value);
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::string(value));
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
  fields_.emplace_back(std::string(name), std::string(value));
}

std::vector<std::string> HTTPHeaderFields::values(std::string_view name) const {
  std::vector<std::string> found;
  for (const Field& field : fields_) {
    if (namesEqual(field.first, name)) found.push_back(field.second);
  }
  return found;
}

bool HTTPHeaderFields::remove(std::string_view name) {
  std::size_t before = fields_.size();
  std::erase_if(fields_, [&](const Field& field) { return namesEqual(field.first, name); });
  return fields_.size() != before;
}

}  // namespace kx
