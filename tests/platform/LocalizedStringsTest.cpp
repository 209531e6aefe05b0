#include "platform/LocalizedStrings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "support/TempAppRoot.h"

namespace kx {
namespace {

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// Runs first in this file: the shared table has not been looked up yet, so
// its lazy load reads the resources folder that ZN_RESOURCES_DIR names.
TEST(LocalizedStringsTest, SharedTableLoadsTheResourceFileOnFirstUse) {
  kxtest::TempAppRoot root;
  writeFile(root.path() + "/Localizable.strings", "\"Sync Fail\" = \"同步失败\";\n");
  std::optional<std::string> saved;
  if (const char* old = std::getenv("ZN_RESOURCES_DIR")) saved = old;
  setenv("ZN_RESOURCES_DIR", root.path().c_str(), 1);

  EXPECT_EQ(LocalizedStrings::localized("Sync Fail"), "同步失败");
  EXPECT_EQ(LocalizedStrings::localized("Network Error"), "Network Error");

  // A table loaded from a given path replaces it.
  writeFile(root.path() + "/other.strings", "\"Sync Fail\" = \"other\";");
  ASSERT_TRUE(LocalizedStrings::sharedStrings().loadFile(root.path() + "/other.strings", nullptr));
  EXPECT_EQ(LocalizedStrings::localized("Sync Fail"), "other");

  if (saved) {
    setenv("ZN_RESOURCES_DIR", saved->c_str(), 1);
  } else {
    unsetenv("ZN_RESOURCES_DIR");
  }
}

TEST(LocalizedStringsTest, ShippedTableParses) {
  std::ifstream in(std::string(ZN_SOURCE_DIR) + "/resources/Localizable.strings", std::ios::binary);
  ASSERT_TRUE(in) << "resources/Localizable.strings is missing";
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LocalizedStrings::Table table;
  Error error;
  EXPECT_TRUE(LocalizedStrings::parse(text, &table, &error)) << error.localizedDescription();
}

TEST(LocalizedStringsTest, ParsesTheStringsFileForm) {
  const std::pair<std::string, LocalizedStrings::Table> cases[] = {
      {"", {}},
      {"/* only a comment */\n// and another\n", {}},
      {"\"a\" = \"b\";", {{"a", "b"}}},
      {"  \"a\"=\"b\" ;\"c\" = \"d\";", {{"a", "b"}, {"c", "d"}}},
      {"\"q\" = \"say \\\"hi\\\"\\\\ now\\n\\tend\";", {{"q", "say \"hi\"\\ now\n\tend"}}},
      {"\"u\" = \"\\U4E2D\\u6587 \\UD83D\\UDE00\";", {{"u", "中文 \xF0\x9F\x98\x80"}}},
      {"\"lone\" = \"\\uD83Dx\";", {{"lone", "\xEF\xBF\xBDx"}}},
      {"\"oct\" = \"\\101\\60\";", {{"oct", "A0"}}},
      {"\"same\";", {{"same", "same"}}},
      {"bare_key = bare.value-1;", {{"bare_key", "bare.value-1"}}},
      {"\"k\" = \"first\";\n\"k\" = \"second\";", {{"k", "second"}}},
      {"\"k\" /* between */ = // here\n \"v\";", {{"k", "v"}}},
      {"\"multi\nline\" = \"x\";", {{"multi\nline", "x"}}},
      {"\xEF\xBB\xBF\"bom\" = \"yes\";", {{"bom", "yes"}}},
      {"\"中文键\" = \"值\";", {{"中文键", "值"}}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    LocalizedStrings::Table table;
    Error error;
    ASSERT_TRUE(LocalizedStrings::parse(text, &table, &error)) << error.localizedDescription();
    EXPECT_EQ(table, expected);
  }
}

TEST(LocalizedStringsTest, ReportsSyntaxErrorsWithTheLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"a\" = \"b\"", "line 1"},              // missing ';'
      {"\"a\" = \"b\";\n\"c\" = ;", "line 2"},  // missing value
      {"\"a\" = \"unterminated;", "line 1"},
      {"/* never closed", "line 1"},
      {"\n\n\"a\" = \"\\u12G4\";", "line 3"},
      {"\"a\" = \"b\";\n{", "line 2"},
  };
  for (const auto& [text, where] : cases) {
    SCOPED_TRACE(text);
    LocalizedStrings::Table table{{"kept", "yes"}};
    Error error;
    EXPECT_FALSE(LocalizedStrings::parse(text, &table, &error));
    EXPECT_EQ(error.domain(), kCocoaErrorDomain);
    EXPECT_EQ(error.code(), LocalizedStrings::kParseErrorCode);
    EXPECT_NE(error.localizedDescription().find(where), std::string::npos)
        << error.localizedDescription();
    EXPECT_EQ(table.size(), 1u);  // untouched on failure
  }
}

TEST(LocalizedStringsTest, LoadsFilesAndFallsBackToTheKey) {
  kxtest::TempAppRoot root;
  LocalizedStrings strings;
  EXPECT_EQ(strings.localizedString("Query Database Fail"), "Query Database Fail");

  // UTF-16 little-endian with a byte order mark.
  std::u16string utf16 = u"\"Save Database Fail\" = \"保存失败\";";
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : utf16) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  writeFile(root.path() + "/t.strings", bytes);
  Error error;
  ASSERT_TRUE(strings.loadFile(root.path() + "/t.strings", &error)) << error.localizedDescription();
  EXPECT_EQ(strings.size(), 1u);
  EXPECT_EQ(strings.localizedString("Save Database Fail"), "保存失败");
  EXPECT_EQ(strings.localizedString("Query Database Fail"), "Query Database Fail");

  // A missing or broken file reports an error and keeps the loaded table.
  EXPECT_FALSE(strings.loadFile(root.path() + "/missing.strings", &error));
  EXPECT_TRUE(error);
  writeFile(root.path() + "/bad.strings", "\"x\" = ");
  EXPECT_FALSE(strings.loadFile(root.path() + "/bad.strings", &error));
  EXPECT_EQ(error.code(), LocalizedStrings::kParseErrorCode);
  EXPECT_EQ(strings.localizedString("Save Database Fail"), "保存失败");
}

}  // namespace
}  // namespace kx
