// Test programs' entry: before any test runs, HOME and the XDG folders point
// into a fresh temporary folder, so that no test can touch the real home.
// The folder is removed when the program ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TempAppRoot.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  kxtest::TempAppRoot processRoot;
  int rc = RUN_ALL_TESTS();
  return rc;
}
