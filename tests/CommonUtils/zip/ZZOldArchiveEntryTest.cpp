// Reading entries: data, streams and providers; damaged and inconsistent
// entries (which must fail with errors, never hand out bytes); traditional
// and WinZip AES encryption from archives made by other tools.
#include "CommonUtils/zip/ZZOldArchiveEntry.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>

#include "CommonUtils/zip/ZZArchive.h"
#include "CommonUtils/zip/ZZCentralFileHeader.h"
#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZStandardCryptoEngine.h"
#include "CommonUtils/zip/ZipFixtures.h"
#include "support/TempAppRoot.h"

using namespace ziptest;

namespace {

kx::Bytes text(std::size_t repeats) {
  std::string s;
  for (std::size_t i = 0; i < repeats; ++i) s += "entry text " + std::to_string(i % 23) + "\n";
  return bytesOf(s);
}

std::shared_ptr<ZZArchive> openBytes(const kx::Bytes& bytes) {
  kx::Error error;
  std::shared_ptr<ZZArchive> archive = ZZArchive::archiveWithData(bytes, &error);
  EXPECT_TRUE(archive) << "open failed: " << error.code();
  return archive;
}

std::shared_ptr<ZZArchive> openFixture(const std::string& name) {
  return openBytes(readFile(fixturePath(name)));
}

// Reads the whole stream in pieces of `piece` bytes; nullopt when a read
// failed (the error goes to *error).
std::optional<kx::Bytes> drain(ZZInputStream& stream, std::size_t piece, kx::Error* error) {
  stream.open();
  kx::Bytes out;
  std::vector<std::uint8_t> buffer(piece);
  for (;;) {
    ssize_t n = stream.read(buffer.data(), buffer.size());
    if (n < 0) {
      *error = stream.streamError();
      stream.close();
      return std::nullopt;
    }
    if (n == 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
  }
  stream.close();
  return out;
}

const ZZArchiveEntry* entryNamed(const ZZArchive& archive, const std::string& name) {
  for (const auto& e : archive.entries())
    if (e->fileName() == name) return e.get();
  return nullptr;
}

kx::Bytes aesBlock(std::uint16_t vendorVersion, std::uint8_t strength, std::uint16_t method,
                   std::uint16_t size = 7) {
  kx::Bytes b;
  put16(b, 0x9901);
  put16(b, size);
  put16(b, vendorVersion);
  b.push_back('A');
  b.push_back('E');
  b.push_back(strength);
  put16(b, method);
  return b;
}

}  // namespace

TEST(ZZOldArchiveEntryTest, StoredAndDeflatedEntriesReadTheSameEveryWay) {
  const kx::Bytes payload = text(3000);
  std::shared_ptr<ZZArchive> archive =
      openBytes(buildArchive({RawEntry::make("stored", payload, false),
                              RawEntry::make("deflated", payload, true)})
                    .bytes);
  ASSERT_TRUE(archive);
  for (const auto& entry : archive->entries()) {
    kx::Error error;
    ASSERT_EQ(entry->newDataWithError(&error), payload) << entry->fileName();
    for (std::size_t piece : {1u, 7u, 16384u, 1u << 20}) {
      std::unique_ptr<ZZInputStream> stream = entry->newStreamWithError(&error);
      ASSERT_TRUE(stream);
      EXPECT_EQ(drain(*stream, piece, &error), payload) << entry->fileName() << " piece " << piece;
    }
    std::unique_ptr<ZZDataProvider> provider = entry->newDataProviderWithError(&error);
    ASSERT_TRUE(provider);
    EXPECT_EQ(provider->isDirect(), !entry->compressed());
    kx::Bytes head(100);
    ASSERT_EQ(provider->getBytes(head.data(), head.size()), 100u);
    EXPECT_EQ(provider->skipForward(5000), 5000);
    kx::Bytes rest(payload.size());
    std::size_t restLength = provider->getBytes(rest.data(), rest.size());
    EXPECT_EQ(restLength, payload.size() - 5100);
    EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + restLength, payload.begin() + 5100));
    provider->rewind();
    kx::Bytes again(payload.size());
    EXPECT_EQ(provider->getBytes(again.data(), again.size()), payload.size());
    EXPECT_EQ(again, payload);
    EXPECT_FALSE(provider->error());
    EXPECT_TRUE(entry->check(&error));
  }
}

TEST(ZZOldArchiveEntryTest, DamagedOrInconsistentEntriesFailWithErrors) {
  const kx::Bytes payload = text(400);
  struct Case {
    const char* name;
    std::function<RawEntry()> entry;
    std::function<void(RawArchive&)> bend;  // applied to the built bytes
    std::int64_t code;
  };
  auto stored = [&] { return RawEntry::make("e", payload, false); };
  auto deflated = [&] { return RawEntry::make("e", payload, true); };
  auto none = [](RawArchive&) {};
  const Case cases[] = {
      {"bad CRC, stored",
       [&] {
         auto e = stored();
         e.crc ^= 1;
         return e;
       },
       none, ZZDamagedDataErrorCode},
      {"bad CRC, deflated",
       [&] {
         auto e = deflated();
         e.crc ^= 0x80000000u;
         return e;
       },
       none, ZZDamagedDataErrorCode},
      {"bad deflate stream",
       [&] {
         auto e = deflated();
         std::fill(e.stored.begin(), e.stored.end(), 0xff);
         return e;
       },
       none, ZZDamagedDataErrorCode},
      {"deflate stream cut short",
       [&] {
         auto e = deflated();
         e.stored.resize(e.stored.size() / 2);
         e.compressedSize = static_cast<std::uint32_t>(e.stored.size());
         return e;
       },
       none, ZZDamagedDataErrorCode},
      {"more data than recorded",
       [&] {
         auto e = deflated();
         e.uncompressedSize -= 10;
         return e;
       },
       none, ZZDamagedDataErrorCode},
      {"less data than recorded, stored",
       [&] {
         auto e = stored();
         e.uncompressedSize += 1;
         return e;
       },
       none, ZZDamagedDataErrorCode},
      {"four gigabytes claimed by a few bytes",
       [&] {
         auto e = deflated();
         e.uncompressedSize = 0xfffffff0u;
         return e;
       },
       none, ZZDamagedDataErrorCode},
      {"local header signature", stored,
       [](RawArchive& a) { poke32(a.bytes, a.localOffsets[0], 0x04034b51); },
       ZZLocalFileReadErrorCode},
      {"local name length past the directory", stored,
       [](RawArchive& a) { poke16(a.bytes, a.localOffsets[0] + 26, 0xfff0); },
       ZZLocalFileReadErrorCode},
      {"local extra field length past the directory", stored,
       [](RawArchive& a) { poke16(a.bytes, a.localOffsets[0] + 28, 0x8000); },
       ZZLocalFileReadErrorCode},
      {"compressed size past the directory",
       [&] {
         auto e = stored();
         e.compressedSize += 1;
         return e;
       },
       none, ZZLocalFileReadErrorCode},
      {"bzip2",
       [&] {
         auto e = stored();
         e.method = 12;
         return e;
       },
       none, ZZUnsupportedCompressionMethod},
      {"strong encryption",
       [&] {
         auto e = stored();
         e.flags = 1 | (1 << 6);
         return e;
       },
       none, ZZUnsupportedEncryptionMethod},
      {"AES in the central header only",
       [&] {
         auto e = stored();
         e.flags = 1;
         e.method = 99;
         e.centralExtra = aesBlock(2, 3, 0);
         return e;
       },
       none, ZZLocalFileReadErrorCode},
      {"AES key strength 4",
       [&] {
         auto e = stored();
         e.flags = 1;
         e.method = 99;
         e.centralExtra = e.localExtra = aesBlock(2, 4, 0);
         return e;
       },
       none, ZZUnsupportedEncryptionMethod},
      {"AES block longer than the local extra field",
       [&] {
         auto e = stored();
         e.flags = 1;
         e.method = 99;
         e.centralExtra = aesBlock(2, 3, 0);
         e.localExtra = aesBlock(2, 3, 0, 40);
         return e;
       },
       none, ZZLocalFileReadErrorCode},
      {"AES data shorter than salt, verifier and code",
       [&] {
         auto e = RawEntry::make("e", kx::Bytes(20, 1), false);
         e.flags = 1;
         e.method = 99;
         e.centralExtra = e.localExtra = aesBlock(2, 3, 0);
         return e;
       },
       none, ZZDamagedDataErrorCode},
      {"traditional data shorter than its header",
       [&] {
         auto e = RawEntry::make("e", kx::Bytes(5, 1), false);
         e.flags = 1;
         return e;
       },
       none, ZZDamagedDataErrorCode},
  };
  for (const Case& c : cases) {
    RawArchive raw = buildArchive({c.entry()});
    c.bend(raw);
    std::shared_ptr<ZZArchive> archive = openBytes(raw.bytes);
    ASSERT_TRUE(archive) << c.name;
    const ZZArchiveEntry& entry = *archive->entries()[0];

    kx::Error error;
    EXPECT_FALSE(entry.newDataWithError(&error)) << c.name;
    EXPECT_EQ(error.domain(), ZZErrorDomain) << c.name;
    EXPECT_EQ(error.code(), c.code) << c.name;

    // The stream either cannot be made or fails before its end: it never
    // ends quietly with damaged bytes.
    kx::Error streamError;
    std::unique_ptr<ZZInputStream> stream = entry.newStreamWithError(&streamError);
    if (stream) {
      EXPECT_FALSE(drain(*stream, 333, &streamError)) << c.name;
      EXPECT_EQ(streamError.code(), ZZDamagedDataErrorCode) << c.name;
    } else {
      EXPECT_EQ(streamError.code(), c.code) << c.name;
    }

    kx::Error providerError;
    std::unique_ptr<ZZDataProvider> provider = entry.newDataProviderWithError(&providerError);
    if (provider) {
      kx::Bytes sink(payload.size() + 100);
      provider->getBytes(sink.data(), sink.size());
      EXPECT_TRUE(provider->error()) << c.name;
    } else {
      EXPECT_TRUE(providerError) << c.name;
    }
  }
}

TEST(ZZOldArchiveEntryTest, NamesMustMatchTheLocalHeader) {
  const kx::Bytes payload = text(30);
  auto realArchive = [&](const kx::Bytes& comment) {
    return buildArchive({RawEntry::make("real.txt", payload, true)}, comment);
  };
  const RawArchive real = realArchive({});

  // A second directory hidden in the archive comment, found first because
  // its end record is the last one, serves the real local file under
  // another name.
  auto hiddenDirectory = [&](const std::string& name) {
    kx::Bytes record(real.bytes.begin() + real.directoryOffset,
                     real.bytes.begin() + real.endOffset);
    record.resize(ZZCentralFileHeader::kFixedSize);
    poke16(record, ZZCentralFileHeader::kFileNameLengthOffset,
           static_cast<std::uint16_t>(name.size()));
    append(record, bytesOf(name));
    kx::Bytes comment = record;
    put32(comment, 0x06054b50);
    put16(comment, 0);
    put16(comment, 0);
    put16(comment, 1);
    put16(comment, 1);
    put32(comment, static_cast<std::uint32_t>(record.size()));
    put32(comment, static_cast<std::uint32_t>(real.endOffset + 22));
    put16(comment, 0);
    return realArchive(comment).bytes;
  };
  kx::Bytes localNameDiffers = real.bytes;
  localNameDiffers[real.localOffsets[0] + 30] = 'R';

  struct Case {
    const char* name;
    kx::Bytes bytes;
    bool reads;
  };
  kx::Bytes flagsAndExtraDiffer;
  {
    // The same name bytes under other flags and with a local extra block:
    // only the bytes are compared.
    RawEntry e = RawEntry::make("real.txt", payload, true);
    e.localExtra = {0x55, 0x54, 0x05, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    RawArchive raw = buildArchive({e});
    poke16(raw.bytes, raw.centralOffsets[0] + ZZCentralFileHeader::kFlagsOffset, 1 << 11);
    flagsAndExtraDiffer = raw.bytes;
  }
  const Case cases[] = {
      {"hidden directory, name of the same length", hiddenDirectory("fake.txt"), false},
      {"hidden directory, shorter name", hiddenDirectory("f"), false},
      {"local name differs in one byte", localNameDiffers, false},
      {"flags and extra field differ", flagsAndExtraDiffer, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::shared_ptr<ZZArchive> archive = openBytes(c.bytes);
    ASSERT_TRUE(archive);
    ASSERT_EQ(archive->entries().size(), 1u);
    const ZZArchiveEntry& entry = *archive->entries()[0];
    kx::Error error;
    if (c.reads) {
      EXPECT_EQ(entry.newDataWithError(&error), payload);
      continue;
    }
    EXPECT_FALSE(entry.newDataWithError(&error));
    EXPECT_EQ(error.code(), ZZLocalFileReadErrorCode);
    EXPECT_FALSE(entry.newStreamWithError(&error));
    EXPECT_EQ(error.code(), ZZLocalFileReadErrorCode);
    EXPECT_FALSE(entry.newDataProviderWithError(&error));
    EXPECT_EQ(error.code(), ZZLocalFileReadErrorCode);
  }
}

TEST(ZZOldArchiveEntryTest, AStreamReportsABadCRCWithItsLastBytes) {
  // A reader that takes exactly the recorded size and stops, without the
  // read that answers 0, must still learn that the bytes are bad.
  const kx::Bytes payload = text(400);
  for (bool deflate : {false, true}) {
    for (bool damaged : {false, true}) {
      RawEntry e = RawEntry::make("e", payload, deflate);
      if (damaged) e.crc ^= 1;
      std::shared_ptr<ZZArchive> archive = openBytes(buildArchive({e}).bytes);
      ASSERT_TRUE(archive);
      const ZZArchiveEntry& entry = *archive->entries()[0];
      for (std::size_t piece : {payload.size(), std::size_t{7}}) {
        SCOPED_TRACE(std::string(deflate ? "deflated" : "stored") + (damaged ? ", damaged" : "") +
                     ", piece " + std::to_string(piece));
        kx::Error error;
        std::unique_ptr<ZZInputStream> stream = entry.newStreamWithError(&error);
        ASSERT_TRUE(stream);
        stream->open();
        std::vector<std::uint8_t> buffer(piece);
        std::size_t total = 0;
        ssize_t n = 0;
        while (total < payload.size()) {
          n = stream->read(buffer.data(), std::min(piece, payload.size() - total));
          if (n <= 0) break;
          total += static_cast<std::size_t>(n);
        }
        if (damaged) {
          EXPECT_EQ(n, -1);
          EXPECT_EQ(stream->streamStatus(), ZZStreamStatus::Error);
          EXPECT_EQ(stream->streamError().code(), ZZDamagedDataErrorCode);
        } else {
          EXPECT_EQ(total, payload.size());
          EXPECT_NE(stream->streamStatus(), ZZStreamStatus::Error);
          EXPECT_FALSE(stream->streamError());
          EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 0);
        }
        stream->close();
      }
      kx::Error error;
      std::unique_ptr<ZZDataProvider> provider = entry.newDataProviderWithError(&error);
      if (!provider) {
        EXPECT_TRUE(damaged && !deflate);  // stored entries are checked up front
        continue;
      }
      kx::Bytes all(payload.size());
      provider->getBytes(all.data(), all.size());
      EXPECT_EQ(static_cast<bool>(provider->error()), damaged);
    }
  }
}

namespace {

// The largest resident size this process has had, in bytes.
std::uint64_t peakResidentBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace

TEST(ZZOldArchiveEntryTest, DeclaredSizesAreNotTakenBeforeTheDataInflates) {
  // 4 MiB of bytes that are not deflate data, declared to inflate to almost
  // 4 GiB (deflate could expand 4 MiB that far): the read must fail at the
  // first bytes without taking the declared size first.
  const std::size_t size = 4u << 20;
  RawEntry plain = RawEntry::make("plain", {}, false);
  plain.method = 8;
  plain.stored = kx::Bytes(size, 0xff);
  plain.compressedSize = static_cast<std::uint32_t>(size);
  plain.uncompressedSize = 0xffffffffu;

  // The same behind traditional encryption, read through the stream chain.
  RawEntry encrypted = plain;
  encrypted.name = "encrypted";
  encrypted.flags = 1;
  {
    kx::Bytes body = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0};  // check byte: CRC-32 >> 24
    append(body, plain.stored);
    ZZStandardCryptoEngine engine;
    const std::string password = "secret";
    engine.initKeys(reinterpret_cast<const std::uint8_t*>(password.data()), password.size());
    engine.encrypt(body.data(), body.size());
    encrypted.stored = body;
    encrypted.compressedSize = static_cast<std::uint32_t>(body.size());
  }
  std::shared_ptr<ZZArchive> archive = openBytes(buildArchive({plain, encrypted}).bytes);
  ASSERT_TRUE(archive);
  const std::uint64_t before = peakResidentBytes();
  for (const auto& entry : archive->entries()) {
    kx::Error error;
    EXPECT_FALSE(entry->newDataWithPassword("secret", &error)) << entry->fileName();
    EXPECT_EQ(error.code(), ZZDamagedDataErrorCode) << entry->fileName();
  }
  EXPECT_LT(peakResidentBytes() - before, std::uint64_t{256} << 20);
}

TEST(ZZOldArchiveEntryTest, UnknownExtraBlocksAreWalkedSafely) {
  RawEntry e = RawEntry::make("e", text(10), true);
  // A well-formed block, then one that claims more bytes than the field holds.
  e.centralExtra = {0x55, 0x54, 0x01, 0x00, 0x07, 0x0a, 0x0b, 0xff, 0xff, 0x01};
  e.localExtra = e.centralExtra;
  std::shared_ptr<ZZArchive> archive = openBytes(buildArchive({e}).bytes);
  ASSERT_TRUE(archive);
  kx::Error error;
  EXPECT_EQ(archive->entries()[0]->newDataWithError(&error), text(10));
  EXPECT_FALSE(archive->entries()[0]->encrypted());
}

TEST(ZZOldArchiveEntryTest, CheckComparesLocalAndCentralHeaders) {
  const RawArchive good = buildArchive({RawEntry::make("name.txt", text(20), true)});
  {
    std::shared_ptr<ZZArchive> archive = openBytes(good.bytes);
    kx::Error error;
    EXPECT_TRUE(archive->entries()[0]->check(&error));
  }
  struct Case {
    const char* name;
    std::size_t offset;  // within the local header
    std::uint16_t value;
  };
  const Case cases[] = {
      {"method", 8, 0},       {"time", 10, 0x1234}, {"date", 12, 0x4321},
      {"name byte", 30, 'N'}, {"size", 22, 1},
  };
  for (const Case& c : cases) {
    kx::Bytes bytes = good.bytes;
    if (c.offset == 30)
      bytes[good.localOffsets[0] + 30] = static_cast<std::uint8_t>(c.value);
    else
      poke16(bytes, good.localOffsets[0] + c.offset, c.value);
    std::shared_ptr<ZZArchive> archive = openBytes(bytes);
    kx::Error error;
    EXPECT_FALSE(archive->entries()[0]->check(&error)) << c.name;
    EXPECT_EQ(error.code(), ZZLocalFileReadErrorCode) << c.name;
  }
  // With flag bit 3 the values come from a signed descriptor after the data.
  RawEntry described = RawEntry::make("d", text(20), true);
  described.flags = 1 << 3;
  kx::Bytes descriptor;
  put32(descriptor, 0x08074b50);
  put32(descriptor, described.crc);
  put32(descriptor, described.compressedSize);
  put32(descriptor, described.uncompressedSize);
  RawEntry withDescriptor = described;
  append(withDescriptor.stored, descriptor);
  RawArchive raw = buildArchive({withDescriptor});
  // The central header's compressed size excludes the descriptor.
  poke32(raw.bytes, raw.centralOffsets[0] + 20, described.compressedSize);
  std::shared_ptr<ZZArchive> archive = openBytes(raw.bytes);
  kx::Error error;
  EXPECT_TRUE(archive->entries()[0]->check(&error));
  EXPECT_EQ(archive->entries()[0]->newDataWithError(&error), text(20));
  raw.bytes[raw.localOffsets[0] + 30 + 1 + described.compressedSize] = 0;  // unsigned descriptor
  archive = openBytes(raw.bytes);
  EXPECT_FALSE(archive->entries()[0]->check(&error));
}

// --- Traditional encryption ------------------------------------------------

TEST(ZZOldArchiveEntryTest, TraditionalEncryptionFromZip) {
  const kx::Bytes hello = readFile(fixturePath("hello.txt"));
  const kx::Bytes raw = readFile(fixturePath("raw.bin"));
  for (const char* name : {"trad.zip", "trad-stream.zip"}) {
    std::shared_ptr<ZZArchive> archive = openFixture(name);
    ASSERT_TRUE(archive);
    for (const auto& entry : archive->entries()) {
      SCOPED_TRACE(std::string(name) + ":" + entry->fileName());
      ASSERT_TRUE(entry->encrypted());
      const kx::Bytes& expected = entry->fileName() == "raw.bin" ? raw : hello;
      kx::Error error;
      EXPECT_EQ(entry->newDataWithPassword("secret", &error), expected) << error.code();
      std::unique_ptr<ZZInputStream> stream = entry->newStreamWithPassword("secret", &error);
      ASSERT_TRUE(stream);
      EXPECT_EQ(drain(*stream, 1, &error), expected);
      std::unique_ptr<ZZDataProvider> provider =
          entry->newDataProviderWithPassword("secret", &error);
      ASSERT_TRUE(provider);
      EXPECT_FALSE(provider->isDirect());
      kx::Bytes all(expected.size());
      EXPECT_EQ(provider->getBytes(all.data(), all.size()), expected.size());
      EXPECT_EQ(all, expected);

      // A wrong or missing password is found when the stream is made.
      for (const char* wrong : {"Secret", ""}) {
        EXPECT_FALSE(entry->newStreamWithPassword(wrong, &error));
        EXPECT_EQ(error.code(), ZZWrongPassword);
        EXPECT_FALSE(entry->newDataWithPassword(wrong, &error));
        EXPECT_EQ(error.code(), ZZWrongPassword);
      }
      EXPECT_FALSE(entry->newDataWithError(&error));
      EXPECT_EQ(error.code(), ZZWrongPassword);
    }
  }
}

TEST(ZZOldArchiveEntryTest, TraditionalEncryptionIsCheckedByCRC) {
  std::shared_ptr<ZZArchive> archive = openFixture("trad.zip");
  ASSERT_TRUE(archive);
  // Flip one byte of the encrypted data of each entry (after the 12-byte header).
  kx::Bytes bytes = archive->contents().copy();
  for (const auto& e : archive->entries()) {
    const auto& old = static_cast<const ZZOldArchiveEntry&>(*e);
    const std::size_t local = old.centralFileHeader().relativeOffsetOfLocalHeader();
    const std::size_t data = local + 30 + peek16(bytes, local + 26) + peek16(bytes, local + 28);
    bytes[data + 12 + 5] ^= 0x20;
  }
  archive = openBytes(bytes);
  for (const auto& e : archive->entries()) {
    kx::Error error;
    EXPECT_FALSE(e->newDataWithPassword("secret", &error)) << e->fileName();
    EXPECT_EQ(error.code(), ZZDamagedDataErrorCode) << e->fileName();
  }
}

TEST(ZZOldArchiveEntryTest, TraditionalEncryptionPythonCanRead) {
  if (!havePython()) GTEST_SKIP() << "python3 is not installed";
  // Encrypt an entry by hand with the engine; python3's zipfile decrypts it.
  const kx::Bytes plain = text(50);
  RawEntry e = RawEntry::make("secret.txt", plain, true);
  kx::Bytes header = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, static_cast<std::uint8_t>(e.crc >> 24)};
  kx::Bytes body = header;
  append(body, e.stored);
  ZZStandardCryptoEngine engine;
  const std::string password = "pa55word";
  engine.initKeys(reinterpret_cast<const std::uint8_t*>(password.data()), password.size());
  engine.encrypt(body.data(), body.size());
  e.stored = body;
  e.compressedSize = static_cast<std::uint32_t>(body.size());
  e.flags = 1;
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/enc.zip";
  const RawArchive raw = buildArchive({e});
  writeFile(path, raw.bytes);
  std::optional<std::string> out = runPython(
      "import sys,zipfile;sys.stdout.write(zipfile.ZipFile(sys.argv[1]).read('secret.txt', "
      "pwd=b'pa55word').decode())",
      {path});
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(bytesOf(*out), plain);
  kx::Error error;
  EXPECT_EQ(openBytes(raw.bytes)->entries()[0]->newDataWithPassword(password, &error), plain);
}

// --- WinZip AES ------------------------------------------------------------

TEST(ZZOldArchiveEntryTest, AESEntriesFrom7Zip) {
  const kx::Bytes hello = readFile(fixturePath("hello.txt"));
  const kx::Bytes raw = readFile(fixturePath("raw.bin"));
  struct Case {
    const char* archive;
    const char* entry;
    bool compressed;
  };
  const Case cases[] = {
      {"aes256.zip", "hello.txt", true},
      {"aes256.zip", "raw.bin", false},
      {"aes192.zip", "hello.txt", true},
      {"aes128-stored.zip", "raw.bin", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.archive) + ":" + c.entry);
    std::shared_ptr<ZZArchive> archive = openFixture(c.archive);
    ASSERT_TRUE(archive);
    const ZZArchiveEntry* entry = entryNamed(*archive, c.entry);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->encrypted());
    EXPECT_EQ(entry->compressed(), c.compressed);
    EXPECT_EQ(static_cast<const ZZOldArchiveEntry*>(entry)->encryptionMode(),
              ZZOldArchiveEntry::kWinZipAES);
    const kx::Bytes& expected = std::string(c.entry) == "raw.bin" ? raw : hello;
    kx::Error error;
    EXPECT_EQ(entry->newDataWithPassword("secret", &error), expected) << error.code();
    std::unique_ptr<ZZInputStream> stream = entry->newStreamWithPassword("secret", &error);
    ASSERT_TRUE(stream);
    EXPECT_EQ(drain(*stream, 3, &error), expected);
    EXPECT_FALSE(entry->newDataWithPassword("secreT", &error));
    EXPECT_EQ(error.code(), ZZWrongPassword);
  }
}

TEST(ZZOldArchiveEntryTest, AESDataIsAuthenticated) {
  std::shared_ptr<ZZArchive> archive = openFixture("aes256.zip");
  ASSERT_TRUE(archive);
  const auto& entry = static_cast<const ZZOldArchiveEntry&>(*entryNamed(*archive, "raw.bin"));
  const std::size_t local = entry.centralFileHeader().relativeOffsetOfLocalHeader();
  kx::Bytes bytes = archive->contents().copy();
  const std::size_t data = local + 30 + peek16(bytes, local + 26) + peek16(bytes, local + 28);
  // Salt (16 bytes for strength 3) and verifier (2) come first.
  for (std::size_t at : {data + 18 + 100, data + entry.compressedSize() - 1}) {
    kx::Bytes bent = bytes;
    bent[at] ^= 1;
    std::shared_ptr<ZZArchive> damaged = openBytes(bent);
    kx::Error error;
    EXPECT_FALSE(entryNamed(*damaged, "raw.bin")->newDataWithPassword("secret", &error));
    EXPECT_EQ(error.code(), ZZDamagedDataErrorCode);
    EXPECT_FALSE(entryNamed(*damaged, "raw.bin")->newStreamWithPassword("secret", &error));
  }
}

TEST(ZZOldArchiveEntryTest, AE1EntriesAreCheckedByCRC) {
  // 7-Zip writes AE-2 (no CRC). Turned into AE-1 with the real CRC the entry
  // reads; with a wrong CRC it is refused.
  const kx::Bytes raw = readFile(fixturePath("raw.bin"));
  std::shared_ptr<ZZArchive> archive = openFixture("aes128-stored.zip");
  ASSERT_TRUE(archive);
  const auto& entry = static_cast<const ZZOldArchiveEntry&>(*archive->entries()[0]);
  const kx::Bytes bytes = archive->contents().copy();
  const std::size_t central =
      static_cast<std::size_t>(entry.centralFileHeader().bytes() - archive->contents().data());
  const std::size_t local = entry.centralFileHeader().relativeOffsetOfLocalHeader();
  auto patch = [&](std::uint32_t crc) {
    kx::Bytes b = bytes;
    for (std::size_t start : {central, local}) {
      const bool isCentral = start == central;
      const std::size_t nameLength = peek16(b, start + (isCentral ? 28 : 26));
      const std::size_t extraLength = peek16(b, start + (isCentral ? 30 : 28));
      const std::size_t extra = start + (isCentral ? 46 : 30) + nameLength;
      for (std::size_t p = extra; p + 4 <= extra + extraLength;) {
        if (peek16(b, p) == 0x9901) poke16(b, p + 4, 1);
        p += 4 + peek16(b, p + 2);
      }
      poke32(b, start + (isCentral ? 16 : 14), crc);
    }
    return b;
  };
  kx::Error error;
  EXPECT_EQ(openBytes(patch(crcOf(raw)))->entries()[0]->newDataWithPassword("secret", &error), raw);
  EXPECT_FALSE(
      openBytes(patch(crcOf(raw) ^ 1))->entries()[0]->newDataWithPassword("secret", &error));
  EXPECT_EQ(error.code(), ZZDamagedDataErrorCode);
}
