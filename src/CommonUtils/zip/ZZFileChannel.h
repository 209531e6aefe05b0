// ZZFileChannel keeps an archive in a file. newInput() maps the file into
// memory read-only (nothing is copied); the mapping lives as long as any
// ZZBytes taken from it. A replacement is written to a temporary file beside
// the archive and renamed over it (then the folder is synced), so readers of
// the file, and mappings made before, see the old archive or the new one,
// never a mix. Writes go through kx::FileSystem::Default(), so that tests can
// inject faults.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZFILECHANNEL_H_
#define ZN_COMMONUTILS_ZIP_ZZFILECHANNEL_H_

#include "CommonUtils/zip/ZZChannel.h"

class ZZFileChannel : public ZZChannel {
 public:
  explicit ZZFileChannel(std::string path);

  std::string path() const override { return path_; }
  std::unique_ptr<ZZChannel> temporaryChannel(kx::Error* error) override;
  [[nodiscard]] bool replaceWithChannel(ZZChannel& channel, kx::Error* error) override;
  void removeAsTemporary() override;
  std::optional<ZZBytes> newInput(kx::Error* error) override;
  std::unique_ptr<ZZChannelOutput> newOutput(kx::Error* error) override;

 private:
  ZZFileChannel(std::string path, bool temporary);

  std::string path_;
  bool temporary_ = false;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZFILECHANNEL_H_
