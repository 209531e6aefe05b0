// KXCommonUtil scales sizes for previews while keeping their aspect ratio.
//
// Thread safety: pure functions.
#ifndef ZN_COMMONUTILS_KXCOMMONUTIL_H_
#define ZN_COMMONUTILS_KXCOMMONUTIL_H_

struct KXSize {
  double width = 0;
  double height = 0;

  bool operator==(const KXSize&) const = default;
};

class KXCommonUtil {
 public:
  KXCommonUtil() = delete;

  // The size scaled down until both sides fit inside the box (unchanged when
  // it already fits); the zero size for a box with a side of 0 or less.
  static KXSize sizeFit(KXSize size, KXSize box);
  // The size scaled down until one side fits the box (unchanged when either
  // side already fits); the zero size for a box with a side of 0 or less.
  static KXSize sizeFill(KXSize size, KXSize box);
  // Both sides divided by the scale and rounded up; the zero size for a
  // scale of 0 or less.
  static KXSize scaleSize(KXSize size, double scale);
};

#endif  // ZN_COMMONUTILS_KXCOMMONUTIL_H_
