// kx::HTTPHeaderFields is the header set of a request or a response: names
// compared without regard to ASCII case, order kept for sending. Setting a
// name that is present replaces its (first) value in place; add() keeps a
// repeated field (Set-Cookie) as a field of its own.
//
// Thread safety: a plain value.
#ifndef ZN_PLATFORM_HTTPHEADERFIELDS_H_
#define ZN_PLATFORM_HTTPHEADERFIELDS_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx {

class HTTPHeaderFields {
 public:
  using Field = std::pair<std::string, std::string>;

  HTTPHeaderFields() = default;
  HTTPHeaderFields(std::initializer_list<Field> fields);

  // The value of `name`, or nullopt when absent (an empty value is present).
  std::optional<std::string> value(std::string_view name) const;
  bool contains(std::string_view name) const;
  void set(std::string_view name, std::string_view value);
  // Appends a field even when the name is present.
  void add(std::string_view name, std::string_view value);
  // Every value of `name`, in order.
  std::vector<std::string> values(std::string_view name) const;
  // Removes every field of `name`; false when there was none.
  bool remove(std::string_view name);

  const std::vector<Field>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  std::size_t size() const { return fields_.size(); }

  static bool namesEqual(std::string_view a, std::string_view b);

 private:
  std::vector<Field> fields_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_HTTPHEADERFIELDS_H_
