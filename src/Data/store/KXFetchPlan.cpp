#include "Data/store/KXFetchPlan.h"

#include <unordered_map>
#include <utility>

#include "Data/store/KXModel.h"
#include "Data/store/KXStoreSchema.h"
#include "platform/Mutex.h"

namespace {

struct PlanTable {
  kx::Mutex mutex;
  // By entity, condition, shape and limit; a null plan records a condition
  // that no plan can hold, so that it is not parsed open again.
  std::unordered_map<std::string, std::shared_ptr<const KXFetchPlan>> plans GUARDED_BY(mutex);
};

PlanTable& Table() {
  static PlanTable* table = new PlanTable();
  return *table;
}

std::string TableKey(std::string_view entityName, std::string_view format, KXFetchPlan::Shape shape,
                     std::int64_t limit) {
  std::string key;
  key.reserve(entityName.size() + format.size() + 24);
  key += entityName;
  key += '\x1f';
  key += format;
  key += '\x1f';
  key += shape == KXFetchPlan::Shape::Rows ? 'R' : 'C';
  key += std::to_string(limit);
  return key;
}

}  // namespace

std::shared_ptr<const KXFetchPlan> KXFetchPlan::forCondition(std::string_view entityName,
                                                             std::string_view format, Shape shape,
                                                             std::int64_t limit) {
  PlanTable& table = Table();
  std::string key = TableKey(entityName, format, shape, limit);
  {
    kx::MutexLock lock(table.mutex);
    auto found = table.plans.find(key);
    if (found != table.plans.end()) return found->second;
    if (table.plans.size() >= kMaxPlans) return nullptr;
  }

  std::shared_ptr<const KXFetchPlan> plan;
  if (const KXEntityDescription* entity = KXModel::shared().entity(entityName)) {
    std::string condition;
    std::vector<KXPredicate::OpenBinding> bindings;
    std::size_t placeholders = 0;
    if (format.empty() ||
        KXPredicate::openSQL(format, *entity, "t", &condition, &bindings, &placeholders)) {
      std::string sql = KXStoreSchema::fetchSQL(
          *entity, condition,
          shape == Shape::Rows ? KXStoreSchema::FetchShape::Rows : KXStoreSchema::FetchShape::Count,
          {}, false, limit, 0);
      // Connections cache statements by SQL text and by keys of their own
      // makers; "\x1e" starts neither.
      plan = std::make_shared<const KXFetchPlan>("\x1e" + key, std::move(sql), std::move(bindings),
                                                 placeholders);
    }
  }

  kx::MutexLock lock(table.mutex);
  auto [slot, added] = table.plans.try_emplace(std::move(key));
  if (added) slot->second = std::move(plan);  // else made meanwhile by another thread
  return slot->second;
}
