// KXTagUtil turns a Tag into the dictionary in which the tag sync and the
// web tag handler send tags: one entry per attribute of the Tag entity that
// has a value, under the attribute's name.
//
// Thread safety: reads the object's values under its own lock; may be called
// from any thread.
#ifndef ZN_DATA_DATAUTIL_KXTAGUTIL_H_
#define ZN_DATA_DATAUTIL_KXTAGUTIL_H_

#include "Data/store/KXManagedObject.h"
#include "platform/Value.h"

class KXTagUtil {
 public:
  KXTagUtil() = delete;

  // The tag's attributes that have a value; an empty dictionary for
  // anything that is not a Tag (nullptr included).
  static kx::Dictionary dictOfTag(const KXManagedObjectPtr& object);
};

#endif  // ZN_DATA_DATAUTIL_KXTAGUTIL_H_
