// UserMeta is the part of the service's user meta reply that a sync cycle
// reads: the root version ("rv"), the tag-list version ("tv") and the time the
// user's shares last changed ("MYSHARE_UPDATE_TIME", truncated toward zero).
// Each is 0 when its key is absent.
//
// Thread safety: a plain value; not shared between threads while changed.
#ifndef ZN_SYNC_USERMETA_H_
#define ZN_SYNC_USERMETA_H_

#include <cstdint>

#include "platform/Value.h"

class UserMeta {
 public:
  UserMeta() = default;
  explicit UserMeta(const kx::Value& dict);

  std::int64_t rootVersion() const { return rootVersion_; }
  void setRootVersion(std::int64_t value) { rootVersion_ = value; }
  std::int64_t tagVersion() const { return tagVersion_; }
  void setTagVersion(std::int64_t value) { tagVersion_ = value; }
  std::int64_t myShareUpdateTime() const { return myShareUpdateTime_; }
  void setMyShareUpdateTime(std::int64_t value) { myShareUpdateTime_ = value; }

 private:
  std::int64_t rootVersion_ = 0;
  std::int64_t tagVersion_ = 0;
  std::int64_t myShareUpdateTime_ = 0;
};

#endif  // ZN_SYNC_USERMETA_H_
