#include "CommonUtils/zip/ZZLocalFileHeader.h"

bool ZZLocalFileHeader::fitsIn(const std::uint8_t* p, std::size_t available) {
  if (available < kFixedSize) return false;
  return ZZLocalFileHeader(p).headerLength() <= available;
}
