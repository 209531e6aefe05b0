#include "sync/cycle/UserMeta.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(UserMetaTest, ReadsVersionsAndTruncatesTheShareTime) {
  struct Row {
    const char* name;
    kx::Value reply;
    std::int64_t rv, tv, share;
  };
  const std::vector<Row> rows = {
      {"all",
       kx::Value::dict({{"rv", kx::Value(7)},
                        {"tv", kx::Value(2)},
                        {"MYSHARE_UPDATE_TIME", kx::Value(1700000000.9)}}),
       7, 2, 1700000000},
      {"absent", kx::Value::dict({}), 0, 0, 0},
      {"negative fraction", kx::Value::dict({{"MYSHARE_UPDATE_TIME", kx::Value(-2.7)}}), 0, 0, -2},
      {"text numbers", kx::Value::dict({{"rv", kx::Value("15")}}), 15, 0, 0},
  };
  for (const Row& row : rows) {
    UserMeta meta(row.reply);
    EXPECT_EQ(meta.rootVersion(), row.rv) << row.name;
    EXPECT_EQ(meta.tagVersion(), row.tv) << row.name;
    EXPECT_EQ(meta.myShareUpdateTime(), row.share) << row.name;
  }
}

}  // namespace
