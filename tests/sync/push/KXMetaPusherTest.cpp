#include "sync/push/KXMetaPusher.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

TEST(KXMetaPusherTest, ParametersFollowTheTableInOrder) {
  KXMetaPusher::Snapshot s;
  s.entity = "Note";
  s.values = {{"fileId", kx::Value("N")},
              {"title", kx::Value("plan")},
              {"modifyTime", kx::Value(1700000100)},
              {"createTime", kx::Value(1700000000)},
              {"entryProps", kx::Value(kx::Bytes{'{', '"', 'a', '"', ':', '1', '}'})},
              {"encrypted", kx::Value(false)},
              {"bgImageId", kx::Value("BG")},
              {"orgEditorType", kx::Value(2)},
              {"tags", kx::Value("t1,t2")},
              {"entryType", kx::Value(7)},
              {"parentId", kx::Value("1")},
              {"namePath", kx::Value("/A/B")},
              {"author", kx::Value("me")},
              {"sourceURL", kx::Value("https://x")},
              {"transactionId", kx::Value("TX")},
              {"transactionTime", kx::Value(1700000050)}};
  s.resources = {{"R1", 3, false, ""}, {"R2", 5, false, ""}};
  const kx::Dictionary pushed{{"R2", kx::Value::dict({{"version", kx::Value(9)}})}};
  kx::Dictionary params = KXMetaPusher::pushParameters(s, pushed, false, 42, "7");
  std::vector<std::string> keys;
  for (const auto& [key, value] : params) keys.push_back(key);
  EXPECT_EQ(
      keys,
      (std::vector<std::string>{
          "fileId",    "domain",        "name",          "modifyTime",      "createTime",
          "dir",       "rootVersion",   "sessionId",     "entryProps",      "tags",
          "entryType", "resources",     "parentId",      "namePath",        "author",
          "sourceURL", "orgEditorType", "transactionId", "transactionTime", "editorVersion"}));
  EXPECT_EQ(params["domain"].intValue(), 0);
  EXPECT_EQ(params["dir"].stringValue(), "false");
  EXPECT_EQ(params["modifyTime"].stringValue(), "1700000100");
  EXPECT_EQ(params["sessionId"].stringValue(), "42");
  EXPECT_EQ(params["resources"].stringValue(), "R1:3;R2:9");
  const kx::Value props = params["entryProps"];
  EXPECT_EQ(props["a"].intValue(), 1);
  EXPECT_EQ(props["encrypted"].stringValue(), "false");
  EXPECT_EQ(props["bgImageId"].stringValue(), "BG");
  EXPECT_EQ(props["orgEditorType"].stringValue(), "2");
  EXPECT_EQ(KXMetaPusher::pushParameters(s, pushed, true, 42, "7")["resources"].stringValue(),
            "R1:-1;R2:-1");

  // A notebook outside the trash without the optional values.
  KXMetaPusher::Snapshot nb;
  nb.entity = "Notebook";
  nb.values = {{"fileId", kx::Value("NB")},
               {"title", kx::Value("nb")},
               {"parentId", kx::Value("ROOT")},
               {"namePath", kx::Value("/x")}};
  kx::Dictionary plain = KXMetaPusher::pushParameters(nb, {}, false, 0, std::nullopt);
  keys.clear();
  for (const auto& [key, value] : plain) keys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"fileId", "domain", "name", "modifyTime", "createTime", "dir",
                                      "rootVersion", "sessionId", "resources", "parentId"}));
  EXPECT_EQ(plain["domain"].intValue(), 1);
  EXPECT_EQ(plain["dir"].stringValue(), "true");
  EXPECT_EQ(plain["resources"].stringValue(), "");
}

TEST(KXMetaPusherTest, ReplaceContentReplacesEveryMatchLiterally) {
  EXPECT_EQ(KXMetaPusher::replaceContent("a //h/src/R1 b //h/src/R1", "$1x", "//h/src/R1"),
            "a $1x b $1x");
  EXPECT_EQ(KXMetaPusher::replaceContent("keep", std::nullopt, "keep"), "keep");
  EXPECT_EQ(KXMetaPusher::replaceContent("keep (", "y", "("), "keep (") << "an invalid pattern";
}

}  // namespace
