// Fuzz target of the XML property-list reader. Whatever the input, parsing
// must not crash; and whatever it reads must write out, and read back to a
// value that writes out the same text again (the text is compared rather than
// the values so that a NaN compares equal to itself).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  kx::Error error;
  auto value = kx::PropertyList::parse(input, &error);
  if (!value) {
    if (!error) std::abort();  // a failure must say why
    return 0;
  }
  auto text = kx::PropertyList::serialize(*value);
  if (!text) std::abort();  // everything read can be written
  auto again = kx::PropertyList::parse(*text);
  if (!again) std::abort();
  auto textAgain = kx::PropertyList::serialize(*again);
  if (!textAgain || *textAgain != *text) std::abort();
  return 0;
}
