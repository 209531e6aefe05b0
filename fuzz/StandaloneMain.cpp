// Runs a fuzz target once over every file named on the command line (folders
// are walked), so that a seed corpus can run as an ordinary test without
// libFuzzer. Exits non-zero when no input was found.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg, ec)) {
        if (entry.is_regular_file()) runs += RunFile(entry.path());
      }
    } else if (std::filesystem::is_regular_file(arg, ec)) {
      runs += RunFile(arg);
    }
  }
  std::printf("ran %d inputs\n", runs);
  return runs > 0 ? 0 : 1;
}
