// Opening archives (end record, central directory, entry properties) and
// rewriting them (updateEntries), with python3's zipfile as the independent
// reader and writer.
#include "CommonUtils/zip/ZZArchive.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <map>

#include "CommonUtils/zip/ZZCentralFileHeader.h"
#include "CommonUtils/zip/ZZChannel.h"
#include "CommonUtils/zip/ZZDataChannel.h"
#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZLocalFileHeader.h"
#include "CommonUtils/zip/ZZOldArchiveEntry.h"
#include "CommonUtils/zip/ZipFixtures.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

using namespace ziptest;

namespace {

std::shared_ptr<ZZArchive> open(const kx::Bytes& bytes, kx::Error* error) {
  return ZZArchive::archiveWithData(bytes, error);
}

kx::Bytes dataOf(const ZZArchiveEntry& entry) {
  kx::Error error;
  std::optional<kx::Bytes> data = entry.newDataWithError(&error);
  EXPECT_TRUE(data.has_value()) << error.domain() << " " << error.code();
  return data.value_or(kx::Bytes());
}

kx::Bytes pattern(std::size_t size, unsigned seed = 1) {
  kx::Bytes b(size);
  unsigned x = seed;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

kx::Bytes text(std::size_t repeats) {
  std::string s;
  for (std::size_t i = 0; i < repeats; ++i)
    s += "line " + std::to_string(i % 17) + " of some text\n";
  return bytesOf(s);
}

std::map<std::string, kx::Bytes> readAll(const ZZArchive& archive) {
  std::map<std::string, kx::Bytes> out;
  for (const auto& entry : archive.entries()) out[entry->fileName()] = dataOf(*entry);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// The end-of-central-directory record.

TEST(ZZArchiveOpenTest, EndRecordIsFoundAndCheckedStrictly) {
  const kx::Bytes empty = buildArchive({}).bytes;
  kx::Bytes longComment(65535, 'c');
  kx::Bytes withLongComment = buildArchive({}, longComment).bytes;
  kx::Bytes tooFar = withLongComment;
  tooFar.push_back('x');  // the record now starts 65558 bytes before the end
  kx::Bytes trailing = empty;
  trailing.push_back(0);
  kx::Bytes otherDisk = empty;
  poke16(otherDisk, 4, 1);
  kx::Bytes directoryOnOtherDisk = empty;
  poke16(directoryOnOtherDisk, 6, 1);
  kx::Bytes countsDiffer = buildArchive({RawEntry::make("a", bytesOf("a"), false)}).bytes;
  poke16(countsDiffer, countsDiffer.size() - 22 + 8, 0);
  // A central directory that would need more room than there is before the
  // record: one 46-byte record claimed, none present.
  kx::Bytes truncatedDirectory = empty;
  poke16(truncatedDirectory, 8, 1);
  poke16(truncatedDirectory, 10, 1);
  kx::Bytes directoryPastEnd = empty;
  poke32(directoryPastEnd, 16, 0xfffffff0u);
  poke16(directoryPastEnd, 8, 1);
  poke16(directoryPastEnd, 10, 1);

  struct Case {
    const char* name;
    kx::Bytes bytes;
    bool opens;
  };
  const Case cases[] = {
      {"empty archive", empty, true},
      {"65535-byte comment", withLongComment, true},
      {"signature too far from the end", tooFar, false},
      {"bytes after the record", trailing, false},
      {"shorter than a record", kx::Bytes(empty.begin(), empty.begin() + 21), false},
      {"no signature", kx::Bytes(100, 0x50), false},
      {"disk number", otherDisk, false},
      {"directory disk", directoryOnOtherDisk, false},
      {"entry counts differ", countsDiffer, false},
      {"truncated central directory", truncatedDirectory, false},
      {"directory offset past the end", directoryPastEnd, false},
  };
  for (const Case& c : cases) {
    kx::Error error;
    std::shared_ptr<ZZArchive> archive = open(c.bytes, &error);
    if (c.opens) {
      ASSERT_TRUE(archive) << c.name;
      EXPECT_TRUE(archive->entries().empty()) << c.name;
      EXPECT_FALSE(error) << c.name;
    } else {
      EXPECT_FALSE(archive) << c.name;
      EXPECT_EQ(error.domain(), ZZErrorDomain) << c.name;
      EXPECT_EQ(error.code(), ZZEndOfCentralDirectoryReadErrorCode) << c.name;
    }
  }
}

TEST(ZZArchiveOpenTest, BadCentralHeadersFailWithTheirIndex) {
  std::vector<RawEntry> two = {RawEntry::make("first.txt", bytesOf("one"), false),
                               RawEntry::make("second.txt", bytesOf("two"), true)};
  const RawArchive good = buildArchive(two);

  struct Case {
    const char* name;
    std::size_t entry;
    std::size_t fieldOffset;  // within the central header
    std::uint32_t value;
    int width;
  };
  const Case cases[] = {
      // The second record's name runs into the end record.
      {"name length past the directory", 1, ZZCentralFileHeader::kFileNameLengthOffset, 0xffff, 2},
      {"extra field length past the directory", 1, ZZCentralFileHeader::kExtraFieldLengthOffset,
       200, 2},
      {"comment length past the directory", 0, ZZCentralFileHeader::kFileCommentLengthOffset,
       0x8000, 2},
      {"local header offset past the end", 0, ZZCentralFileHeader::kLocalHeaderOffsetOffset,
       0xfffffff0u, 4},
      {"local header inside the directory", 1, ZZCentralFileHeader::kLocalHeaderOffsetOffset,
       static_cast<std::uint32_t>(good.directoryOffset - 10), 4},
      {"disk number start", 1, ZZCentralFileHeader::kDiskNumberStartOffset, 1, 2},
      {"signature", 1, 0, 0x02014b51, 4},
  };
  for (const Case& c : cases) {
    kx::Bytes bytes = good.bytes;
    const std::size_t at = good.centralOffsets[c.entry] + c.fieldOffset;
    if (c.width == 2)
      poke16(bytes, at, static_cast<std::uint16_t>(c.value));
    else
      poke32(bytes, at, c.value);
    kx::Error error;
    EXPECT_FALSE(open(bytes, &error)) << c.name;
    EXPECT_EQ(error.domain(), ZZErrorDomain) << c.name;
    EXPECT_EQ(error.code(), ZZCentralFileHeaderReadErrorCode) << c.name;
    EXPECT_EQ(error.userInfo()[ZZEntryIndexKey].intValue(), static_cast<std::int64_t>(c.entry))
        << c.name;
  }
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(good.bytes, &error);
  ASSERT_TRUE(archive);
  ASSERT_EQ(archive->entries().size(), 2u);
  EXPECT_EQ(dataOf(*archive->entries()[1]), bytesOf("two"));
}

TEST(ZZArchiveOpenTest, DirectoryThatDisagreesWithItsEndRecordIsRefused) {
  // The end record's count and the directory's size must describe the same
  // records: a count that is too small would otherwise open a shortened
  // list, and a rewrite would silently drop the rest.
  const std::vector<RawEntry> three = {RawEntry::make("a", bytesOf("a"), false),
                                       RawEntry::make("b", bytesOf("b"), false),
                                       RawEntry::make("c", bytesOf("c"), true)};
  const RawArchive good = buildArchive(three);
  const std::size_t end = good.endOffset;
  auto withCount = [&](std::uint16_t count) {
    kx::Bytes b = good.bytes;
    poke16(b, end + 8, count);
    poke16(b, end + 10, count);
    return b;
  };
  auto withSize = [&](std::int64_t delta) {
    kx::Bytes b = good.bytes;
    poke32(b, end + 12, static_cast<std::uint32_t>(peek32(b, end + 12) + delta));
    return b;
  };

  // Seventy thousand entries: past what the 16-bit count holds. Writers
  // that do not know Zip64 put 65535, or the count modulo 65536, there.
  std::vector<RawEntry> many;
  for (int i = 0; i < 70000; ++i) many.push_back(RawEntry::make(std::to_string(i), {}, false));
  const RawArchive huge = buildArchive(many);
  kx::Bytes hugeSaturated = huge.bytes;
  poke16(hugeSaturated, huge.endOffset + 8, 65535);
  poke16(hugeSaturated, huge.endOffset + 10, 65535);
  ASSERT_EQ(peek16(huge.bytes, huge.endOffset + 8), 70000 % 65536);

  struct Case {
    const char* name;
    kx::Bytes bytes;
  };
  const Case cases[] = {
      {"three records, count 1", withCount(1)},
      {"three records, count 2", withCount(2)},
      {"directory size larger than the records", withSize(46)},
      {"directory size smaller than the records", withSize(-1)},
      {"70,000 records, count 65535", hugeSaturated},
      {"70,000 records, count wrapped", huge.bytes},
  };
  for (const Case& c : cases) {
    kx::Error error;
    EXPECT_FALSE(open(c.bytes, &error)) << c.name;
    EXPECT_EQ(error.domain(), ZZErrorDomain) << c.name;
    EXPECT_EQ(error.code(), ZZEndOfCentralDirectoryReadErrorCode) << c.name;
  }
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(good.bytes, &error);
  ASSERT_TRUE(archive);
  EXPECT_EQ(archive->entries().size(), 3u);
}

TEST(ZZArchiveOpenTest, OverlappingLocalFilesAreRefused) {
  // Entries whose local files share bytes let a small archive stand for a
  // huge one (and a rewrite copy the shared bytes once per entry).
  const kx::Bytes payload = text(40);
  const std::vector<RawEntry> two = {RawEntry::make("first", payload, true),
                                     RawEntry::make("second", payload, false)};
  const RawArchive good = buildArchive(two);

  auto pointSecondAt = [&](std::size_t offset) {
    kx::Bytes b = good.bytes;
    poke32(b, good.centralOffsets[1] + ZZCentralFileHeader::kLocalHeaderOffsetOffset,
           static_cast<std::uint32_t>(offset));
    return b;
  };
  kx::Bytes firstRunsIntoSecond = good.bytes;
  poke32(firstRunsIntoSecond, good.centralOffsets[0] + ZZCentralFileHeader::kCompressedSizeOffset,
         static_cast<std::uint32_t>(two[0].stored.size() + 1));

  // The "overlapping files" construction: every local file's data is a
  // stored block that holds the next local file, so each entry covers all
  // that follow it.
  std::vector<RawEntry> nested;
  kx::Bytes inner = bytesOf("kernel");
  for (int i = 0; i < 3; ++i) {
    RawEntry e = RawEntry::make("n" + std::to_string(i), {}, false);
    e.stored = inner;
    e.compressedSize = e.uncompressedSize = static_cast<std::uint32_t>(inner.size());
    kx::Bytes header;
    put32(header, 0x04034b50);
    put16(header, 20);
    put16(header, 0);
    put16(header, 0);
    put16(header, 0);
    put16(header, 0);
    put32(header, 0);
    put32(header, e.compressedSize);
    put32(header, e.uncompressedSize);
    put16(header, static_cast<std::uint16_t>(e.name.size()));
    put16(header, 0);
    append(header, bytesOf(e.name));
    header.insert(header.end(), inner.begin(), inner.end());
    inner = header;
    nested.push_back(e);
  }
  RawArchive quine = buildArchive({nested.back()});
  // Extra central records for the local files inside the outer one.
  {
    kx::Bytes bytes(quine.bytes.begin(), quine.bytes.begin() + quine.directoryOffset);
    kx::Bytes directory(quine.bytes.begin() + quine.directoryOffset,
                        quine.bytes.begin() + quine.endOffset);
    kx::Bytes record = directory;
    std::size_t local = 0;
    for (int i = 1; i < 3; ++i) {
      local += 30 + peek16(bytes, local + 26);
      kx::Bytes r = record;
      poke32(r, ZZCentralFileHeader::kLocalHeaderOffsetOffset, static_cast<std::uint32_t>(local));
      poke32(r, ZZCentralFileHeader::kCompressedSizeOffset, peek32(bytes, local + 18));
      poke32(r, ZZCentralFileHeader::kUncompressedSizeOffset, peek32(bytes, local + 22));
      r[ZZCentralFileHeader::kFixedSize + 1] = bytes[local + 31];
      append(directory, r);
    }
    const std::size_t directoryOffset = bytes.size();
    append(bytes, directory);
    put32(bytes, 0x06054b50);
    put16(bytes, 0);
    put16(bytes, 0);
    put16(bytes, 3);
    put16(bytes, 3);
    put32(bytes, static_cast<std::uint32_t>(directory.size()));
    put32(bytes, static_cast<std::uint32_t>(directoryOffset));
    put16(bytes, 0);
    quine.bytes = bytes;
  }

  struct Case {
    const char* name;
    kx::Bytes bytes;
    std::int64_t index;
  };
  const Case cases[] = {
      {"two records, one local file", pointSecondAt(good.localOffsets[0]), 1},
      {"second local header inside the first's data", pointSecondAt(good.localOffsets[0] + 40), 1},
      {"first entry's data runs into the second", firstRunsIntoSecond, 1},
      {"local files nested in each other", quine.bytes, 1},
  };
  for (const Case& c : cases) {
    kx::Error error;
    EXPECT_FALSE(open(c.bytes, &error)) << c.name;
    EXPECT_EQ(error.domain(), ZZErrorDomain) << c.name;
    EXPECT_EQ(error.code(), ZZCentralFileHeaderReadErrorCode) << c.name;
    EXPECT_EQ(error.userInfo()[ZZEntryIndexKey].intValue(), c.index) << c.name;
  }

  // Local files in another order than the directory, or with bytes between
  // them, do not overlap.
  kx::Bytes withGap = good.bytes;
  withGap.insert(withGap.begin() + static_cast<std::ptrdiff_t>(good.localOffsets[1]), 50, 0);
  for (std::size_t i = 0; i < 2; ++i) {
    const std::size_t at =
        good.centralOffsets[i] + 50 + ZZCentralFileHeader::kLocalHeaderOffsetOffset;
    poke32(withGap, at, static_cast<std::uint32_t>(good.localOffsets[i] + (i ? 50 : 0)));
  }
  poke32(withGap, withGap.size() - 22 + 16, static_cast<std::uint32_t>(good.directoryOffset + 50));
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(withGap, &error);
  ASSERT_TRUE(archive) << error.code();
  EXPECT_EQ(dataOf(*archive->entries()[0]), payload);
  EXPECT_EQ(dataOf(*archive->entries()[1]), payload);
}

TEST(ZZArchiveOpenTest, MissingFileFailsUnlessAskedToCreate) {
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/missing.zip";
  kx::Error error;
  EXPECT_FALSE(ZZArchive::archiveWithURL(kx::URL::fileURLWithPath(path), &error));
  EXPECT_EQ(error.domain(), ZZErrorDomain);
  EXPECT_EQ(error.code(), ZZOpenReadErrorCode);
  kx::Error underlying = ZZError::underlying(error);
  EXPECT_EQ(underlying.domain(), kx::kCocoaErrorDomain);
  EXPECT_EQ(underlying.code(), ZZFileReadNoSuchFileError);

  kx::Value options = kx::Value::dict({{ZZOpenOptionsCreateIfMissingKey, kx::Value(true)}});
  std::shared_ptr<ZZArchive> archive =
      ZZArchive::archiveWithURL(kx::URL::fileURLWithPath(path), options, &error);
  ASSERT_TRUE(archive);
  EXPECT_TRUE(archive->entries().empty());
  ASSERT_TRUE(archive->URL().has_value());
  EXPECT_EQ(archive->URL()->path(), path);

  // Empty data is "missing" too; a folder is not an archive.
  EXPECT_TRUE(ZZArchive::archiveWithData({}, options, &error));
  EXPECT_FALSE(ZZArchive::archiveWithData({}, &error));
  EXPECT_EQ(error.code(), ZZOpenReadErrorCode);
  EXPECT_FALSE(ZZArchive::archiveWithURL(kx::URL::fileURLWithPath(root.path()), options, &error));
  EXPECT_EQ(error.code(), ZZOpenReadErrorCode);
}

TEST(ZZArchiveOpenTest, FileModeFollowsTheHostThatMadeTheEntry) {
  struct Case {
    std::uint8_t host;
    std::uint32_t external;
    std::uint16_t mode;
  };
  const Case cases[] = {
      {0, 0x10, 040755},             // MS-DOS folder
      {0, 0x08, 040755},             // MS-DOS volume label
      {0, 0x11, 040555},             // read-only folder
      {0, 0x20, 0100644},            // archive bit only: a file
      {0, 0x21, 0100444},            // read-only file
      {10, 0x10, 040755},            // NTFS folder
      {3, 0100755u << 16, 0100755},  // Unix: upper half as it stands
      {3, (0120777u << 16) | 0x10, 0120777},
      {7, 0x10, 0},  // another host
  };
  std::vector<RawEntry> entries;
  for (const Case& c : cases) {
    RawEntry e = RawEntry::make("e" + std::to_string(entries.size()), {}, false);
    e.host = c.host;
    e.externalAttributes = c.external;
    entries.push_back(e);
  }
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(buildArchive(entries).bytes, &error);
  ASSERT_TRUE(archive);
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(archive->entries()[i]->fileMode(), cases[i].mode) << "case " << i;
}

TEST(ZZArchiveOpenTest, NamesDecodeByTheUTF8Flag) {
  RawEntry dos =
      RawEntry::make(std::string("caf\x82\x80.txt"), {}, false);  // "café" + "Ç" in CP437
  RawEntry utf8 = RawEntry::make("caf\xc3\xa9.txt", {}, false);
  utf8.flags = 1 << 11;
  RawEntry broken = RawEntry::make("bad\xff", {}, false);
  broken.flags = 1 << 11;
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(buildArchive({dos, utf8, broken}).bytes, &error);
  ASSERT_TRUE(archive);
  const auto& e = archive->entries();
  EXPECT_EQ(e[0]->encoding(), ZZStringEncoding::DOSLatinUS);
  EXPECT_EQ(e[0]->fileName(), "caf\xc3\xa9\xc3\x87.txt");
  EXPECT_EQ(e[0]->rawFileName(), bytesOf("caf\x82\x80.txt"));
  EXPECT_EQ(e[1]->encoding(), ZZStringEncoding::UTF8);
  EXPECT_EQ(e[1]->fileName(), "caf\xc3\xa9.txt");
  EXPECT_EQ(e[1]->fileNameWithEncoding(ZZStringEncoding::DOSLatinUS),
            "caf\xe2\x94\x9c\xe2\x8c\x90.txt");
  EXPECT_EQ(e[2]->fileName(), "");  // not UTF-8: no name rather than a wrong one
}

TEST(ZZArchiveOpenTest, DatesAreLocalDOSTimes) {
  RawEntry e = RawEntry::make("when", {}, false);
  e.time = (5 << 11) | (6 << 5) | (8 / 2);
  e.date = (41 << 9) | (3 << 5) | 4;
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(buildArchive({e}).bytes, &error);
  ASSERT_TRUE(archive);
  std::tm tm{};
  tm.tm_year = 2021 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 4;
  tm.tm_hour = 5;
  tm.tm_min = 6;
  tm.tm_sec = 8;
  tm.tm_isdst = -1;
  EXPECT_EQ(archive->entries()[0]->lastModified(), static_cast<double>(std::mktime(&tm)));
}

TEST(ZZArchiveOpenTest, EntriesOutliveTheirArchive) {
  const kx::Bytes payload = text(200);
  std::shared_ptr<ZZArchiveEntry> entry;
  {
    kx::Error error;
    std::shared_ptr<ZZArchive> archive =
        open(buildArchive({RawEntry::make("t.txt", payload, true)}).bytes, &error);
    ASSERT_TRUE(archive);
    entry = archive->entries()[0];
  }
  EXPECT_EQ(dataOf(*entry), payload);
}

TEST(ZZArchiveOpenTest, ReadsWhatPythonWrites) {
  if (!havePython()) GTEST_SKIP() << "python3 is not installed";
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/py.zip";
  const char* script = R"PY(
import sys, zipfile
data = bytes((i * 7 + 3) % 251 for i in range(70000))
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.comment = b"made by python"
    z.writestr("empty.txt", b"")
    z.writestr("stored.bin", data, compress_type=zipfile.ZIP_STORED)
    z.writestr("deflated.bin", data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
    z.writestr("folder/", b"")
    z.writestr("folder/n\u00e4me \u540d.txt", "grüße".encode(), compress_type=zipfile.ZIP_DEFLATED)
)PY";
  ASSERT_TRUE(runPython(script, {path}).has_value());

  kx::Error error;
  std::shared_ptr<ZZArchive> archive =
      ZZArchive::archiveWithURL(kx::URL::fileURLWithPath(path), &error);
  ASSERT_TRUE(archive) << error.code();
  kx::Bytes data(70000);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>((i * 7 + 3) % 251);
  const auto& e = archive->entries();
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0]->fileName(), "empty.txt");
  EXPECT_EQ(dataOf(*e[0]), kx::Bytes());
  EXPECT_FALSE(e[1]->compressed());
  EXPECT_EQ(dataOf(*e[1]), data);
  EXPECT_TRUE(e[2]->compressed());
  EXPECT_LT(e[2]->compressedSize(), e[2]->uncompressedSize());
  EXPECT_EQ(dataOf(*e[2]), data);
  EXPECT_EQ(e[3]->fileName(), "folder/");
  EXPECT_TRUE(e[3]->fileMode() & 0x4000);
  EXPECT_EQ(e[4]->fileName(), "folder/n\xc3\xa4me \xe5\x90\x8d.txt");
  EXPECT_EQ(dataOf(*e[4]), bytesOf("gr\xc3\xbc\xc3\x9f"
                                   "e"));
  for (const auto& entry : e) EXPECT_TRUE(entry->check(&error)) << entry->fileName();
}

// ---------------------------------------------------------------------------
// Rewriting.

namespace {

// python3 checks the archive (every CRC) and lists each entry.
std::optional<std::string> pythonListing(const std::string& path) {
  const char* script = R"PY(
import sys, zipfile, hashlib
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    if bad is not None:
        sys.exit("bad entry " + bad)
    for i in z.infolist():
        d = z.read(i)
        print(i.filename, i.compress_type, i.flag_bits, i.create_version, i.create_system,
              oct(i.external_attr >> 16), "%d-%d-%d_%d:%d:%d" % i.date_time, len(d),
              hashlib.sha1(d).hexdigest()[:12])
)PY";
  return runPython(script, {path});
}

std::string sha12(const kx::Bytes& data) {
  const char* script =
      "import sys,hashlib;print(hashlib.sha1(open(sys.argv[1],'rb').read()).hexdigest()[:12])";
  kxtest::TempAppRoot root;
  writeFile(root.path() + "/blob", data);
  std::string out = runPython(script, {root.path() + "/blob"}).value_or("");
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

TEST(ZZArchiveUpdateTest, WrittenArchivesReadBackInPython) {
  if (!havePython()) GTEST_SKIP() << "python3 is not installed";
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/new.zip";
  kx::Value options = kx::Value::dict({{ZZOpenOptionsCreateIfMissingKey, kx::Value(true)}});
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = ZZArchive::archiveWithPath(path, options, &error);
  ASSERT_TRUE(archive);

  const kx::Bytes big = text(5000);
  const kx::Bytes noise = pattern(100000);
  const double when = localTime(2022, 7, 8, 12, 34, 59);
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries = {
      ZZArchiveEntry::archiveEntryWithDirectoryName("docs/"),
      ZZArchiveEntry::archiveEntryWithFileName(
          "docs/deflated.txt", true, ZZDataBlock([&](kx::Error*) { return std::optional(big); })),
      ZZArchiveEntry::archiveEntryWithFileName(
          "stored.bin", false, ZZDataBlock([&](kx::Error*) { return std::optional(noise); })),
      ZZArchiveEntry::archiveEntryWithFileName(
          "streamed.txt", 0100600, when, 9, nullptr,
          [&](ZZOutputStream& stream, kx::Error*) {
            for (std::size_t at = 0; at < big.size(); at += 1000)
              if (stream.write(big.data() + at, std::min<std::size_t>(1000, big.size() - at)) < 0)
                return false;
            return true;
          },
          nullptr),
      ZZArchiveEntry::archiveEntryWithFileName(
          "consumed.bin", false, ZZDataConsumerBlock([&](ZZDataConsumer& consumer, kx::Error*) {
            return consumer.putBytes(noise.data(), 777) == 777;
          })),
      ZZArchiveEntry::archiveEntryWithFileName(
          "\xe5\x90\x8d\xe5\x89\x8d.txt", true,
          ZZDataBlock([](kx::Error*) { return std::optional(bytesOf("unicode name")); })),
  };
  ASSERT_TRUE(archive->updateEntries(entries, &error)) << error.code();
  ASSERT_EQ(archive->entries().size(), entries.size());

  std::optional<std::string> listing = pythonListing(path);
  ASSERT_TRUE(listing.has_value());
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < listing->size()) {
    std::size_t nl = listing->find('\n', start);
    lines.push_back(listing->substr(start, nl - start));
    start = nl + 1;
  }
  ASSERT_EQ(lines.size(), 6u) << *listing;
  // name, method, flags, version made by (3.0 on Unix), mode, date, size, digest
  auto startsWith = [](const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
  };
  auto endsWith = [](const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  EXPECT_TRUE(startsWith(lines[0], "docs/ 0 2048 30 3 0o40755 ")) << lines[0];
  EXPECT_TRUE(endsWith(lines[0], " 0 " + sha12({}))) << lines[0];
  EXPECT_TRUE(startsWith(lines[1], "docs/deflated.txt 8 2056 30 3 0o100644 ")) << lines[1];
  EXPECT_TRUE(endsWith(lines[1], " " + std::to_string(big.size()) + " " + sha12(big))) << lines[1];
  EXPECT_TRUE(startsWith(lines[2], "stored.bin 0 2056 30 3 0o100644 ")) << lines[2];
  EXPECT_TRUE(endsWith(lines[2], " 100000 " + sha12(noise))) << lines[2];
  // Level 9 sets flag bit 1; 12:34:59 is written as 12:34:58, never as :60.
  EXPECT_EQ(lines[3], "streamed.txt 8 2058 30 3 0o100600 2022-7-8_12:34:58 " +
                          std::to_string(big.size()) + " " + sha12(big));
  EXPECT_TRUE(endsWith(lines[4], " 777 " + sha12(kx::Bytes(noise.begin(), noise.begin() + 777))))
      << lines[4];
  EXPECT_TRUE(startsWith(lines[5], "\xe5\x90\x8d\xe5\x89\x8d.txt 8 2056 ")) << lines[5];

  // And our own reader agrees.
  std::map<std::string, kx::Bytes> all = readAll(*archive);
  EXPECT_EQ(all["docs/deflated.txt"], big);
  EXPECT_EQ(all["stored.bin"], noise);
  EXPECT_EQ(all["streamed.txt"], big);
  for (const auto& entry : archive->entries())
    EXPECT_TRUE(entry->check(&error)) << entry->fileName();
}

TEST(ZZArchiveUpdateTest, HeadersOfNewEntries) {
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = ZZArchive::archiveWithData(
      {}, kx::Value::dict({{ZZOpenOptionsCreateIfMissingKey, kx::Value(true)}}), &error);
  ASSERT_TRUE(archive);
  const kx::Bytes payload = bytesOf("stored payload");
  auto block = [&](kx::Error*) { return std::optional(payload); };
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries = {
      ZZArchiveEntry::archiveEntryWithDirectoryName("dir/"),
      ZZArchiveEntry::archiveEntryWithFileName("stored", false, ZZDataBlock(block)),
  };
  for (std::int64_t level : {1, 2, 3, 4, 5, 7, 8, 9, -1})
    entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
        "level" + std::to_string(level), 0100644, 0, level, block, nullptr, nullptr));
  ASSERT_TRUE(archive->updateEntries(entries, &error));
  const kx::Bytes bytes = archive->contents().copy();
  const auto& read = archive->entries();

  auto central = [&](std::size_t i) {
    return static_cast<const ZZOldArchiveEntry&>(*read[i]).centralFileHeader();
  };
  // A folder: no data source, so no descriptor and flag bit 3 clear.
  EXPECT_EQ(central(0).generalPurposeBitFlag(), 1 << 11);
  EXPECT_EQ(central(0).versionMadeBy() | (central(0).fileAttributeCompatibility() << 8), 798);
  EXPECT_EQ(central(0).versionNeededToExtract(), 10);
  EXPECT_EQ(central(0).externalFileAttributes(), 040755u << 16);
  EXPECT_EQ(central(1).relativeOffsetOfLocalHeader(), 30u + 4u);  // right after the folder's header

  // A stored entry from a data block: zeros in the local header, the real
  // values in the descriptor that follows the data and in the central header.
  const std::size_t local = central(1).relativeOffsetOfLocalHeader();
  EXPECT_EQ(central(1).generalPurposeBitFlag(), (1 << 11) | (1 << 3));
  EXPECT_EQ(central(1).compressionMethod(), 0);
  EXPECT_EQ(peek32(bytes, local + 14), 0u);
  EXPECT_EQ(peek32(bytes, local + 18), 0u);
  EXPECT_EQ(peek32(bytes, local + 22), 0u);
  const std::size_t descriptor = local + 30 + 6 + payload.size();
  EXPECT_EQ(peek32(bytes, descriptor), 0x08074b50u);
  EXPECT_EQ(peek32(bytes, descriptor + 4), crcOf(payload));
  EXPECT_EQ(peek32(bytes, descriptor + 8), payload.size());
  EXPECT_EQ(peek32(bytes, descriptor + 12), payload.size());
  EXPECT_EQ(central(1).crc32(), crcOf(payload));
  EXPECT_EQ(central(1).compressedSize(), payload.size());

  // Flag bits 1-2 follow the deflate level.
  const std::uint16_t levelBits[] = {6, 6, 4, 4, 0, 0, 2, 2, 0};
  for (std::size_t i = 0; i < std::size(levelBits); ++i) {
    EXPECT_EQ(central(2 + i).generalPurposeBitFlag() & 6, levelBits[i]) << read[2 + i]->fileName();
    EXPECT_EQ(central(2 + i).compressionMethod(), 8);
    EXPECT_EQ(dataOf(*read[2 + i]), payload);
  }
}

TEST(ZZArchiveUpdateTest, DOSTimesAreAlwaysValid) {
  struct Case {
    double when;
    std::uint16_t time;
    std::uint16_t date;
  };
  const Case cases[] = {
      {localTime(2022, 7, 8, 12, 34, 59), (12 << 11) | (34 << 5) | 29, (42 << 9) | (7 << 5) | 8},
      {localTime(2022, 7, 8, 12, 34, 0), (12 << 11) | (34 << 5) | 0, (42 << 9) | (7 << 5) | 8},
      {localTime(2022, 7, 8, 12, 34, 1), (12 << 11) | (34 << 5) | 1, (42 << 9) | (7 << 5) | 8},
      {localTime(2022, 7, 8, 12, 34, 57), (12 << 11) | (34 << 5) | 29, (42 << 9) | (7 << 5) | 8},
      {localTime(1975, 1, 1, 0, 0, 0), 0, (1 << 5) | 1},  // before 1980
      {localTime(2120, 1, 1, 0, 0, 0), (23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31},
  };
  for (const Case& c : cases) {
    kx::Error error;
    std::shared_ptr<ZZArchive> archive = ZZArchive::archiveWithData(
        {}, kx::Value::dict({{ZZOpenOptionsCreateIfMissingKey, kx::Value(true)}}), &error);
    ASSERT_TRUE(archive->updateEntries({ZZArchiveEntry::archiveEntryWithFileName(
                                           "t", 0100644, c.when, 0, nullptr, nullptr, nullptr)},
                                       &error));
    auto& entry = static_cast<const ZZOldArchiveEntry&>(*archive->entries()[0]);
    EXPECT_EQ(entry.centralFileHeader().lastModFileTime(), c.time) << c.when;
    EXPECT_EQ(entry.centralFileHeader().lastModFileDate(), c.date) << c.when;
  }
}

TEST(ZZArchiveUpdateTest, AppendingKeepsTheBytesBeforeTheDirectory) {
  if (!havePython()) GTEST_SKIP() << "python3 is not installed";
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/grow.zip";
  ASSERT_TRUE(runPython(R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("a.txt", "alpha " * 100)
    z.writestr("b.txt", "beta " * 100)
)PY",
                        {path}));
  const kx::Bytes before = readFile(path);
  kx::Error error;
  std::shared_ptr<ZZArchive> archive =
      ZZArchive::archiveWithURL(kx::URL::fileURLWithPath(path), &error);
  ASSERT_TRUE(archive);
  const std::size_t directory = peek32(before, before.size() - 22 + 16);

  std::vector<std::shared_ptr<ZZArchiveEntry>> entries = archive->entries();
  entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
      "c.txt", true, ZZDataBlock([](kx::Error*) { return std::optional(bytesOf("gamma")); })));
  ASSERT_TRUE(archive->updateEntries(entries, &error)) << error.code();

  const kx::Bytes after = readFile(path);
  ASSERT_GT(after.size(), directory);
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + directory, after.begin()));
  EXPECT_EQ(peek32(after, directory), 0x04034b50u);  // the new local file comes next
  std::optional<std::string> listing = pythonListing(path);
  ASSERT_TRUE(listing.has_value());
  EXPECT_NE(listing->find("c.txt 8"), std::string::npos);
  std::map<std::string, kx::Bytes> all = readAll(*archive);
  EXPECT_EQ(all["a.txt"].size(), 600u);
  EXPECT_EQ(all["c.txt"], bytesOf("gamma"));
}

TEST(ZZArchiveUpdateTest, KeptLocalFilesOutOfOrderSurviveAnAppend) {
  // Local files lie in the order b, a while the directory lists a, b: keeping
  // both must keep every byte up to the end of the furthest one.
  const kx::Bytes alpha = text(50);
  const kx::Bytes beta = text(80);
  RawArchive raw =
      buildArchive({RawEntry::make("b", beta, true), RawEntry::make("a", alpha, false)});
  // Swap the two central records so that the directory order is a, b.
  const std::size_t firstLength = raw.centralOffsets[1] - raw.centralOffsets[0];
  kx::Bytes swapped(raw.bytes.begin(), raw.bytes.begin() + raw.directoryOffset);
  swapped.insert(swapped.end(), raw.bytes.begin() + raw.centralOffsets[1],
                 raw.bytes.begin() + raw.endOffset);
  swapped.insert(swapped.end(), raw.bytes.begin() + raw.centralOffsets[0],
                 raw.bytes.begin() + raw.centralOffsets[0] + firstLength);
  swapped.insert(swapped.end(), raw.bytes.begin() + raw.endOffset, raw.bytes.end());

  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(swapped, &error);
  ASSERT_TRUE(archive);
  ASSERT_EQ(archive->entries()[0]->fileName(), "a");
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries = archive->entries();
  entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
      "c", true, ZZDataBlock([](kx::Error*) { return std::optional(bytesOf("gamma")); })));
  ASSERT_TRUE(archive->updateEntries(entries, &error));
  std::map<std::string, kx::Bytes> all = readAll(*archive);
  EXPECT_EQ(all["a"], alpha);
  EXPECT_EQ(all["b"], beta);
  EXPECT_EQ(all["c"], bytesOf("gamma"));
}

TEST(ZZArchiveUpdateTest, ReorderingAndDroppingCopiesOldEntries) {
  const kx::Bytes alpha = text(60);
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(
      buildArchive({RawEntry::make("a", alpha, true), RawEntry::make("b", bytesOf("bee"), false),
                    RawEntry::make("c", bytesOf("sea"), false)})
          .bytes,
      &error);
  ASSERT_TRUE(archive);
  std::vector<std::shared_ptr<ZZArchiveEntry>> old = archive->entries();
  ASSERT_TRUE(archive->updateEntries({old[2], old[0]}, &error));
  ASSERT_EQ(archive->entries().size(), 2u);
  EXPECT_EQ(archive->entries()[0]->fileName(), "c");
  EXPECT_EQ(dataOf(*archive->entries()[0]), bytesOf("sea"));
  EXPECT_EQ(dataOf(*archive->entries()[1]), alpha);
  // The entries handed out before the rewrite still read their own bytes.
  EXPECT_EQ(dataOf(*old[1]), bytesOf("bee"));
  for (const auto& entry : archive->entries()) EXPECT_TRUE(entry->check(&error));
}

TEST(ZZArchiveUpdateTest, KeptLocalFilesKeepTheirWholeDescriptor) {
  // A kept local file is copied with its data descriptor as it lies: with or
  // without the signature, with 32- or 64-bit sizes, or none at all although
  // flag bit 3 announces one. The entry lies last before the directory, so
  // what follows it is the directory (or, after the rewrite, whatever the
  // writer puts there).
  struct Case {
    const char* name;
    bool present;
    bool signature;
    bool wideSizes;
    std::size_t payloadSize;
  };
  const Case cases[] = {
      {"no descriptor", false, false, false, 300},
      {"12 bytes: unsigned, 32-bit sizes", true, false, false, 300},
      {"16 bytes: signed, 32-bit sizes", true, true, false, 300},
      {"20 bytes: unsigned, 64-bit sizes", true, false, true, 300},
      {"24 bytes: signed, 64-bit sizes", true, true, true, 300},
      {"24 bytes, empty entry", true, true, true, 0},
      {"20 bytes, empty entry", true, false, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const kx::Bytes payload = text(c.payloadSize);
    RawEntry described = RawEntry::make("described", payload, true);
    described.flags = 1 << 3;
    if (c.wideSizes) described.localExtra = zip64ExtraBlock(described);
    if (c.present) described.descriptor = dataDescriptor(described, c.signature, c.wideSizes);
    const RawArchive raw =
        buildArchive({RawEntry::make("other", bytesOf("other"), false), described});
    const kx::Bytes localFile(raw.bytes.begin() + raw.localOffsets[1],
                              raw.bytes.begin() + raw.directoryOffset);

    // Kept in place, with a new entry after it: the kept bytes end after the
    // descriptor, and the new local header follows.
    kx::Error error;
    std::shared_ptr<ZZArchive> archive = open(raw.bytes, &error);
    ASSERT_TRUE(archive);
    std::vector<std::shared_ptr<ZZArchiveEntry>> entries = archive->entries();
    entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
        "added", false, ZZDataBlock([](kx::Error*) { return std::optional(bytesOf("new")); })));
    ASSERT_TRUE(archive->updateEntries(entries, &error)) << error.code();
    kx::Bytes after = archive->contents().copy();
    ASSERT_GE(after.size(), raw.directoryOffset + 4);
    EXPECT_TRUE(
        std::equal(localFile.begin(), localFile.end(), after.begin() + raw.localOffsets[1]));
    EXPECT_EQ(peek32(after, raw.directoryOffset), 0x04034b50u);
    EXPECT_EQ(dataOf(*archive->entries()[1]), payload);
    EXPECT_EQ(dataOf(*archive->entries()[2]), bytesOf("new"));

    // Copied to the front: the same bytes, and the next local header right
    // after them.
    archive = open(raw.bytes, &error);
    ASSERT_TRUE(archive);
    ASSERT_TRUE(archive->updateEntries({archive->entries()[1], archive->entries()[0]}, &error))
        << error.code();
    after = archive->contents().copy();
    ASSERT_GE(after.size(), localFile.size() + 4);
    EXPECT_TRUE(std::equal(localFile.begin(), localFile.end(), after.begin()));
    EXPECT_EQ(peek32(after, localFile.size()), 0x04034b50u);
    EXPECT_EQ(dataOf(*archive->entries()[0]), payload);
    EXPECT_EQ(dataOf(*archive->entries()[1]), bytesOf("other"));
    if (c.present && c.signature) {
      EXPECT_TRUE(archive->entries()[0]->check(&error));
    }
  }
}

TEST(ZZArchiveUpdateTest, AppendingAfterADescriptorThatDisagreesKeepsTheArchiveReadable) {
  // A signed descriptor whose values are not the central header's, in 32-bit
  // width although the local Zip64 block announces 64-bit sizes, right before
  // the directory. Its length must not be guessed from the bytes that happen
  // to follow: after an append other bytes follow, and the rewritten archive
  // would not open.
  const kx::Bytes payload = text(20);
  RawEntry e = RawEntry::make("described", payload, true);
  e.flags = 1 << 3;
  e.localExtra = zip64ExtraBlock(e);
  e.descriptor = dataDescriptor(e, true, false);
  e.descriptor[4] ^= 1;  // the CRC-32
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = open(buildArchive({e}).bytes, &error);
  ASSERT_TRUE(archive);
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries = archive->entries();
  entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
      "added", true, ZZDataBlock([](kx::Error*) { return std::optional(bytesOf("new")); })));
  ASSERT_TRUE(archive->updateEntries(entries, &error)) << error.code();
  EXPECT_EQ(dataOf(*archive->entries()[0]), payload);
  EXPECT_EQ(dataOf(*archive->entries()[1]), bytesOf("new"));
}

TEST(ZZArchiveUpdateTest, StreamedZip64EntriesFromPythonSurviveARewrite) {
  // python3 writes entries to an output it cannot seek with force_zip64:
  // 64-bit sizes in the local header's Zip64 block and a 24-byte descriptor.
  if (!havePython()) GTEST_SKIP() << "python3 is not installed";
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/streamed.zip";
  ASSERT_TRUE(runPython(R"PY(
import io, sys, zipfile
class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
    def seekable(self): return False
    def seek(self, *a): raise io.UnsupportedOperation("seek")
    def tell(self): raise io.UnsupportedOperation("tell")
with open(sys.argv[1], "wb") as out:
    with zipfile.ZipFile(Unseekable(out), "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in (("a.txt", "alpha " * 300), ("b.txt", "beta " * 200), ("c.txt", "")):
            with z.open(name, "w", force_zip64=True) as f:
                f.write(text.encode())
)PY",
                        {path}));
  const kx::Bytes original = readFile(path);
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = ZZArchive::archiveWithPath(path, kx::Value(), &error);
  ASSERT_TRUE(archive) << error.code();
  ASSERT_EQ(archive->entries().size(), 3u);
  // Each local file as it lies: from its header to the next one.
  std::vector<kx::Bytes> localFiles;
  const std::size_t directory = peek32(original, original.size() - 22 + 16);
  for (std::size_t i = 0; i < 3; ++i) {
    auto offsetOf = [&](std::size_t k) {
      return static_cast<const ZZOldArchiveEntry&>(*archive->entries()[k])
          .centralFileHeader()
          .relativeOffsetOfLocalHeader();
    };
    const std::size_t end = i + 1 < 3 ? offsetOf(i + 1) : directory;
    localFiles.emplace_back(original.begin() + offsetOf(i), original.begin() + end);
    EXPECT_EQ(peek32(localFiles.back(), localFiles.back().size() - 24), 0x08074b50u) << i;
  }

  // Reordered, so that both kept entries are copied; b dropped; one added.
  const auto old = archive->entries();
  ASSERT_TRUE(archive->updateEntries(
      {old[2], old[0],
       ZZArchiveEntry::archiveEntryWithFileName(
           "d.txt", true, ZZDataBlock([](kx::Error*) { return std::optional(bytesOf("delta")); }))},
      &error))
      << error.code();
  const kx::Bytes after = readFile(path);
  ASSERT_GE(after.size(), localFiles[2].size() + localFiles[0].size());
  EXPECT_TRUE(std::equal(localFiles[2].begin(), localFiles[2].end(), after.begin()));
  EXPECT_TRUE(std::equal(localFiles[0].begin(), localFiles[0].end(),
                         after.begin() + static_cast<std::ptrdiff_t>(localFiles[2].size())));
  EXPECT_EQ(peek32(after, localFiles[2].size() + localFiles[0].size()), 0x04034b50u);
  std::optional<std::string> listing = pythonListing(path);
  ASSERT_TRUE(listing.has_value());
  EXPECT_NE(listing->find("a.txt 8"), std::string::npos) << *listing;
  EXPECT_EQ(readAll(*archive)["a.txt"].size(), 1800u);
  for (const auto& entry : archive->entries())
    EXPECT_TRUE(entry->check(&error)) << entry->fileName();
}

TEST(ZZArchiveUpdateTest, RefusesNamesThatAreNotUTF8) {
  // New entries are written with the UTF-8 flag, so their names must be
  // UTF-8; anything else would make an archive other readers refuse.
  kx::Error error;
  const kx::Bytes original = buildArchive({RawEntry::make("a", bytesOf("a"), false)}).bytes;
  std::shared_ptr<ZZArchive> archive = open(original, &error);
  ASSERT_TRUE(archive);
  const char* names[] = {
      "caf\xe9.txt",  // Latin-1
      "\xc0\xaf"
      "etc",           // overlong "/"
      "\xed\xa0\x80",  // a UTF-16 surrogate
      "cut\xe2\x82",   // a truncated sequence
      "dir\xff/",
  };
  for (const char* name : names) {
    std::shared_ptr<ZZArchiveEntry> entry =
        std::string(name).back() == '/'
            ? ZZArchiveEntry::archiveEntryWithDirectoryName(name)
            : ZZArchiveEntry::archiveEntryWithFileName(
                  name, true, ZZDataBlock([](kx::Error*) { return std::optional(bytesOf("x")); }));
    EXPECT_FALSE(archive->updateEntries({archive->entries()[0], entry}, &error)) << name;
    EXPECT_EQ(error.domain(), ZZErrorDomain) << name;
    EXPECT_EQ(error.code(), ZZLocalFileWriteErrorCode) << name;
    EXPECT_EQ(error.userInfo()[ZZEntryIndexKey].intValue(), 1) << name;
    EXPECT_EQ(ZZError::underlying(error).domain(), kx::kPosixErrorDomain) << name;
    EXPECT_EQ(ZZError::underlying(error).code(), EILSEQ) << name;
  }
  EXPECT_EQ(archive->contents().copy(), original);
}

TEST(ZZArchiveUpdateTest, RefusesWhatTheFormatCannotHold) {
  kx::Error error;
  std::shared_ptr<ZZArchive> archive =
      open(buildArchive({RawEntry::make("a", bytesOf("a"), false)}).bytes, &error);
  ASSERT_TRUE(archive);
  std::vector<std::shared_ptr<ZZArchiveEntry>> many(
      65536, ZZArchiveEntry::archiveEntryWithDirectoryName("d/"));
  EXPECT_FALSE(archive->updateEntries(many, &error));
  EXPECT_EQ(error.code(), ZZArchiveTooLargeErrorCode);
  EXPECT_EQ(archive->entries().size(), 1u);

  // 65535 entries are still fine.
  many.resize(65535);
  EXPECT_TRUE(archive->updateEntries(many, &error)) << error.code();
  EXPECT_EQ(archive->entries().size(), 65535u);
}

namespace {

// A channel whose temporary output claims to start just below 4 GiB, so that
// the 32-bit limits are reached without writing gigabytes.
class NearlyFullChannel : public ZZDataChannel {
 public:
  using ZZDataChannel::ZZDataChannel;
  std::unique_ptr<ZZChannel> temporaryChannel(kx::Error*) override {
    return std::make_unique<NearlyFullChannel>();
  }
  std::unique_ptr<ZZChannelOutput> newOutput(kx::Error*) override {
    class Output : public ZZChannelOutput {
     public:
      std::uint64_t offset() const override { return offset_; }
      bool writeData(const std::uint8_t*, std::size_t length, kx::Error*) override {
        offset_ += length;
        return true;
      }
      bool close(kx::Error*) override { return true; }
      std::uint64_t offset_ = 0xffffff00u;
    };
    return std::make_unique<Output>();
  }
};

}  // namespace

TEST(ZZArchiveUpdateTest, RefusesArchivesOfFourGigabytes) {
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = ZZArchive::archiveWithChannel(
      std::make_unique<NearlyFullChannel>(buildArchive({}).bytes), kx::Value(), &error);
  ASSERT_TRUE(archive);
  const kx::Bytes payload(1000, 'x');
  auto small = ZZArchiveEntry::archiveEntryWithFileName(
      "small", true, ZZDataBlock([](kx::Error*) { return std::optional(bytesOf("tiny")); }));
  auto large = ZZArchiveEntry::archiveEntryWithFileName(
      "large", false, ZZDataBlock([&](kx::Error*) { return std::optional(payload); }));
  // The second local header would start past 4 GiB.
  EXPECT_FALSE(archive->updateEntries({large, small}, &error));
  EXPECT_EQ(error.domain(), ZZErrorDomain);
  EXPECT_EQ(error.code(), ZZArchiveTooLargeErrorCode);
  EXPECT_EQ(error.userInfo()[ZZEntryIndexKey].intValue(), 1);
  // Here every local header fits, but the directory would not.
  EXPECT_FALSE(archive->updateEntries({small, large}, &error));
  EXPECT_EQ(error.code(), ZZArchiveTooLargeErrorCode);
  EXPECT_FALSE(error.userInfo().contains(ZZEntryIndexKey));
  EXPECT_TRUE(archive->entries().empty());
}

TEST(ZZArchiveUpdateTest, FailingDataSourcesFailTheUpdate) {
  kx::Error error;
  const kx::Bytes original = buildArchive({RawEntry::make("a", bytesOf("a"), false)}).bytes;
  std::shared_ptr<ZZArchive> archive = open(original, &error);
  ASSERT_TRUE(archive);

  EXPECT_FALSE(archive->updateEntries(
      {ZZArchiveEntry::archiveEntryWithFileName(
          "x", true, ZZDataBlock([](kx::Error*) { return std::optional<kx::Bytes>(); }))},
      &error));
  EXPECT_EQ(error.code(), ZZLocalFileWriteErrorCode);
  EXPECT_EQ(error.userInfo()[ZZEntryIndexKey].intValue(), 0);
  EXPECT_EQ(ZZError::underlying(error).code(), ZZApplicationErrorCode);

  EXPECT_FALSE(archive->updateEntries(
      {archive->entries()[0], ZZArchiveEntry::archiveEntryWithFileName(
                                  "y", false, ZZStreamBlock([](ZZOutputStream&, kx::Error* e) {
                                    kx::SetError(e, kx::Error("test.domain", 42));
                                    return false;
                                  }))},
      &error));
  EXPECT_EQ(error.code(), ZZLocalFileWriteErrorCode);
  EXPECT_EQ(error.userInfo()[ZZEntryIndexKey].intValue(), 1);
  EXPECT_EQ(ZZError::underlying(error).domain(), "test.domain");
  EXPECT_EQ(ZZError::underlying(error).code(), 42);

  // Nothing changed.
  EXPECT_EQ(archive->contents().copy(), original);
  EXPECT_EQ(archive->entries().size(), 1u);
}

TEST(ZZArchiveUpdateTest, DiskFailuresLeaveTheOldArchiveInPlace) {
  kxtest::TempAppRoot root;
  const std::string folder = root.path() + "/archives";
  std::filesystem::create_directory(folder);
  const std::string path = folder + "/safe.zip";
  const kx::Bytes original = buildArchive({RawEntry::make("keep.txt", text(100), true)}).bytes;
  writeFile(path, original);
  auto entriesWithNew = [](const ZZArchive& archive) {
    std::vector<std::shared_ptr<ZZArchiveEntry>> entries = archive.entries();
    entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
        "new.bin", false,
        ZZDataBlock([](kx::Error*) { return std::optional(kx::Bytes(5000, 7)); })));
    return entries;
  };
  using Op = kxtest::FaultInjectingFileSystem::Op;
  struct Case {
    const char* name;
    kxtest::FaultInjectingFileSystem::Fault fault;
    std::int64_t code;
  };
  const Case cases[] = {
      {"disk full midway",
       {.op = Op::Append, .skip = 1, .error = ENOSPC, .shortWrite = true},
       ZZLocalFileWriteErrorCode},
      {"temporary file", {.op = Op::OpenWrite, .error = EACCES}, ZZOpenWriteErrorCode},
      {"sync", {.op = Op::Sync, .error = EIO}, ZZEndOfCentralDirectoryWriteErrorCode},
      {"rename", {.op = Op::Rename, .error = EIO}, ZZReplaceWriteErrorCode},
  };
  for (const Case& c : cases) {
    kx::Error error;
    std::shared_ptr<ZZArchive> archive = ZZArchive::archiveWithPath(path, kx::Value(), &error);
    ASSERT_TRUE(archive);
    {
      kxtest::FaultInjectingFileSystem fs;
      fs.inject(c.fault);
      kx::FileSystem::ScopedDefaultForTesting use(&fs);
      EXPECT_FALSE(archive->updateEntries(entriesWithNew(*archive), &error)) << c.name;
      EXPECT_EQ(fs.injectedFailures(), 1) << c.name;
    }
    EXPECT_EQ(error.code(), c.code) << c.name;
    EXPECT_EQ(readFile(path), original) << c.name;
    EXPECT_EQ(archive->entries().size(), 1u);
    std::vector<std::string> left;
    for (const auto& item : std::filesystem::directory_iterator(folder))
      left.push_back(item.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"safe.zip"}) << c.name;
  }
  // Without faults the same update goes through, and the file keeps its mode.
  std::filesystem::permissions(path, std::filesystem::perms(0600));
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = ZZArchive::archiveWithPath(path, kx::Value(), &error);
  ASSERT_TRUE(archive->updateEntries(entriesWithNew(*archive), &error));
  EXPECT_EQ(archive->entries().size(), 2u);
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms(0600));
}

TEST(ZZArchiveUpdateTest, EntriesOfAnotherArchiveCanBeCopiedIn) {
  kx::Error error;
  std::shared_ptr<ZZArchive> source =
      open(buildArchive({RawEntry::make("from-elsewhere", text(30), true)}).bytes, &error);
  std::shared_ptr<ZZArchive> target = ZZArchive::archiveWithData(
      {}, kx::Value::dict({{ZZOpenOptionsCreateIfMissingKey, kx::Value(true)}}), &error);
  ASSERT_TRUE(source && target);
  ASSERT_TRUE(target->updateEntries({source->entries()[0]}, &error));
  source.reset();
  EXPECT_EQ(dataOf(*target->entries()[0]), text(30));
}
