#include "sync/pull/KXConflictManager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXConfiguration.h"
#include "Data/client/KXDataClient.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "support/TempAppRoot.h"
#include "sync/pull/KXDataConflictPolicyForType.h"

namespace {

constexpr int kLocal = 1, kCopyOne = 2, kRemote = 3;

// One row per line of the decision table, then the edge rows: each row sets
// only the flags its line names, so a line that matched too early or too
// late shows up as a wrong number.
TEST(KXConflictManagerTest, DecisionTable) {
  struct Row {
    const char* name;
    KXConflictFlags flags;
    int expected;
  };
  // fullPulling, lm, lrr, rrr, rdel, ldel, p1
  const std::vector<Row> rows = {
      {"1 full pull", {true, true, false, true, true, true, true}, kRemote},
      {"2 not modified locally", {false, false, false, true, true, true, true}, kRemote},
      {"3 removed remotely, local removed",
       {false, true, true, true, false, false, false},
       kRemote},
      {"4 removed remotely, local in trash",
       {false, true, false, true, false, true, false},
       kLocal},
      {"5 removed remotely, local live", {false, true, false, true, false, false, false}, kCopyOne},
      {"6 deleted remotely, local removed", {false, true, true, false, true, true, true}, kLocal},
      {"7 deleted remotely, local live", {false, true, false, false, true, false, false}, kLocal},
      {"8 deleted remotely, local in trash under the trash",
       {false, true, false, false, true, true, true},
       kCopyOne},
      {"9 deleted remotely, local in trash elsewhere",
       {false, true, false, false, true, true, false},
       kRemote},
      {"10 changed remotely, local removed",
       {false, true, true, false, false, false, false},
       kRemote},
      {"11 changed remotely, local live",
       {false, true, false, false, false, false, false},
       kCopyOne},
      {"12 changed remotely, local in trash under the trash",
       {false, true, false, false, false, true, true},
       kCopyOne},
      {"13 changed remotely, local in trash elsewhere",
       {false, true, false, false, false, true, false},
       kRemote},
      // Edge rows.
      {"full pull of an entry nobody touched",
       {true, false, false, false, false, false, false},
       kRemote},
      {"removal wins over deletion", {false, true, false, true, true, false, false}, kCopyOne},
      {"live entry under the trash parent",
       {false, true, false, false, false, false, true},
       kCopyOne},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(KXConflictManager::policyNumberFor(row.flags), row.expected) << row.name;
  }
}

class KXConflictManagerStoreTest : public ::testing::Test {
 protected:
  // A note of the program's store (not saved) with the given local flags.
  std::shared_ptr<FileMeta> localNote(kx::Dictionary values) {
    std::shared_ptr<FileMeta> note;
    KXDataClient::defaultDataClient().dataContext()->performSyncWriteBlock(
        [&](KXManagedObjectContext& write) {
          note = std::dynamic_pointer_cast<FileMeta>(write.insertNewObject("Note"));
          ASSERT_TRUE(note);
          note->setValuesForKeys({{"fileId", kx::Value("F1")}, {"parentId", kx::Value("P")}});
          note->setValuesForKeys(values);
        });
    return note;
  }
};

TEST_F(KXConflictManagerStoreTest, VerdictsFromPulledItemsAndLocalEntries) {
  KXConflictManager& manager = KXConflictManager::sharedManager();
  const kx::Dictionary changed{{"fileId", kx::Value("F1")}, {"version", kx::Value(4)}};
  const kx::Dictionary removed{{"fileId", kx::Value("F1")}, {"remoteRemoved", kx::Value(1)}};
  const kx::Dictionary removed2{{"fileId", kx::Value("F1")}, {"remoteRemoved", kx::Value(2)}};
  const kx::Dictionary deleted{{"fileId", kx::Value("F1")}, {"deleted", kx::Value("true")}};
  const KXConflictResult local{false, KXConflictResult::kLocalWins};
  const KXConflictResult copyOne{true, KXConflictResult::kKeepBoth};
  const KXConflictResult remote{true, KXConflictResult::kRemoteWins};

  auto modified = localNote({{"localModified", kx::Value(1)}});
  auto modifiedTwice = localNote({{"localModified", kx::Value(2)}});
  auto inTrash = localNote({{"localModified", kx::Value(1)}, {"del", kx::Value(true)}});
  auto untouched = localNote({{"localModified", kx::Value(0)}});
  const int note = KXConflictManager::kTypeNoteOrFile;
  EXPECT_EQ(manager.passConflictData(changed, nullptr, note, false), remote) << "no local entry";
  EXPECT_EQ(manager.passConflictData(changed, untouched.get(), note, false), remote);
  EXPECT_EQ(manager.passConflictData(changed, modified.get(), note, false), copyOne);
  EXPECT_EQ(manager.passConflictData(changed, modifiedTwice.get(), note, false), copyOne)
      << "any non-zero mark is a local modification";
  EXPECT_EQ(manager.passConflictData(removed, modified.get(), note, false), copyOne);
  EXPECT_EQ(manager.passConflictData(removed, inTrash.get(), note, false), local);
  EXPECT_EQ(manager.passConflictData(removed2, inTrash.get(), note, false), remote)
      << "remoteRemoved 2 is not a removal";
  EXPECT_EQ(manager.passConflictData(deleted, modified.get(), note, false), local);
  EXPECT_EQ(
      manager.passConflictData(removed, modified.get(), KXConflictManager::kTypeNotebook, false),
      copyOne)
      << "notebooks are decided alike";
  for (const auto& item : {changed, removed, deleted}) {
    EXPECT_EQ(manager.passConflictData(item, inTrash.get(), note, true), remote) << "full pull";
  }
  EXPECT_EQ(copyOne.toDictionary(),
            (kx::Dictionary{{"passed", kx::Value(true)}, {"key-policy", kx::Value(2)}}));
}

TEST(KXDataConflictPolicyTest, FactoryGivesSharedPoliciesAndRefusesOutOfRange) {
  kxtest::TempAppRoot root;
  struct Row {
    int type;
    bool passed;
    int keyPolicy;
  };
  for (const Row& row : {Row{1, false, 0}, Row{2, true, 2}, Row{3, true, 1}}) {
    const KXDataConflictPolicy* policy = KXDataConflictPolicyForType(row.type);
    ASSERT_NE(policy, nullptr) << row.type;
    EXPECT_EQ(policy, KXDataConflictPolicyForType(row.type)) << "shared";
    EXPECT_EQ(policy->handleConflictMeta({}), (KXConflictResult{row.passed, row.keyPolicy}));
  }
  for (int type : {-1, 4, 99}) EXPECT_EQ(KXDataConflictPolicyForType(type), nullptr) << type;

  // The configured number: "1" when missing; out of range refused, never
  // thrown, also for 0 (which must not loop back to the configuration).
  KXConfiguration config(root.path() + "/config.plist");
  EXPECT_EQ(KXDataConflictPolicyForType(0, &config), KXDataConflictPolicyForType(1));
  config.setValue(kx::Value("3"), KXDataConflictPolicy::kConfigurationKey);
  EXPECT_EQ(KXDataConflictPolicyForType(0, &config), KXDataConflictPolicyForType(3));
  config.setValue(kx::Value(2), KXDataConflictPolicy::kConfigurationKey);
  EXPECT_EQ(KXDataConflictPolicyForType(0, &config), KXDataConflictPolicyForType(2));
  for (const char* bad : {"7", "0", "-2", "remote"}) {
    config.setValue(kx::Value(bad), KXDataConflictPolicy::kConfigurationKey);
    EXPECT_EQ(KXDataConflictPolicyForType(0, &config), nullptr) << bad;
  }
}

}  // namespace
