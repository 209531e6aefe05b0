// KXStatusItemPort is the program's item in the desktop's status area: an
// icon with a menu.
//
// Thread safety: main thread only; implementations check it.
#ifndef ZN_UI_KXSTATUSITEMPORT_H_
#define ZN_UI_KXSTATUSITEMPORT_H_

#include <functional>
#include <string>
#include <vector>

class KXStatusItemPort {
 public:
  struct MenuItem {
    std::string title;
    std::function<void()> action;
  };
  virtual ~KXStatusItemPort() = default;

  // Shows the item with the image named `imageName` (16 x 16) and `menu`;
  // false when the desktop has no place for it.
  virtual bool create(const std::string& imageName, std::vector<MenuItem> menu) = 0;
  virtual void remove() = 0;
};

#endif  // ZN_UI_KXSTATUSITEMPORT_H_
