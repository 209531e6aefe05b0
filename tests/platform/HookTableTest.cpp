#include "platform/HookTable.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {

using Text = std::function<std::string()>;
using Sink = std::function<void(const std::string&)>;

TEST(HookTableTest, HooksAreEmptyUntilInstalledAndEmptyAgainAfterReset) {
  kx::HookTable<Text, Sink> hooks;
  EXPECT_FALSE(hooks.has<0>());
  EXPECT_FALSE(hooks.get<1>());
  EXPECT_FALSE(hooks.hasAll());

  std::string received;
  hooks.install([] { return std::string("alice"); },
                [&received](const std::string& text) { received = text; });
  ASSERT_TRUE(hooks.hasAll());
  hooks.get<1>()(hooks.get<0>()());
  EXPECT_EQ(received, "alice");

  hooks.reset();
  EXPECT_FALSE(hooks.has<0>());
  EXPECT_FALSE(hooks.has<1>());
}

TEST(HookTableTest, SettingOneHookKeepsTheOthers) {
  kx::HookTable<Text, Text> hooks;
  hooks.install([] { return std::string("first"); }, [] { return std::string("second"); });
  hooks.set<1>(nullptr);
  EXPECT_TRUE(hooks.has<0>());
  EXPECT_FALSE(hooks.has<1>());
  EXPECT_FALSE(hooks.hasAll());
  EXPECT_EQ(hooks.get<0>()(), "first");
}

// A hook runs outside the table's lock: it may replace hooks of its own
// table (a lock held across the call would deadlock here).
TEST(HookTableTest, AHookMayInstallIntoItsOwnTable) {
  kx::HookTable<Text> hooks;
  hooks.install([&hooks] {
    hooks.install([] { return std::string("replaced"); });
    return std::string("original");
  });
  EXPECT_EQ(hooks.get<0>()(), "original");
  EXPECT_EQ(hooks.get<0>()(), "replaced");
}

TEST(HookTableTest, ADefaultIsMadeOnceAndKeptUntilReplaced) {
  kx::HookTable<std::shared_ptr<std::string>> hooks;
  int made = 0;
  auto makeDefault = [&made] {
    ++made;
    return std::make_shared<std::string>("default");
  };
  std::shared_ptr<std::string> first = hooks.getOrInstall<0>(makeDefault);
  std::shared_ptr<std::string> second = hooks.getOrInstall<0>(makeDefault);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(first, second);

  auto installed = std::make_shared<std::string>("installed");
  hooks.install(installed);
  EXPECT_EQ(hooks.getOrInstall<0>(makeDefault), installed);
  EXPECT_EQ(made, 1);
}

// Each seam has one table for the process, whatever its hook types.
struct SeamA {};
struct SeamB {};

TEST(HookTableTest, EachSeamHasItsOwnProcessTable) {
  auto& a = kx::hookTableOf<SeamA, Text>();
  auto& b = kx::hookTableOf<SeamB, Text>();
  EXPECT_NE(static_cast<void*>(&a), static_cast<void*>(&b));
  EXPECT_EQ(&a, &(kx::hookTableOf<SeamA, Text>()));
  a.install([] { return std::string("a"); });
  EXPECT_FALSE(b.has<0>());
  a.reset();
}

}  // namespace
