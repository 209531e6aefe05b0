// Opens arbitrary bytes as a zip archive, from memory and from a file, and
// reads every entry every way (whole data, a stream in small pieces, a
// provider), with and without a password, checks the headers and joins the
// names under a folder. Then it rewrites both archives: the input's own
// bytes choose, entry by entry, to keep it, drop it or replace it with a new
// stored or deflated entry of the same name, and a stored, a deflated and a
// folder entry are added. A rewrite may fail with an error; when it works,
// the result must list the planned entries in order, every kept entry must
// read the bytes it read before, and every new one the bytes it was given.
// Any crash, sanitizer report, unbounded allocation or broken round trip is
// a bug.
//
// The seeds in corpus/zip are small. Damage that only shows in large
// archives (a declared size far beyond what the data could give, say) needs
// inputs of several megabytes: run with large seeds and a larger -max_len,
// e.g. `python3 fuzz/zip_large_seeds.py SEEDS` and then
// `fuzz_zip -max_len=5000000 -rss_limit_mb=1024 CORPUS fuzz/corpus/zip SEEDS`.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "CommonUtils/zip/ZZArchive.h"
#include "CommonUtils/zip/ZZSafePath.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "zip round trip broken: %s\n", what);
  std::abort();
}

void readEntry(const ZZArchiveEntry& entry, const std::string& password) {
  kx::Error error;
  (void)entry.newDataWithPassword(password, &error);
  if (std::unique_ptr<ZZInputStream> stream = entry.newStreamWithPassword(password, &error)) {
    stream->open();
    std::uint8_t buffer[97];
    std::size_t total = 0;
    ssize_t n;
    while ((n = stream->read(buffer, sizeof buffer)) > 0 && total < (1u << 24))
      total += static_cast<std::size_t>(n);
    stream->close();
  }
  if (std::unique_ptr<ZZDataProvider> provider =
          entry.newDataProviderWithPassword(password, &error)) {
    std::uint8_t buffer[300];
    provider->getBytes(buffer, sizeof buffer);
    provider->skipForward(1000);
    provider->rewind();
    provider->getBytes(buffer, sizeof buffer);
  }
}

// A file for the archive, in a folder of this process's own that goes when
// the process exits.
std::string gFolder;

void removeFolder() {
  unlink((gFolder + "/input.zip").c_str());
  rmdir(gFolder.c_str());
}

const std::string& archivePath() {
  static const std::string path = [] {
    const char* base = getenv("TMPDIR");
    std::string folder = std::string(base && *base ? base : "/tmp") + "/fuzz_zip.XXXXXX";
    if (!mkdtemp(folder.data())) std::abort();
    gFolder = folder;
    std::atexit(removeFolder);
    return folder + "/input.zip";
  }();
  return path;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

// One planned entry of the rewritten archive and what it must read back.
struct Planned {
  std::shared_ptr<ZZArchiveEntry> entry;
  kx::Bytes name;                 // raw name bytes
  std::optional<kx::Bytes> data;  // nullopt: not checked
  std::string password;
};

kx::Bytes bytesOf(const std::string& s) { return kx::Bytes(s.begin(), s.end()); }

std::shared_ptr<ZZArchiveEntry> newEntry(const std::string& name, bool compress,
                                         const kx::Bytes& data, bool asStream) {
  if (asStream) {
    return ZZArchiveEntry::archiveEntryWithFileName(
        name, compress, ZZStreamBlock([data](ZZOutputStream& stream, kx::Error*) {
          return data.empty() ||
                 stream.write(data.data(), data.size()) == static_cast<ssize_t>(data.size());
        }));
  }
  return ZZArchiveEntry::archiveEntryWithFileName(
      name, compress, ZZDataBlock([data](kx::Error*) { return std::optional(data); }));
}

void rewrite(ZZArchive& archive, const std::uint8_t* data, std::size_t size) {
  const std::vector<std::shared_ptr<ZZArchiveEntry>> old = archive.entries();
  std::vector<Planned> plan;
  for (std::size_t i = 0; i < old.size(); ++i) {
    const std::uint8_t choice = size ? data[(i * 131 + 17) % size] : 0;
    const ZZArchiveEntry& entry = *old[i];
    switch (choice % 4) {
      case 0:
      case 1: {  // keep
        const std::string password = entry.encrypted() ? "secret" : "";
        kx::Error error;
        plan.push_back(
            {old[i], entry.rawFileName(), entry.newDataWithPassword(password, &error), password});
        break;
      }
      case 2:  // drop
        break;
      default: {  // replace: same name, new bytes
        const std::string name = entry.fileName();
        const kx::Bytes bytes = bytesOf("replaced " + std::to_string(i));
        plan.push_back({newEntry(name, (choice & 4) != 0, bytes, (choice & 8) != 0), bytesOf(name),
                        bytes, ""});
        break;
      }
    }
  }
  const kx::Bytes stored(size % 300, 's');
  const kx::Bytes deflated(size % 5000, 'd');
  plan.push_back(
      {newEntry("added-stored", false, stored, false), bytesOf("added-stored"), stored, ""});
  plan.push_back(
      {newEntry("added-deflated", true, deflated, true), bytesOf("added-deflated"), deflated, ""});
  plan.push_back({ZZArchiveEntry::archiveEntryWithDirectoryName("added-folder/"),
                  bytesOf("added-folder/"), kx::Bytes(), ""});

  std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
  for (const Planned& p : plan) entries.push_back(p.entry);
  kx::Error error;
  if (!archive.updateEntries(entries, &error)) return;

  const auto& now = archive.entries();
  check(now.size() == plan.size(), "entry count");
  for (std::size_t i = 0; i < plan.size(); ++i) {
    check(now[i]->rawFileName() == plan[i].name, "name");
    if (!plan[i].data) continue;
    std::optional<kx::Bytes> read = now[i]->newDataWithPassword(plan[i].password, &error);
    check(read.has_value(), "entry no longer reads");
    check(*read == *plan[i].data, "entry reads other bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kx::Error error;
  std::shared_ptr<ZZArchive> archive =
      ZZArchive::archiveWithData(kx::Bytes(data, data + size), &error);
  const std::int64_t memoryCode = archive ? -1 : error.code();

  // The same bytes in a file must open the same way (an empty file is not
  // "missing", so it fails otherwise than empty data).
  const std::string& path = archivePath();
  writeFile(path, data, size);
  std::shared_ptr<ZZArchive> fileArchive = ZZArchive::archiveWithPath(path, kx::Value(), &error);
  if (size > 0) {
    check(static_cast<bool>(fileArchive) == static_cast<bool>(archive), "file and memory differ");
    if (!fileArchive) check(error.code() == memoryCode, "file and memory fail otherwise");
  }
  if (!archive) return 0;
  check(fileArchive && fileArchive->entries().size() == archive->entries().size(),
        "file and memory list other entries");

  for (const auto& entry : archive->entries()) {
    (void)entry->fileName();
    (void)entry->fileMode();
    (void)entry->lastModified();
    (void)entry->check(&error);
    (void)ZZSafePath::join("/unpack", entry->fileName(), &error);
    readEntry(*entry, std::string());
    if (entry->encrypted()) readEntry(*entry, "secret");
  }
  rewrite(*archive, data, size);
  rewrite(*fileArchive, data, size);
  return 0;
}
