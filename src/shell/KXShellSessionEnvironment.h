// KXShellSessionEnvironment is what the program installs as the session's
// environment: the sign-out's teardown reaches the sync manager, both
// transfer controllers and the data client, and the data client counts the
// session's statistics. The login window, the web view's URL loading and its
// cookie store belong to the desktop; the sign-in window's opening goes to
// the function given at construction (the desktop's), and the other desktop
// calls keep the environment's default of doing nothing.
//
// Thread safety: every method may be called from any thread; each forwards
// to an object that is safe to call from any thread.
#ifndef ZN_SHELL_KXSHELLSESSIONENVIRONMENT_H_
#define ZN_SHELL_KXSHELLSESSIONENVIRONMENT_H_

#include <functional>
#include <string>
#include <utility>

#include "account/KXSessionEnvironment.h"

class KXShellSessionEnvironment : public KXSessionEnvironment {
 public:
  KXShellSessionEnvironment() = default;
  // `firstOpen` runs on the main queue for each opening of the sign-in;
  // `clearWebViewCookies` on the main queue for each sign-out.
  explicit KXShellSessionEnvironment(
      std::function<void()> firstOpen,
      std::function<void(const std::string& host)> clearWebViewCookies = nullptr)
      : firstOpen_(std::move(firstOpen)), clearWebViewCookies_(std::move(clearWebViewCookies)) {}

  void firstOpen() override;
  void clearWebViewCookies(const std::string& host) override;
  void cancelTaskWhenLogoff() override;
  void clearPushEnvironment() override;
  void clearPullEnvironment() override;
  void closeDB() override;
  void addStatisKey(const std::string& key, const kx::Value& value) override;

 private:
  std::function<void()> firstOpen_;
  std::function<void(const std::string& host)> clearWebViewCookies_;
};

#endif  // ZN_SHELL_KXSHELLSESSIONENVIRONMENT_H_
