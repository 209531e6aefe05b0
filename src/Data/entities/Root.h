// Root is the account's root folder, the one row with file id "ROOT". Its
// parent id is always "0" and it is never in the trash, removed or
// encrypted: those four values are fixed. They are written to its row when
// it is inserted and put back in memory whenever it is loaded, so that
// predicates over the store and the object's own answers agree; a caller's
// attempt to change them, or its deleted flag, is refused with a log line
// ("Attempt to modify root's parentId", ...). Every other attribute (its
// version above all, the service's base version of the tree) is kept as for
// any notebook.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_ROOT_H_
#define ZN_DATA_ROOT_H_

#include "Data/entities/Notebook.h"

class Root : public Notebook {
 public:
  Root() = default;

 protected:
  void awakeFromStore(bool inserted) override;
  bool shouldSetAttribute(const KXAttributeDescription& attribute, const kx::Value& value) override;
};

#endif  // ZN_DATA_ROOT_H_
