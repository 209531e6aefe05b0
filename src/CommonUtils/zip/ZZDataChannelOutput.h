// ZZDataChannelOutput collects bytes in a buffer of its own and hands them to
// its ZZDataChannel when it is closed.
//
// Thread safety: one thread at a time; the channel must outlive the output.
#ifndef ZN_COMMONUTILS_ZIP_ZZDATACHANNELOUTPUT_H_
#define ZN_COMMONUTILS_ZIP_ZZDATACHANNELOUTPUT_H_

#include "CommonUtils/zip/ZZChannelOutput.h"
#include "platform/Value.h"

class ZZDataChannel;

class ZZDataChannelOutput : public ZZChannelOutput {
 public:
  explicit ZZDataChannelOutput(ZZDataChannel& channel);

  std::uint64_t offset() const override { return allData_.size(); }
  [[nodiscard]] bool writeData(const std::uint8_t* bytes, std::size_t length,
                               kx::Error* error) override;
  [[nodiscard]] bool close(kx::Error* error) override;

 private:
  ZZDataChannel* channel_;
  kx::Bytes allData_;
  bool closed_ = false;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZDATACHANNELOUTPUT_H_
