#include "CommonUtils/KXConfiguration.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "CommonUtils/KXHooks.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace {

using Op = kxtest::FaultInjectingFileSystem::Op;

class KXConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = root_.path() + "/config";
    presenter_ = std::make_shared<KXHeadlessErrorPresenter>();
    KXErrorPresenter::install(presenter_);
  }
  void TearDown() override {
    kx::MainQueue::shared().drain();
    KXErrorPresenter::install(nullptr);
    KXHooks::resetForTesting();
  }
  void writeConfig(const kx::Dictionary& values) {
    ASSERT_TRUE(kx::PropertyList::writeFile(path_, kx::Value(values)));
  }
  std::size_t presentedSaveFailures() {
    kx::MainQueue::shared().drain();
    std::size_t n = 0;
    for (const kx::Error& e : presenter_->presentedErrors()) {
      if (e.localizedDescription() == "Save User Configruation File Fail") ++n;
    }
    return n;
  }

  kxtest::TempAppRoot root_;
  std::string path_;
  std::shared_ptr<KXHeadlessErrorPresenter> presenter_;
};

TEST_F(KXConfigurationTest, MissingFileReadsEveryKeyAsAbsent) {
  KXConfiguration config(path_);
  EXPECT_TRUE(config.itemForKey(kKXConfigFontFamily).isNull());
  EXPECT_EQ(config.stringForKey(kKXConfigFontFamily, kKXConfigFontFamilyDefault), "Helvetica");
  EXPECT_EQ(config.stringForKey(kKXConfigFontSize, kKXConfigFontSizeDefault), "14");
  EXPECT_EQ(config.stringForKey(kKXConfigDataConflict, kKXConfigDataConflictDefault), "1");
}

TEST_F(KXConfigurationTest, StoredValuesAreReadFromEitherForm) {
  for (kx::PropertyList::Format format :
       {kx::PropertyList::Format::XML, kx::PropertyList::Format::Binary}) {
    const kx::Dictionary values{{"data-conflict", "2"}, {"font-family", "宋体"}};
    ASSERT_TRUE(kx::PropertyList::writeFile(path_, kx::Value(values), format));
    KXConfiguration config(path_);
    EXPECT_EQ(config.itemForKey("data-conflict"), kx::Value("2"));
    EXPECT_EQ(config.stringForKey("font-family", "Helvetica"), "宋体");
    EXPECT_EQ(config.stringForKey("font-size", "14"), "14");
    // Readable, so it may be changed and saved.
    config.setValue(kx::Value("16"), "font-size");
    EXPECT_TRUE(config.save());
    EXPECT_EQ(kx::PropertyList::readFile(path_),
              kx::Value(kx::Dictionary{
                  {"data-conflict", "2"}, {"font-family", "宋体"}, {"font-size", "16"}}));
  }
}

TEST_F(KXConfigurationTest, UnreadableFileIsNeverOverwritten) {
  ASSERT_TRUE(kx::FileSystem::Posix().writeFile(path_, "not a property list", nullptr));
  KXConfiguration config(path_);
  EXPECT_TRUE(config.itemForKey("font-family").isNull());
  config.setValue("Songti", "font-family");
  EXPECT_TRUE(config.itemForKey("font-family").isNull()) << "changes are refused";
  kx::Error error;
  EXPECT_FALSE(config.save(&error));
  EXPECT_TRUE(error);
  std::string contents;
  ASSERT_TRUE(kx::FileSystem::Posix().readFile(path_, &contents, nullptr));
  EXPECT_EQ(contents, "not a property list");
  EXPECT_EQ(presentedSaveFailures(), 1u);

  // Once the file reads again, the configuration works again.
  writeConfig({{"font-size", "16"}});
  config.reload();
  EXPECT_EQ(config.itemForKey("font-size"), kx::Value("16"));
  config.setValue("Songti", "font-family");
  EXPECT_TRUE(config.save());
}

TEST_F(KXConfigurationTest, SetRecordsTheChangeAndSaveWritesEverything) {
  writeConfig({{"font-size", "16"}});
  KXConfiguration config(path_);
  config.setValue("Songti", "font-family");
  EXPECT_EQ(config.changedInfo(), (kx::Array{kx::Value("font-family"), kx::Value("Songti")}));
  config.setValue(kx::Value(), "font-size");  // Null changes nothing
  EXPECT_EQ(config.itemForKey("font-size"), kx::Value("16"));
  ASSERT_TRUE(config.save());

  KXConfiguration reread(path_);
  EXPECT_EQ(reread.allConfig(), (kx::Dictionary{{"font-size", "16"}, {"font-family", "Songti"}}));
}

TEST_F(KXConfigurationTest, FailedSaveKeepsTheOldFileAndIsPresented) {
  writeConfig({{"font-size", "16"}});
  KXConfiguration config(path_);
  config.setValue("18", "font-size");
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject(
        {.op = Op::Append, .pathContains = "", .times = -1, .error = ENOSPC, .shortWrite = true});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    EXPECT_FALSE(config.save());
  }
  KXConfiguration reread(path_);
  EXPECT_EQ(reread.itemForKey("font-size"), kx::Value("16"));
  EXPECT_EQ(presentedSaveFailures(), 1u);
}

TEST_F(KXConfigurationTest, SharedFormReadsTheCurrentUsersFile) {
  writeConfig({{"font-family", "Kai"}});
  std::string path = path_;
  KXHooks::setConfigurationFilePathProvider([&path] { return path; });
  KXConfiguration config;
  EXPECT_EQ(config.path(), path_);
  EXPECT_EQ(config.itemForKey("font-family"), kx::Value("Kai"));

  // After a user switch, reload follows the new user's file.
  path = root_.path() + "/other-config";
  config.reload();
  EXPECT_TRUE(config.itemForKey("font-family").isNull());
}

}  // namespace
