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

  // Only the box's width marks it as empty: a box whose width is 0 or less
  // gives the zero size, while a box of height 0 is scaled against (so a
  // fit into it is the zero size and a fill keeps the width's scale).

  // The size scaled down until both sides fit inside the box (unchanged when
  // it already fits).
  static KXSize sizeFit(KXSize size, KXSize box);
  // The size scaled down until one side fits the box (unchanged when either
  // side already fits).
  static KXSize sizeFill(KXSize size, KXSize box);
  // Both sides divided by the scale and rounded up; the zero size for a
  // scale of 0 or less.
  static KXSize scaleSize(KXSize size, double scale);
};

#endif  // ZN_COMMONUTILS_KXCOMMONUTIL_H_
