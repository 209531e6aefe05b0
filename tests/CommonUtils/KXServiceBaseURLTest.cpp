#include "CommonUtils/KXServiceBaseURL.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(KXServiceBaseURLTest, OverrideIsTakenOnlyWhenItIsAnAcceptableOrigin) {
  struct Case {
    const char* value;
    const char* origin;
    const char* host;
  };
  const Case cases[] = {
      {nullptr, "https://note.zarvel.com", "note.zarvel.com"},
      {"https://Test.Example", "https://test.example", "test.example"},
      {"https://test.example/", "https://test.example", "test.example"},
      {"https://test.example:8443", "https://test.example:8443", "test.example"},
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080", "127.0.0.1"},
      {"http://localhost:1", "http://localhost:1", "localhost"},
      // Refused: plain http off the loopback, paths, queries, user info,
      // other schemes, no URL at all.
      {"http://test.example", "https://note.zarvel.com", "note.zarvel.com"},
      {"https://test.example/api", "https://note.zarvel.com", "note.zarvel.com"},
      {"https://test.example?x=1", "https://note.zarvel.com", "note.zarvel.com"},
      {"https://user@test.example", "https://note.zarvel.com", "note.zarvel.com"},
      {"ftp://test.example", "https://note.zarvel.com", "note.zarvel.com"},
      {"not a url", "https://note.zarvel.com", "note.zarvel.com"},
      {"", "https://note.zarvel.com", "note.zarvel.com"},
  };
  for (const Case& c : cases) {
    ScopedEnvironment env(kKXServiceBaseURLEnvironmentVariable, c.value);
    EXPECT_EQ(KXServiceBaseURL(), c.origin) << (c.value ? c.value : "(unset)");
    EXPECT_EQ(KXServiceHost(), c.host) << (c.value ? c.value : "(unset)");
  }
}

}  // namespace
