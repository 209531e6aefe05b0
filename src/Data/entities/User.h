// User is the signed-in user's account meta, one row per store, with the fields the service sends
// (most of them text, as the service gives them) and the raw self-information record (selfInfo).
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_USER_H_
#define ZN_DATA_USER_H_

#include <cstdint>
#include <string>

#include "Data/store/KXManagedObject.h"

class User : public KXManagedObject {
 public:
  User() = default;

  std::string userId() const;
  std::string nickname() const;
  std::string password() const;
  std::string defaultFolder() const;
  std::int64_t is_vip() const;
  bool localModified() const;
};

#endif  // ZN_DATA_USER_H_
