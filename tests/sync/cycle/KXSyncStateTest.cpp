// The sync engine's run flags: their starting values, that each keeps what
// was set, and the version a note made while no root entry is stored takes.
#include "sync/cycle/KXSyncState.h"

#include <gtest/gtest.h>

namespace {

TEST(KXSyncStateTest, StartsIdleAndKeepsWhatIsSet) {
  KXSyncState state;
  EXPECT_FALSE(state.isFirstLoginDownloading());
  EXPECT_FALSE(state.isFullPulling());
  EXPECT_EQ(state.tempVersionForFirstDownLoading(), -1);
  EXPECT_TRUE(state.currentSessionVersion().isNull());
  state.setIsFullPulling(true);
  state.setTempVersionForFirstDownLoading(77);
  state.setCurrentSessionVersion(kx::Value(12));
  EXPECT_TRUE(state.isFullPulling());
  EXPECT_EQ(state.tempVersionForFirstDownLoading(), 77);
  EXPECT_EQ(state.currentSessionVersion(), kx::Value(12));
  EXPECT_EQ(&KXSyncState::shared(), &KXSyncState::shared());
}

TEST(KXSyncStateTest, NewEntryWithoutRootTakesTheFirstDownloadsVersionOnlyDuringIt) {
  struct Case {
    bool downloading;
    std::int64_t temp;
    std::int64_t expected;
  };
  for (const Case& c :
       {Case{false, -1, -1}, Case{false, 55, -1}, Case{true, 55, 55}, Case{true, -1, -1}}) {
    KXSyncState state;
    state.setIsFirstLoginDownloading(c.downloading);
    state.setTempVersionForFirstDownLoading(c.temp);
    EXPECT_EQ(state.versionForNewEntryWithoutRoot(), c.expected)
        << "downloading " << c.downloading << ", version " << c.temp;
  }
}

}  // namespace
