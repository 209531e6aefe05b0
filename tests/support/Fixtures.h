// Fixture files of the tests: everything under tests/data/ in the source
// tree, found by path relative to that folder, and read whole.
//
// Thread safety: plain functions.
#ifndef ZN_TESTS_SUPPORT_FIXTURES_H_
#define ZN_TESTS_SUPPORT_FIXTURES_H_

#include <fstream>
#include <iterator>
#include <string>

#include "platform/Value.h"

namespace kxtest {

// tests/data/<relative>.
inline std::string fixturePath(const std::string& relative) {
  return std::string(ZN_TEST_DATA_DIR) + "/" + relative;
}

// The bytes of a file; empty when it cannot be read.
inline kx::Bytes readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return kx::Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The bytes of tests/data/<relative>.
inline kx::Bytes readFixture(const std::string& relative) {
  return readFileBytes(fixturePath(relative));
}

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_FIXTURES_H_
