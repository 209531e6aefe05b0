// TempAppRoot points HOME, XDG_DATA_HOME, XDG_CACHE_HOME and XDG_CONFIG_HOME at
// a new temporary folder for its lifetime and restores the previous values
// afterwards; the folder is removed on destruction. Tests that write
// application data make one so that each starts from an empty root.
//
// Thread safety: changes the process environment; create and destroy only
// while no other thread of the test is running.
#ifndef ZN_TESTS_SUPPORT_TEMPAPPROOT_H_
#define ZN_TESTS_SUPPORT_TEMPAPPROOT_H_

#include <map>
#include <optional>
#include <string>

namespace kxtest {

class TempAppRoot {
 public:
  TempAppRoot();
  ~TempAppRoot();
  TempAppRoot(const TempAppRoot&) = delete;
  TempAppRoot& operator=(const TempAppRoot&) = delete;

  // The temporary folder that stands in for the home folder.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TEMPAPPROOT_H_
