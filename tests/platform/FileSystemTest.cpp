#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace {

using kx::Error;
using kx::FileSystem;
using kxtest::FaultInjectingFileSystem;
using Op = FaultInjectingFileSystem::Op;
namespace stdfs = std::filesystem;

// Reads and lists with the standard library, so that checks do not depend
// on the code under test.
std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void spit(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string filenameOf(const std::string& path) { return stdfs::path(path).filename().string(); }

std::uint32_t modeOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

void expectPosixError(const Error& error, int code, const std::string& pathPart) {
  EXPECT_EQ(error.domain(), kx::kPosixErrorDomain);
  EXPECT_EQ(error.code(), code) << error.localizedDescription();
  EXPECT_NE(error.userInfo()[kx::kFilePathErrorKey].string().find(pathPart), std::string::npos)
      << error.localizedDescription();
}

class FileSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_.path() + "/work";
    stdfs::create_directory(dir_);
  }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }

  kxtest::TempAppRoot root_;
  std::string dir_;
  FileSystem& fs_ = FileSystem::Posix();
};

TEST_F(FileSystemTest, CreateDirectory) {
  Error error;
  ASSERT_TRUE(fs_.createDirectory(at("a/b/c"), true, 0700, &error)) << error.localizedDescription();
  EXPECT_TRUE(fs_.isDirectory(at("a/b/c")));
  EXPECT_EQ(modeOf(at("a")), 0700u);
  EXPECT_EQ(modeOf(at("a/b/c")), 0700u);
  // Already there: fine with intermediates, EEXIST without.
  EXPECT_TRUE(fs_.createDirectory(at("a/b/c/"), true, 0700, nullptr));
  EXPECT_FALSE(fs_.createDirectory(at("a/b/c"), false, 0700, &error));
  expectPosixError(error, EEXIST, "a/b/c");
  // A missing parent without intermediates.
  EXPECT_FALSE(fs_.createDirectory(at("x/y"), false, 0755, &error));
  expectPosixError(error, ENOENT, "x/y");
  // A file in the way, as the folder or as a parent.
  spit(at("file"), "f");
  EXPECT_FALSE(fs_.createDirectory(at("file"), true, 0755, &error));
  expectPosixError(error, EEXIST, "file");
  EXPECT_FALSE(fs_.createDirectory(at("file/sub"), true, 0755, &error));
  EXPECT_EQ(error.code(), ENOTDIR);
  EXPECT_FALSE(fs_.createDirectory("", true, 0755, &error));
}

TEST_F(FileSystemTest, ConcurrentCreationOfOneFolderSucceedsEverywhere) {
  const std::string deep = at("p/q/r/s/t");
  std::vector<std::thread> threads;
  std::vector<int> ok(8, 0);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] { ok[i] = fs_.createDirectory(deep, true, 0755, nullptr); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::count(ok.begin(), ok.end(), 1), 8);
  EXPECT_TRUE(fs_.isDirectory(deep));
}

TEST_F(FileSystemTest, WriteReadSizeAndList) {
  Error error;
  const std::string binary("a\0b\xff", 4);
  ASSERT_TRUE(fs_.writeFile(at("y.bin"), binary, &error));
  ASSERT_TRUE(fs_.writeFile(at("x.bin"), kx::Bytes(20, 7), &error));
  ASSERT_TRUE(fs_.createDirectory(at("sub"), &error));
  ASSERT_EQ(::symlink("y.bin", at("link").c_str()), 0);

  std::string text;
  ASSERT_TRUE(fs_.readFile(at("y.bin"), &text, &error));
  EXPECT_EQ(text, binary);
  kx::Bytes bytes;
  ASSERT_TRUE(fs_.readFile(at("x.bin"), &bytes, &error));
  EXPECT_EQ(bytes, kx::Bytes(20, 7));
  EXPECT_EQ(fs_.fileSize(at("x.bin"), &error), 20u);
  EXPECT_EQ(fs_.fileSize(at("link"), &error), 4u);  // followed

  bool isDir = true;
  EXPECT_TRUE(fs_.exists(at("y.bin"), &isDir));
  EXPECT_FALSE(isDir);
  EXPECT_TRUE(fs_.isDirectory(at("sub")));
  EXPECT_FALSE(fs_.exists(at("none")));

  std::vector<kx::DirectoryEntry> entries;
  ASSERT_TRUE(fs_.listDirectory(dir_, &entries, &error));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "link");
  EXPECT_TRUE(entries[0].isSymlink);
  EXPECT_FALSE(entries[0].isDirectory);
  EXPECT_EQ(entries[1].name, "sub");
  EXPECT_TRUE(entries[1].isDirectory);
  EXPECT_EQ(entries[2].name, "x.bin");
  EXPECT_EQ(entries[2].size, 20u);
  EXPECT_EQ(entries[3].name, "y.bin");
  EXPECT_EQ(entries[3].size, 4u);

  // Failures leave the out-values alone and name the path.
  text = "unchanged";
  EXPECT_FALSE(fs_.readFile(at("none"), &text, &error));
  EXPECT_EQ(text, "unchanged");
  expectPosixError(error, ENOENT, "none");
  EXPECT_FALSE(fs_.readFile(at("sub"), &text, &error));
  EXPECT_EQ(error.code(), EISDIR);
  EXPECT_FALSE(fs_.fileSize(at("none"), &error));
  EXPECT_FALSE(fs_.listDirectory(at("none"), &entries, &error));
  expectPosixError(error, ENOENT, "none");
  EXPECT_FALSE(fs_.writeFile(at("none/f"), "x", &error));
  expectPosixError(error, ENOENT, "none/f");
}

TEST_F(FileSystemTest, AppendingWritesFollowAFileCutFromOutside) {
  struct Case {
    FileSystem::WriteMode how;
    std::string expected;  // after "abc", an outside cut to 0, then "d"
  };
  const Case cases[] = {
      {FileSystem::WriteMode::TruncateAppend, "d"},
      {FileSystem::WriteMode::Truncate, std::string("\0\0\0d", 4)},  // the hole it avoids
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(fs_.writeFile(at("log"), "earlier", nullptr));
    Error error;
    std::unique_ptr<kx::WritableFile> file = fs_.newWritableFile(at("log"), c.how, 0644, &error);
    ASSERT_TRUE(file) << error.localizedDescription();
    ASSERT_TRUE(file->append("abc", &error));
    ASSERT_EQ(::truncate(at("log").c_str(), 0), 0);
    ASSERT_TRUE(file->append("d", &error));
    ASSERT_TRUE(file->close(&error));
    std::string text;
    ASSERT_TRUE(fs_.readFile(at("log"), &text, &error));
    EXPECT_EQ(text, c.expected);
  }
}

TEST_F(FileSystemTest, ReadChunks) {
  std::string data(40000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
  spit(at("big"), data);

  std::vector<std::size_t> sizes;
  std::string joined;
  auto collect = [&](const std::uint8_t* p, std::size_t n) {
    sizes.push_back(n);
    joined.append(reinterpret_cast<const char*>(p), n);
    return true;
  };
  ASSERT_TRUE(fs_.readChunks(at("big"), 16384, collect, nullptr));
  EXPECT_EQ(sizes, (std::vector<std::size_t>{16384, 16384, 7232}));
  EXPECT_EQ(joined, data);

  int calls = 0;
  EXPECT_TRUE(fs_.readChunks(
      at("big"), 100, [&](const std::uint8_t*, std::size_t) { return ++calls < 3; }, nullptr));
  EXPECT_EQ(calls, 3);

  spit(at("empty"), "");
  calls = 0;
  EXPECT_TRUE(fs_.readChunks(
      at("empty"), 100, [&](const std::uint8_t*, std::size_t) { return ++calls > 0; }, nullptr));
  EXPECT_EQ(calls, 0);

  // A read error midway ends the walk with the error.
  FaultInjectingFileSystem faulty;
  faulty.inject({.op = Op::Read, .pathContains = "big", .skip = 1});
  Error error;
  sizes.clear();
  joined.clear();
  EXPECT_FALSE(faulty.readChunks(at("big"), 16384, collect, &error));
  expectPosixError(error, EIO, "big");
  EXPECT_EQ(sizes.size(), 1u);
}

TEST_F(FileSystemTest, PrivateAtomicWriteIsOnlyEverReadableByItsOwner) {
  const std::string target = at("secret");
  Error error;
  ASSERT_TRUE(fs_.writeFileAtomically(target, "old", &error));
  ASSERT_TRUE(fs_.setPermissions(target, 0644, &error));
  // A lax umask does not widen it either.
  mode_t previous = ::umask(0);
  bool written = fs_.writePrivateFileAtomically(target, "digest", &error);
  ::umask(previous);
  ASSERT_TRUE(written) << error.localizedDescription();
  EXPECT_EQ(slurp(target), "digest");
  EXPECT_EQ(stdfs::status(target).permissions() & stdfs::perms::all,
            stdfs::perms::owner_read | stdfs::perms::owner_write);
  EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"secret"});
  EXPECT_FALSE(fs_.writePrivateFileAtomically(at("missing/secret"), "x", &error));
}

TEST_F(FileSystemTest, AtomicWriteReplacesAndLeavesNothingBehind) {
  const std::string target = at("content");
  Error error;
  ASSERT_TRUE(fs_.writeFileAtomically(target, "first", &error));
  EXPECT_EQ(slurp(target), "first");
  ASSERT_TRUE(fs_.writeFileAtomically(target + "//", std::string(100000, 'z'), &error));
  EXPECT_EQ(slurp(target), std::string(100000, 'z'));
  ASSERT_TRUE(fs_.writeFileAtomically(target, kx::Bytes{}, &error));
  EXPECT_EQ(slurp(target), "");
  EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"content"});

  EXPECT_FALSE(fs_.writeFileAtomically(at("missing/content"), "x", &error));
  EXPECT_EQ(error.code(), ENOENT);
  // A folder at the target stays a folder.
  stdfs::create_directory(at("folder"));
  EXPECT_FALSE(fs_.writeFileAtomically(at("folder"), "x", &error));
  EXPECT_TRUE(fs_.isDirectory(at("folder")));
  EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"content", "folder"}));
}

TEST_F(FileSystemTest, FailedAtomicWriteKeepsTheOldFileAndRemovesTheTemporary) {
  const struct {
    const char* what;
    FaultInjectingFileSystem::Fault fault;
  } cases[] = {
      {"create fails", {.op = Op::OpenWrite, .error = ENOSPC}},
      {"short write, disk full", {.op = Op::Append, .error = ENOSPC, .shortWrite = true}},
      {"write error", {.op = Op::Append, .error = EIO}},
      {"fsync fails", {.op = Op::Sync, .error = EIO}},
      {"close fails", {.op = Op::Close, .error = EIO}},
      {"rename fails", {.op = Op::Rename, .error = EACCES}},
  };
  const std::string target = at("config");
  const std::string old = "old and complete";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    spit(target, old);
    FaultInjectingFileSystem faulty;
    faulty.inject(c.fault);
    Error error;
    EXPECT_FALSE(faulty.writeFileAtomically(target, std::string(50000, 'n'), &error));
    EXPECT_EQ(error.domain(), kx::kPosixErrorDomain);
    EXPECT_EQ(error.code(), c.fault.error);
    EXPECT_EQ(faulty.injectedFailures(), 1);
    EXPECT_EQ(slurp(target), old);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config"});
  }
}

TEST_F(FileSystemTest, FailedFolderSyncIsReportedWithTheNewFileInPlace) {
  spit(at("state"), "old");
  FaultInjectingFileSystem faulty;
  faulty.inject({.op = Op::SyncDirectory, .error = EIO});
  Error error;
  EXPECT_FALSE(faulty.writeFileAtomically(at("state"), "new", &error));
  EXPECT_EQ(error.code(), EIO);
  EXPECT_EQ(slurp(at("state")), "new");
  EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"state"});
}

TEST_F(FileSystemTest, SyncFileFlushesAFileWrittenElsewhereAndNamesAFailure) {
  // A file another writer made and closed (a download) is synced by path.
  spit(at("download"), "body bytes");
  Error error;
  EXPECT_TRUE(fs_.syncFile(at("download"), &error)) << error.localizedDescription();
  EXPECT_EQ(slurp(at("download")), "body bytes");
  EXPECT_FALSE(fs_.syncFile(at("gone"), &error));
  expectPosixError(error, ENOENT, "gone");

  // A replacement sees it as a primitive of its own.
  FaultInjectingFileSystem faulty;
  faulty.inject({.op = Op::SyncFile, .pathContains = "download", .error = EIO});
  EXPECT_FALSE(faulty.syncFile(at("download"), &error));
  expectPosixError(error, EIO, "download");
  EXPECT_TRUE(faulty.syncFile(at("download"), &error)) << "the fault fired once";
  EXPECT_EQ(faulty.calls(Op::SyncFile), 2);
  EXPECT_EQ(faulty.calls(Op::Sync), 0) << "not an open file's sync";
}

TEST_F(FileSystemTest, AtomicWriteCanMakeItsTemporaryOutsideTheTargetsFolder) {
  // The target's folder is what readers list; the temporary goes beside it.
  stdfs::create_directory(at("entry"));
  const std::string target = at("entry/report.pdf");
  spit(target, "old");
  {
    FaultInjectingFileSystem recording;
    Error error;
    ASSERT_TRUE(recording.writeFileAtomically(target, "new bytes", dir_, &error))
        << error.localizedDescription();
    const std::vector<std::string> opened = recording.openedForWriting();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].rfind(dir_ + "/.report.pdf.tmp-", 0), 0u) << opened[0];
  }
  EXPECT_EQ(slurp(target), "new bytes");
  EXPECT_EQ(namesIn(at("entry")), std::vector<std::string>{"report.pdf"});
  EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"entry"});

  // A failure leaves the old file and no temporary in either folder.
  for (Op op : {Op::Append, Op::Sync, Op::Rename}) {
    FaultInjectingFileSystem faulty;
    faulty.inject({.op = op, .error = EIO});
    Error error;
    EXPECT_FALSE(faulty.writeFileAtomically(target, "lost", dir_, &error));
    EXPECT_EQ(error.code(), EIO);
    EXPECT_EQ(slurp(target), "new bytes");
    EXPECT_EQ(namesIn(at("entry")), std::vector<std::string>{"report.pdf"});
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"entry"});
  }
}

TEST_F(FileSystemTest, MoveAcrossFileSystemsCanCopyOutsideTheTargetsFolder) {
  stdfs::create_directory(at("entry"));
  spit(at("src"), "moved");
  FaultInjectingFileSystem faulty;
  faulty.inject({.op = Op::Rename, .pathContains = "/src", .error = EXDEV});
  Error error;
  ASSERT_TRUE(faulty.moveItem(at("src"), at("entry/file.bin"), dir_, &error))
      << error.localizedDescription();
  const std::vector<std::string> opened = faulty.openedForWriting();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].rfind(dir_ + "/.file.bin.tmp-", 0), 0u) << opened[0];
  EXPECT_EQ(slurp(at("entry/file.bin")), "moved");
  EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"entry"});
}

TEST_F(FileSystemTest, LongNamesLeaveRoomForTheTemporarysUniquePart) {
  // 250 bytes: within NAME_MAX, but not with ".", ".tmp-" and the unique
  // part around it.
  const std::string name = std::string(247, 'n') + ".md";
  Error error;
  ASSERT_TRUE(fs_.writeFileAtomically(at(name), "long", &error)) << error.localizedDescription();
  EXPECT_EQ(slurp(at(name)), "long");
  EXPECT_EQ(namesIn(dir_), std::vector<std::string>{name});

  // The name is cut at a character boundary: "é" is two bytes.
  std::string accented;
  for (int i = 0; i < 40; ++i) accented += "\xc3\xa9";
  const std::string prefix = FileSystem::temporaryPrefixFor(accented);
  EXPECT_EQ(prefix, "." + accented.substr(0, 64) + ".tmp-");
  const std::string odd = "a" + accented;
  EXPECT_EQ(FileSystem::temporaryPrefixFor(odd), "." + odd.substr(0, 63) + ".tmp-");
  EXPECT_EQ(FileSystem::temporaryPrefixFor("x"), ".x.tmp-");
}

TEST_F(FileSystemTest, TemporaryNamesAreToldApartFromNamesGivenOnPurpose) {
  const std::string made =
      filenameOf(fs_.temporaryPathIn(dir_, FileSystem::temporaryPrefixFor("report.pdf")));
  std::uint32_t pid = 0;
  EXPECT_TRUE(FileSystem::isTemporaryName(made, &pid)) << made;
  EXPECT_EQ(pid, static_cast<std::uint32_t>(::getpid()));
  const std::string plain = filenameOf(fs_.temporaryPathIn(dir_));
  EXPECT_TRUE(FileSystem::isTemporaryName(plain)) << plain;

  const struct {
    const char* name;
    bool temporary;
    std::uint32_t pid;
  } cases[] = {
      {".ABC.tmp-0000abcd-7-0123cdef", true, 0xabcd},
      {".a.tmp-b.tmp-000004d2-12345-ffffffff", true, 1234},
      {".tmp-00000001-0-00000000", true, 1},
      {"ABC.tmp", false, 0},  // the temporary content file
      {".ABC.tmp", false, 0},
      {"123456-0000abcd-7-0123cdef.tmp", false, 0},  // a scratch file
      {"ABC.tmp-0000abcd-7-0123cdef", false, 0},     // not hidden
      {".ABC.tmp-0000abc-7-0123cdef", false, 0},
      {".ABC.tmp-0000ABCD-7-0123cdef", false, 0},
      {".ABC.tmp-0000abcd--0123cdef", false, 0},
      {".ABC.tmp-0000abcd-7-0123cdef0", false, 0},
      {".ABC.tmp-0000abcd-7a-0123cdef", false, 0},
      {".ABC.tmp-0000abcd-7-", false, 0},
      {".", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    std::uint32_t writer = 0;
    EXPECT_EQ(FileSystem::isTemporaryName(c.name, &writer), c.temporary) << c.name;
    EXPECT_EQ(writer, c.pid) << c.name;
  }
}

TEST_F(FileSystemTest, ConcurrentAtomicWritersNeverMixTheirBytes) {
  const std::string target = at("shared");
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      const std::string data(20000 + i, static_cast<char>('a' + i));
      for (int round = 0; round < 10; ++round) {
        EXPECT_TRUE(fs_.writeFileAtomically(target, data, nullptr));
      }
    });
  }
  for (auto& t : threads) t.join();
  const std::string result = slurp(target);
  ASSERT_GE(result.size(), 20000u);
  const std::size_t writer = result.size() - 20000;
  ASSERT_LT(writer, 8u);
  EXPECT_EQ(result, std::string(result.size(), static_cast<char>('a' + writer)));
  EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"shared"});
}

TEST_F(FileSystemTest, TemporaryNamesAreUniqueUnderConcurrentCallers) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 250;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::vector<std::string>> created(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) names[t].push_back(fs_.temporaryPathIn(dir_));
      for (int i = 0; i < 20; ++i) {
        std::string path;
        auto file = fs_.createTemporaryFile(dir_, "x-", 0600, &path, nullptr);
        if (file && file->close(nullptr)) created[t].push_back(path);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> unique;
  for (const auto& list : names) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), std::size_t(kThreads * kPerThread));
  std::set<std::string> files;
  for (const auto& list : created) files.insert(list.begin(), list.end());
  EXPECT_EQ(files.size(), std::size_t(kThreads * 20));
  EXPECT_EQ(namesIn(dir_).size(), std::size_t(kThreads * 20));
  const std::string one = *unique.begin();
  EXPECT_EQ(one.rfind(dir_ + "/.tmp-", 0), 0u) << one;
  EXPECT_EQ(modeOf(*files.begin()), 0600u);
}

TEST_F(FileSystemTest, RemoveItemNeverFollowsLinksOutOfTheTree) {
  // Outside the tree: a folder and a file that links inside point at.
  const std::string outside = root_.path() + "/outside";
  stdfs::create_directories(outside + "/keep");
  spit(outside + "/keep/precious", "data");
  spit(outside + "/file", "data");

  const std::string tree = at("tree");
  stdfs::create_directories(tree + "/a/b");
  spit(tree + "/a/b/f", "x");
  spit(tree + "/top", "x");
  stdfs::create_directory_symlink(outside, tree + "/a/dirlink");
  stdfs::create_symlink(outside + "/file", tree + "/a/b/filelink");
  stdfs::create_symlink(tree + "/missing", tree + "/dangling");

  Error error;
  ASSERT_TRUE(fs_.removeItem(tree, &error)) << error.localizedDescription();
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(tree)));
  EXPECT_EQ(slurp(outside + "/keep/precious"), "data");
  EXPECT_EQ(slurp(outside + "/file"), "data");

  // A link named with a trailing slash: only the link goes.
  stdfs::create_directory_symlink(outside, at("link"));
  ASSERT_TRUE(fs_.removeItem(at("link") + "/", &error)) << error.localizedDescription();
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(at("link"))));
  EXPECT_EQ(slurp(outside + "/keep/precious"), "data");

  // Plain files, missing items and paths that must never be removed.
  spit(at("plain"), "x");
  EXPECT_TRUE(fs_.removeItem(at("plain"), &error));
  EXPECT_FALSE(fs_.removeItem(at("plain"), &error));
  expectPosixError(error, ENOENT, "plain");
  EXPECT_FALSE(fs_.removeItem("/", &error));
  EXPECT_EQ(error.code(), EINVAL);
  EXPECT_FALSE(fs_.removeItem(dir_ + "/.", &error));
  EXPECT_FALSE(fs_.removeItem(dir_ + "/..", &error));
  EXPECT_TRUE(stdfs::exists(dir_));
}

TEST_F(FileSystemTest, MoveWithinOneFileSystem) {
  spit(at("from"), "payload");
  spit(at("to"), "old");
  Error error;
  ASSERT_TRUE(fs_.moveItem(at("from"), at("to"), &error));
  EXPECT_EQ(slurp(at("to")), "payload");
  EXPECT_FALSE(fs_.exists(at("from")));
  EXPECT_FALSE(fs_.moveItem(at("from"), at("to2"), &error));
  expectPosixError(error, ENOENT, "from");
}

TEST_F(FileSystemTest, MoveAcrossFileSystemsCopiesThenRenames) {
  // Source: a folder with a nested file, an empty folder and a link.
  const std::string src = at("src");
  stdfs::create_directories(src + "/inner/empty");
  spit(src + "/inner/note", "note text");
  spit(src + "/top.bin", std::string(70000, 'q'));
  stdfs::create_symlink("inner/note", src + "/link");
  ASSERT_EQ(::chmod((src + "/top.bin").c_str(), 0640), 0);
  const kx::FileTime stamp{1500000000, 123456789};
  ASSERT_TRUE(fs_.setModificationTime(src + "/top.bin", stamp, nullptr));
  stdfs::create_directory(at("dest"));

  FaultInjectingFileSystem faulty;
  faulty.inject({.op = Op::Rename, .pathContains = "/src", .error = EXDEV});
  Error error;
  ASSERT_TRUE(faulty.moveItem(src, at("dest/moved"), &error)) << error.localizedDescription();
  EXPECT_EQ(faulty.injectedFailures(), 1);

  const std::string moved = at("dest/moved");
  EXPECT_FALSE(stdfs::exists(src));
  EXPECT_EQ(slurp(moved + "/inner/note"), "note text");
  EXPECT_EQ(slurp(moved + "/top.bin"), std::string(70000, 'q'));
  EXPECT_TRUE(stdfs::is_directory(moved + "/inner/empty"));
  EXPECT_TRUE(stdfs::is_symlink(moved + "/link"));
  EXPECT_EQ(stdfs::read_symlink(moved + "/link"), "inner/note");
  EXPECT_EQ(modeOf(moved + "/top.bin"), 0640u);
  kx::FileInfo info;
  ASSERT_TRUE(fs_.getInfo(moved + "/top.bin", false, &info, nullptr));
  EXPECT_EQ(info.modificationTime, stamp);
  EXPECT_EQ(namesIn(at("dest")), std::vector<std::string>{"moved"});
  EXPECT_GE(faulty.calls(Op::Sync), 2);  // copied files were made durable

  // A single file onto an existing one replaces it, as a rename does.
  spit(at("one"), "new");
  spit(at("dest/one"), "old");
  faulty.inject({.op = Op::Rename, .pathContains = "work/one", .error = EXDEV});
  ASSERT_TRUE(faulty.moveItem(at("one"), at("dest/one"), &error));
  EXPECT_EQ(slurp(at("dest/one")), "new");
  EXPECT_FALSE(stdfs::exists(at("one")));
}

TEST_F(FileSystemTest, FailedCrossFileSystemMoveKeepsTheSource) {
  const std::string src = at("src");
  stdfs::create_directories(src);
  for (const char* name : {"a", "b", "c"}) spit(src + "/" + name, std::string(1000, *name));
  stdfs::create_directory(at("dest"));

  FaultInjectingFileSystem faulty;
  faulty.inject({.op = Op::Rename, .pathContains = "/src", .error = EXDEV});
  // The disk fills up while the third file is copied.
  faulty.inject(
      {.op = Op::Append, .pathContains = "/dest/", .skip = 2, .error = ENOSPC, .shortWrite = true});
  Error error;
  EXPECT_FALSE(faulty.moveItem(src, at("dest/moved"), &error));
  EXPECT_EQ(error.code(), ENOSPC);
  EXPECT_EQ(namesIn(src), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(slurp(src + "/c"), std::string(1000, 'c'));
  EXPECT_TRUE(namesIn(at("dest")).empty());

  // When only the removal of the source fails, the destination is whole and
  // the failure is still reported.
  faulty.clearFaults();
  faulty.inject({.op = Op::Rename, .pathContains = "/src", .error = EXDEV});
  faulty.inject({.op = Op::RemoveItem, .pathContains = "/src", .error = EBUSY});
  EXPECT_FALSE(faulty.moveItem(src, at("dest/moved"), &error));
  EXPECT_EQ(error.code(), EBUSY);
  EXPECT_EQ(slurp(at("dest/moved/c")), std::string(1000, 'c'));
  EXPECT_EQ(namesIn(at("dest")), std::vector<std::string>{"moved"});
}

TEST_F(FileSystemTest, CopyItem) {
  spit(at("file"), "bytes");
  ASSERT_EQ(::chmod(at("file").c_str(), 0600), 0);
  const kx::FileTime stamp{1400000000, 5};
  ASSERT_TRUE(fs_.setModificationTime(at("file"), stamp, nullptr));

  Error error;
  ASSERT_TRUE(fs_.copyItem(at("file"), at("copy"), &error));
  EXPECT_EQ(slurp(at("copy")), "bytes");
  EXPECT_EQ(modeOf(at("copy")), 0600u);
  kx::FileInfo info;
  ASSERT_TRUE(fs_.getInfo(at("copy"), true, &info, nullptr));
  EXPECT_EQ(info.modificationTime, stamp);

  // Something at the destination makes the copy fail and stays as it was.
  spit(at("busy"), "mine");
  EXPECT_FALSE(fs_.copyItem(at("file"), at("busy"), &error));
  expectPosixError(error, EEXIST, "busy");
  EXPECT_EQ(slurp(at("busy")), "mine");
  EXPECT_FALSE(fs_.copyItem(at("none"), at("x"), &error));
  expectPosixError(error, ENOENT, "none");

  // A folder, and a folder into itself.
  stdfs::create_directories(at("dir/sub"));
  spit(at("dir/sub/f"), "deep");
  ASSERT_TRUE(fs_.copyItem(at("dir"), at("dir2"), &error));
  EXPECT_EQ(slurp(at("dir2/sub/f")), "deep");
  EXPECT_FALSE(fs_.copyItem(at("dir"), at("dir/sub/again"), &error));
  EXPECT_EQ(error.code(), EINVAL);
  EXPECT_FALSE(stdfs::exists(at("dir/sub/again")));
  EXPECT_TRUE(fs_.copyItem(at("dir"), at("dir-sibling"), &error));  // a prefix, not inside

  // A failure midway removes what was made.
  FaultInjectingFileSystem faulty;
  faulty.inject({.op = Op::Read, .pathContains = "dir/sub/f", .error = EIO});
  EXPECT_FALSE(faulty.copyItem(at("dir"), at("dir3"), &error));
  EXPECT_EQ(error.code(), EIO);
  EXPECT_FALSE(stdfs::exists(at("dir3")));
}

TEST_F(FileSystemTest, PermissionsOwnerAndPrivateFolders) {
  spit(at("f"), "x");
  Error error;
  ASSERT_TRUE(fs_.setPermissions(at("f"), 0640, &error));
  kx::FileInfo info;
  ASSERT_TRUE(fs_.getInfo(at("f"), true, &info, &error));
  EXPECT_EQ(info.mode, 0640u);
  EXPECT_EQ(info.uid, static_cast<std::uint32_t>(::geteuid()));
  EXPECT_TRUE(info.isRegular());
  EXPECT_FALSE(fs_.setPermissions(at("none"), 0600, &error));
  expectPosixError(error, ENOENT, "none");

  // Created with 0700 along with its missing parents.
  ASSERT_TRUE(fs_.ensurePrivateDirectory(at("p/q"), &error)) << error.localizedDescription();
  EXPECT_EQ(modeOf(at("p")), 0700u);
  EXPECT_EQ(modeOf(at("p/q")), 0700u);
  // An existing, wider folder is narrowed.
  stdfs::create_directory(at("wide"));
  ASSERT_EQ(::chmod(at("wide").c_str(), 0755), 0);
  ASSERT_TRUE(fs_.ensurePrivateDirectory(at("wide"), &error));
  EXPECT_EQ(modeOf(at("wide")), 0700u);
  // A file where the folder should be.
  EXPECT_FALSE(fs_.ensurePrivateDirectory(at("f"), &error));
  EXPECT_EQ(modeOf(at("f")), 0640u);
}

TEST_F(FileSystemTest, DefaultCanBeReplacedForATest) {
  EXPECT_EQ(&FileSystem::Default(), &FileSystem::Posix());
  FaultInjectingFileSystem faulty;
  {
    FileSystem::ScopedDefaultForTesting use(&faulty);
    EXPECT_EQ(&FileSystem::Default(), &faulty);
    faulty.inject({.op = Op::OpenWrite, .times = -1, .error = EROFS});
    Error error;
    EXPECT_FALSE(FileSystem::Default().writeFile(at("a"), "x", &error));
    EXPECT_FALSE(FileSystem::Default().writeFileAtomically(at("a"), "x", &error));
    EXPECT_EQ(error.code(), EROFS);
    EXPECT_EQ(faulty.injectedFailures(), 2);
    {
      FileSystem::ScopedDefaultForTesting real(nullptr);
      EXPECT_EQ(&FileSystem::Default(), &FileSystem::Posix());
    }
    EXPECT_EQ(&FileSystem::Default(), &faulty);
  }
  EXPECT_EQ(&FileSystem::Default(), &FileSystem::Posix());
  EXPECT_TRUE(FileSystem::Default().writeFile(at("a"), "x", nullptr));
}

}  // namespace
