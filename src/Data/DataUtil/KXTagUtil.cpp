#include "Data/DataUtil/KXTagUtil.h"

#include "Data/entities/Tag.h"

kx::Dictionary KXTagUtil::dictOfTag(const KXManagedObjectPtr& object) {
  if (!object || !KXCast<Tag>(object)) return {};
  return object->attributeValues();
}
