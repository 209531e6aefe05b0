// KXRange is a stretch of text given the way the rest of the client measures
// text: a location and a length in UTF-16 units, so that a supplementary
// character (an emoji, a rare CJK ideograph) counts as two. Match results of
// regular expressions report their ranges this way. A range whose location is
// KXNotFound stands for "nowhere" (a capture group that did not take part in
// a match).
//
// Thread safety: a plain value.
#ifndef ZN_COMMONUTILS_KXRANGE_H_
#define ZN_COMMONUTILS_KXRANGE_H_

#include <cstdint>
#include <limits>
#include <ostream>

inline constexpr std::uint64_t KXNotFound =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

struct KXRange {
  std::uint64_t location = KXNotFound;
  std::uint64_t length = 0;

  bool found() const { return location != KXNotFound; }
  // One past the last unit.
  std::uint64_t end() const { return location + length; }

  bool operator==(const KXRange&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const KXRange& range) {
  if (!range.found()) return os << "{NotFound, " << range.length << "}";
  return os << "{" << range.location << ", " << range.length << "}";
}

#endif  // ZN_COMMONUTILS_KXRANGE_H_
