#include "CommonUtils/KXCommonUtil.h"

#include <algorithm>
#include <cmath>

KXSize KXCommonUtil::sizeFit(KXSize size, KXSize box) {
  if (!(box.width > 0)) return {};
  if (box.width >= size.width && box.height >= size.height) return size;
  return scaleSize(size, std::max(size.width / box.width, size.height / box.height));
}

KXSize KXCommonUtil::sizeFill(KXSize size, KXSize box) {
  if (!(box.width > 0)) return {};
  if (box.width >= size.width || box.height >= size.height) return size;
  return scaleSize(size, std::min(size.width / box.width, size.height / box.height));
}

KXSize KXCommonUtil::scaleSize(KXSize size, double scale) {
  if (!(scale > 0)) return {};
  return {std::ceil(size.width / scale), std::ceil(size.height / scale)};
}
