#include "support/TempAppRoot.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace kxtest {

TempAppRoot::TempAppRoot() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zn-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
  const std::pair<const char*, const char*> vars[] = {{"HOME", ""},
                                                      {"XDG_DATA_HOME", "/.local/share"},
                                                      {"XDG_CACHE_HOME", "/.cache"},
                                                      {"XDG_CONFIG_HOME", "/.config"}};
  for (const auto& [name, suffix] : vars) {
    const char* old = std::getenv(name);
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    std::string value = path_ + suffix;
    std::filesystem::create_directories(value);
    setenv(name, value.c_str(), 1);
  }
}

TempAppRoot::~TempAppRoot() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace kxtest
