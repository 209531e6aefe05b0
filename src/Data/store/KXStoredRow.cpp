#include "Data/store/KXStoredRow.h"

#include "Data/store/KXModel.h"

const kx::Value& KXStoredRow::value(const KXAttributeDescription& attribute) const {
  const int column = attribute.column();
  if (!entity || column < 0 || static_cast<std::size_t>(column) >= values.size() ||
      entity->attributeForColumn(attribute.column()) != &attribute)
    return kx::Value::null();
  return values[static_cast<std::size_t>(column)];
}

const kx::Value& KXStoredRow::value(std::string_view attributeName) const {
  const KXAttributeDescription* attribute = entity ? entity->attribute(attributeName) : nullptr;
  return attribute ? value(*attribute) : kx::Value::null();
}

bool KXStoredRow::isKindOfEntity(std::string_view entityName) const {
  return entity && entity->isKindOfEntity(entityName);
}
