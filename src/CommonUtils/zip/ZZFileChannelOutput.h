// ZZFileChannelOutput writes a new archive into a file through a
// kx::WritableFile; close() syncs the file to disk before closing it, so a
// rename that follows publishes complete bytes.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZFILECHANNELOUTPUT_H_
#define ZN_COMMONUTILS_ZIP_ZZFILECHANNELOUTPUT_H_

#include <memory>

#include "CommonUtils/zip/ZZChannelOutput.h"
#include "platform/FileSystem.h"

class ZZFileChannelOutput : public ZZChannelOutput {
 public:
  explicit ZZFileChannelOutput(std::unique_ptr<kx::WritableFile> file);

  std::uint64_t offset() const override { return offset_; }
  [[nodiscard]] bool writeData(const std::uint8_t* bytes, std::size_t length,
                               kx::Error* error) override;
  [[nodiscard]] bool close(kx::Error* error) override;

 private:
  std::unique_ptr<kx::WritableFile> file_;
  std::uint64_t offset_ = 0;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZFILECHANNELOUTPUT_H_
