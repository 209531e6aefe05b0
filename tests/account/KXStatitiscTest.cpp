#include "account/KXStatitisc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/URL.h"

namespace {

std::vector<std::pair<std::string, std::string>> pairs(const std::string& query) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t amp = query.find('&', start);
    std::string piece = query.substr(start, amp == std::string::npos ? amp : amp - start);
    std::size_t eq = piece.find('=');
    out.emplace_back(piece.substr(0, eq), eq == std::string::npos ? "" : piece.substr(eq + 1));
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return out;
}

TEST(KXStatitisc, HostileFullNameStaysOneValue) {
  const std::string name = "Ann & Bob=Carol+Dan #1 %20 \xe5\xbc\xa0";
  std::string query = KXStatitisc::commonStaticsStringFor("1.2.3", "12.0.0", "", name, "X1 Carbon");
  auto got = pairs(query);
  ASSERT_EQ(got.size(), 9u) << query;
  const char* keys[] = {"keyfrom",   "os",          "os_ver",      "client_ver",  "ClientVer",
                        "device_id", "device_name", "device_type", "device_model"};
  for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(got[i].first, keys[i]);
  EXPECT_EQ(got[0].second, "note.1.2.3.mac");
  EXPECT_EQ(got[1].second, "OS_X");
  EXPECT_EQ(got[2].second, "12.0.0");
  EXPECT_EQ(got[3].second, "1.2.3");
  EXPECT_EQ(got[4].second, "1.2.3");
  EXPECT_EQ(got[5].second, "") << "a machine without an id sends an empty device_id";
  EXPECT_EQ(kx::percentDecode(got[6].second), name);
  EXPECT_EQ(got[7].second, "Mac");
  EXPECT_EQ(kx::percentDecode(got[8].second), "X1 Carbon");
  EXPECT_EQ(got[8].second, "X1%20Carbon");
  EXPECT_EQ(query.find(' '), std::string::npos);
  EXPECT_EQ(query.find('#'), std::string::npos);
}

TEST(KXStatitisc, MachineFacts) {
  const std::string id = "0123456789abcdef0123456789abcdef";
  std::string derived = KXStatitisc::deviceIdFromMachineId(id + "\n");
  EXPECT_EQ(derived.size(), 32u);
  EXPECT_NE(derived, id) << "never the raw machine id";
  EXPECT_EQ(derived, KXStatitisc::deviceIdFromMachineId(id)) << "stable";
  EXPECT_NE(derived, KXStatitisc::deviceIdFromMachineId("f123456789abcdef0123456789abcdef"));
  EXPECT_EQ(KXStatitisc::deviceIdFromMachineId(""), "");
  EXPECT_EQ(KXStatitisc::deviceIdFromMachineId("not-a-machine-id"), "");

  EXPECT_EQ(KXStatitisc::machineModelFromProductName(std::nullopt), "Apple_Computer");
  EXPECT_EQ(KXStatitisc::machineModelFromProductName(std::string(" \n")), "Apple_Computer");
  EXPECT_EQ(KXStatitisc::machineModelFromProductName(std::string("ThinkPad X1\n")), "ThinkPad X1");

  EXPECT_EQ(KXStatitisc::osVersionFromOSRelease("NAME=\"Debian\"\nVERSION_ID=\"12\"\n"), "12.0.0");
  EXPECT_EQ(KXStatitisc::osVersionFromOSRelease("VERSION_ID=22.04\n"), "22.4.0");
  EXPECT_EQ(KXStatitisc::osVersionFromOSRelease("ID=arch\n"), "");

  EXPECT_EQ(KXStatitisc::fullNameFromGecos("Ann Lee,Room 1,,", "ann"), "Ann Lee");
  EXPECT_EQ(KXStatitisc::fullNameFromGecos(",,,", "ann"), "ann");

  std::string cached = KXStatitisc::commonStaticsString();
  EXPECT_EQ(cached, KXStatitisc::commonStaticsString());
  EXPECT_EQ(pairs(cached).size(), 9u);
}

}  // namespace
