// ZZDataChannel keeps an archive in memory. Its bytes are shared and never
// changed in place: a replacement installs a new buffer, so entries read
// before keep the bytes they point into.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZDATACHANNEL_H_
#define ZN_COMMONUTILS_ZIP_ZZDATACHANNEL_H_

#include "CommonUtils/zip/ZZChannel.h"
#include "platform/Value.h"

class ZZDataChannel : public ZZChannel {
 public:
  explicit ZZDataChannel(kx::Bytes data = {});

  std::string path() const override { return std::string(); }
  std::unique_ptr<ZZChannel> temporaryChannel(kx::Error* error) override;
  [[nodiscard]] bool replaceWithChannel(ZZChannel& channel, kx::Error* error) override;
  void removeAsTemporary() override;
  std::optional<ZZBytes> newInput(kx::Error* error) override;
  std::unique_ptr<ZZChannelOutput> newOutput(kx::Error* error) override;

  // Installs new contents (the output does this when it closes).
  void setData(ZZBytes data) { allData_ = std::move(data); }
  const ZZBytes& allData() const { return allData_; }

 private:
  ZZBytes allData_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZDATACHANNEL_H_
