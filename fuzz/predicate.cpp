// Fuzz target for the store's condition parser (KXPredicate): any text is
// parsed with a fixed set of arguments; what parses is checked against two
// entities, turned into SQL, printed, and evaluated on an object. Nothing
// may crash, hang or leak, whatever the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPredicate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const kx::Array kArguments = {
      kx::Value("12"),
      kx::Value(1),
      kx::Value(true),
      kx::Value(),
      kx::Value(2.5),
      kx::Value::array({"0", "-2", kx::Value(3)}),
      kx::Value(".md"),
      kx::Value::array({}),
      kx::Value("kxstore://FileMeta/1"),
      kx::Value::data("ab", 2),
  };
  // An object of a context without a store: evaluation reads its values
  // and counts its (empty) relationships.
  static KXManagedObjectPtr note = [] {
    static auto context =
        KXManagedObjectContext::create(nullptr, KXManagedObjectContext::Role::Writer);
    KXManagedObjectPtr n = context->insertNewObject("Note");
    n->setValue("title", kx::Value("a.md"));
    n->setValue("tags", kx::Value("12,123"));
    n->setValue("localModified", kx::Value(2));
    return n;
  }();

  std::string text(reinterpret_cast<const char*>(data), size);
  kx::Error error;
  KXPredicatePtr predicate = KXPredicate::withFormat(text, kArguments, &error);
  if (!predicate) return 0;
  const KXModel& model = KXModel::shared();
  for (const char* name : {"FileMeta", "Resource"}) {
    const KXEntityDescription* entity = model.entity(name);
    std::string sql;
    std::vector<kx::Value> bindings;
    kx::Error e;
    // A predicate an entity refuses is a finding only if it crashes.
    kx::ignoreError(predicate->validate(*entity, &e));
    kx::ignoreError(predicate->appendSQL(*entity, "t", &sql, &bindings, &e));
  }
  (void)predicate->predicateFormat();
  kx::Error e;
  (void)predicate->evaluate(*note, &e);
  return 0;
}
