#include "CommonUtils/zip/ZZDataChannel.h"

#include "CommonUtils/zip/ZZDataChannelOutput.h"

ZZDataChannel::ZZDataChannel(kx::Bytes data) : allData_(std::move(data)) {}

std::unique_ptr<ZZChannel> ZZDataChannel::temporaryChannel(kx::Error* error) {
  return std::make_unique<ZZDataChannel>();
}

bool ZZDataChannel::replaceWithChannel(ZZChannel& channel, kx::Error* error) {
  if (auto* data = dynamic_cast<ZZDataChannel*>(&channel)) {
    allData_ = data->allData_;
    return true;
  }
  std::optional<ZZBytes> input = channel.newInput(error);
  if (!input) return false;
  allData_ = *input;
  return true;
}

void ZZDataChannel::removeAsTemporary() { allData_ = ZZBytes(); }

std::optional<ZZBytes> ZZDataChannel::newInput(kx::Error* error) {
  if (allData_.empty()) {
    kx::SetError(error, kx::Error(kx::kCocoaErrorDomain, ZZFileReadNoSuchFileError,
                                  kx::Value(kx::Dictionary())));
    return std::nullopt;
  }
  return allData_;
}

std::unique_ptr<ZZChannelOutput> ZZDataChannel::newOutput(kx::Error* error) {
  return std::make_unique<ZZDataChannelOutput>(*this);
}
