#include "CommonUtils/zip/ZZDataChannelOutput.h"

#include <cerrno>

#include "CommonUtils/zip/ZZDataChannel.h"

ZZDataChannelOutput::ZZDataChannelOutput(ZZDataChannel& channel) : channel_(&channel) {}

bool ZZDataChannelOutput::writeData(const std::uint8_t* bytes, std::size_t length,
                                    kx::Error* error) {
  if (closed_) {
    kx::SetError(error, kx::Error::posix(EBADF));
    return false;
  }
  allData_.insert(allData_.end(), bytes, bytes + length);
  return true;
}

bool ZZDataChannelOutput::close(kx::Error* error) {
  if (closed_) return true;
  closed_ = true;
  channel_->setData(ZZBytes(std::move(allData_)));
  allData_.clear();
  return true;
}
