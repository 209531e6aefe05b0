// Fuzz target of the binary property-list reader and writer. Whatever the
// input, reading must not crash; whatever it reads must write out in the
// binary form, read back, and write out to the same bytes again, however
// much the file shares; and writing it as XML must end (it may refuse).
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
  auto bytes = kx::PropertyList::serialize(*value, kx::PropertyList::Format::Binary);
  if (!bytes) std::abort();  // everything read can be written
  auto again = kx::PropertyList::parse(*bytes);
  if (!again) std::abort();
  auto bytesAgain = kx::PropertyList::serialize(*again, kx::PropertyList::Format::Binary);
  if (!bytesAgain || *bytesAgain != *bytes) std::abort();
  (void)kx::PropertyList::serialize(*value);
  return 0;
}
