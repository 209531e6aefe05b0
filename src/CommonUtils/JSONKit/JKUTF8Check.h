// A yes-or-no check of a run of text for well-formed UTF-8, sixteen bytes at
// a time where the processor has the byte shuffle (SSSE3), else one sequence
// at a time. The serializer asks it first and looks for the ill-formed
// sequences themselves (to replace them) only in a run it refuses.
//
// Well-formed is RFC 3629's: no overlong forms, no surrogates, nothing above
// U+10FFFF, no stray or missing continuation bytes, no sequence cut off at
// the run's end. Noncharacters pass. It answers as
// FindInvalidUTF8(p, p + n, p + n, true) == nullptr does.
//
// Thread safety: a pure function.
#ifndef ZN_COMMONUTILS_JSONKIT_JKUTF8CHECK_H_
#define ZN_COMMONUTILS_JSONKIT_JKUTF8CHECK_H_

#include <cstddef>
#include <cstdint>

namespace jsonkit {

bool IsWellFormedUTF8(const std::uint8_t* p, std::size_t n);

}  // namespace jsonkit

#endif  // ZN_COMMONUTILS_JSONKIT_JKUTF8CHECK_H_
