#include "CommonUtils/zip/ZZCentralFileHeader.h"

bool ZZCentralFileHeader::fitsIn(const std::uint8_t* p, std::size_t available) {
  if (available < kFixedSize) return false;
  ZZCentralFileHeader header(p);
  return header.totalLength() <= available;
}
