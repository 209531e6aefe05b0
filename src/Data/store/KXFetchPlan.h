// KXFetchPlan is a fetch by a condition text that callers write as fixed
// text and run again and again with other arguments ("fileId = %@"): the
// text is parsed and its SQL written once per entity, condition, result
// shape and limit, and every connection prepares the statement once
// (KXStoreConnection's cache, under the plan's short key). A use only
// converts and binds its arguments (KXPredicate::bindOpen); arguments a
// plan does not stand for, and conditions no plan can hold
// (KXPredicate::openSQL), take the general way of a fetch request, which
// answers the same rows. KXManagedObjectContext::fetch and ::count with a
// condition text use it.
//
// Thread safety: a plan is immutable once made and may be used from any
// thread. The plans of the process are kept in one table guarded by its
// kx::Mutex; the lock is held only to look a plan up or to add one, never
// while a plan is made or a statement runs.
#ifndef ZN_DATA_KXFETCHPLAN_H_
#define ZN_DATA_KXFETCHPLAN_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Data/store/KXPredicate.h"
#include "platform/Value.h"

class KXFetchPlan {
 public:
  enum class Shape { Rows, Count };

  // The most plans the process keeps; conditions met once the table is
  // full take the general way.
  static constexpr std::size_t kMaxPlans = 1024;

  // The plan of a fetch of `entityName` objects for which `format` holds
  // ("" for all), at most `limit` rows (0 for all); nullptr when no plan
  // can hold it (an unknown entity, a condition openSQL refuses, a full
  // table).
  static std::shared_ptr<const KXFetchPlan> forCondition(std::string_view entityName,
                                                         std::string_view format, Shape shape,
                                                         std::int64_t limit);

  // The key under which connections keep the prepared statement.
  const std::string& statementKey() const { return statementKey_; }
  const std::string& sql() const { return sql_; }
  // The values of the statement's "?" for one use; false when the
  // arguments need the general way.
  [[nodiscard]] bool bind(const kx::Array& arguments, std::vector<kx::Value>* values) const {
    return KXPredicate::bindOpen(bindings_, placeholders_, arguments, values);
  }

  KXFetchPlan(std::string statementKey, std::string sql,
              std::vector<KXPredicate::OpenBinding> bindings, std::size_t placeholders)
      : statementKey_(std::move(statementKey)),
        sql_(std::move(sql)),
        bindings_(std::move(bindings)),
        placeholders_(placeholders) {}

 private:
  const std::string statementKey_;
  const std::string sql_;
  const std::vector<KXPredicate::OpenBinding> bindings_;
  const std::size_t placeholders_;
};

#endif  // ZN_DATA_KXFETCHPLAN_H_
