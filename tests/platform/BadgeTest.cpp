// kx::Badge: only its owner makes one, and nobody passes one on. The checks
// are made by the compiler; the test fails to build when the pass-key leaks.
#include <gtest/gtest.h>

#include <type_traits>

#include "platform/Badge.h"

namespace {

class Door;

class Owner {
 public:
  static int knock(Door& door);
};

class Door {
 public:
  int open(kx::Badge<Owner>) { return ++opened_; }

 private:
  int opened_ = 0;
};

int Owner::knock(Door& door) { return door.open({}); }

// Outside Owner a badge can be neither made nor copied or moved, so open()
// cannot be called from here.
static_assert(!std::is_default_constructible_v<kx::Badge<Owner>>);
static_assert(!std::is_copy_constructible_v<kx::Badge<Owner>>);
static_assert(!std::is_move_constructible_v<kx::Badge<Owner>>);
static_assert(!std::is_aggregate_v<kx::Badge<Owner>>);

template <class D>
concept CanOpen = requires(D& door) {
  door.open({});
};
static_assert(!CanOpen<Door>);

// The control: the same shape of key with a public constructor is made by
// `{}` anywhere, so the check above fails for the private constructor alone.
struct OpenKey {
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey(OpenKey&&) = delete;
};
struct OpenDoor {
  int open(OpenKey) { return 1; }
};
static_assert(CanOpen<OpenDoor>);

TEST(BadgeTest, OnlyTheOwnerGetsThrough) {
  Door door;
  EXPECT_EQ(Owner::knock(door), 1);
  EXPECT_EQ(Owner::knock(door), 2);
}

}  // namespace
