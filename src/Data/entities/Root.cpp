#include "Data/entities/Root.h"

#include "CommonUtils/KXLogger.h"

void Root::awakeFromStore(bool inserted) {
  const KXEntityDescription& e = entity();
  auto fix = [&](const char* key, kx::Value value) {
    const KXAttributeDescription* a = e.attribute(key);
    if (!a) return;
    // An inserted root writes the fixed values to its row; a loaded one
    // takes them in memory, whatever an older row holds.
    if (inserted || primitiveValue(*a) != value) setPrimitiveValue(*a, std::move(value), inserted);
  };
  fix("parentId", kx::Value("0"));
  fix("encrypted", kx::Value(false));
  fix("del", kx::Value(false));
  fix("remoteRemoved", kx::Value(false));
}

bool Root::shouldSetAttribute(const KXAttributeDescription& attribute, const kx::Value& value) {
  (void)value;
  const std::string& name = attribute.name();
  if (name == "parentId") {
    KXLOG("Attempt to modify root's parentId");
    return false;
  }
  if (name == "del" || name == "deleted") {
    KXLOG("Attempt to modify root's deleted");
    return false;
  }
  if (name == "remoteRemoved") {
    KXLOG("Attempt to modify root's remoteRemoved");
    return false;
  }
  if (name == "encrypted") {
    KXLOG("Attempt to modify root's encrypted");
    return false;
  }
  return true;
}
