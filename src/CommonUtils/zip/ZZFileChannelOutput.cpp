#include "CommonUtils/zip/ZZFileChannelOutput.h"

#include <cerrno>
#include <string_view>

ZZFileChannelOutput::ZZFileChannelOutput(std::unique_ptr<kx::WritableFile> file)
    : file_(std::move(file)) {}

bool ZZFileChannelOutput::writeData(const std::uint8_t* bytes, std::size_t length,
                                    kx::Error* error) {
  if (!file_) {
    kx::SetError(error, kx::Error::posix(EBADF));
    return false;
  }
  if (!file_->append(std::string_view(reinterpret_cast<const char*>(bytes), length), error))
    return false;
  offset_ += length;
  return true;
}

bool ZZFileChannelOutput::close(kx::Error* error) {
  if (!file_) return true;
  std::unique_ptr<kx::WritableFile> file = std::move(file_);
  if (!file->sync(error)) return false;
  return file->close(error);
}
