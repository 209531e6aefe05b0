// Opens arbitrary bytes as a zip archive and reads every entry every way
// (whole data, a stream in small pieces, a provider), with and without a
// password, checks the headers, joins the names under a folder, and copies
// the archive into a new one in memory. Any crash, sanitizer report or
// unbounded allocation is a bug: malformed archives must fail with errors.
#include <cstddef>
#include <cstdint>

#include "CommonUtils/zip/ZZArchive.h"
#include "CommonUtils/zip/ZZSafePath.h"

namespace {

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
  if (std::unique_ptr<ZZDataProvider> provider = entry.newDataProviderWithPassword(password, &error)) {
    std::uint8_t buffer[300];
    provider->getBytes(buffer, sizeof buffer);
    provider->skipForward(1000);
    provider->rewind();
    provider->getBytes(buffer, sizeof buffer);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kx::Error error;
  std::shared_ptr<ZZArchive> archive =
      ZZArchive::archiveWithData(kx::Bytes(data, data + size), &error);
  if (!archive) return 0;
  for (const auto& entry : archive->entries()) {
    (void)entry->fileName();
    (void)entry->fileMode();
    (void)entry->lastModified();
    (void)entry->check(&error);
    (void)ZZSafePath::join("/unpack", entry->fileName(), &error);
    readEntry(*entry, std::string());
    if (entry->encrypted()) readEntry(*entry, "secret");
  }
  // Rewrite: keep the first entry in place, copy the others, add one.
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries = archive->entries();
  entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
      "added", true, ZZDataBlock([](kx::Error*) { return std::optional(kx::Bytes(10, 'a')); })));
  if (archive->updateEntries(entries, &error)) {
    for (const auto& entry : archive->entries()) (void)entry->newDataWithError(&error);
  }
  return 0;
}
