// KXWebEntryNames is what the web entries of one entity need of the
// field-name table (KXNameDict's reversed table), resolved once per entity:
// for each of the entity's attributes, in the entity's order, its name in the
// service's "entry", "meta" and "entryProps" namespaces, with the name's key
// hash, and the same for the two values an entry adds after its attributes,
// "shared" and "shareUrl". Entries are then built from a row's columns
// without renaming a key by lookup (KXFileMetaWebUtil).
//
// Only attributes that have a name in one of the three namespaces are kept.
// An entity that is not a kind of FileMeta has no fields, and neither has
// the null entity (an entry without an object).
//
// Thread safety: the names of an entity are made once, under a kx::Mutex,
// and never change afterwards; forEntity may be called from any thread and
// what it answers read from any thread.
#ifndef ZN_DATA_DATAUTIL_KXWEBENTRYNAMES_H_
#define ZN_DATA_DATAUTIL_KXWEBENTRYNAMES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class KXEntityDescription;

class KXWebEntryNames {
 public:
  // A service field name; `present` false where the namespace has none.
  struct Name {
    bool present = false;
    std::string text;
    std::uint32_t hash = 0;
  };
  struct Field {
    int column = -1;  // in the entity's table (KXEntityDescription::columns)
    Name entry, meta, props;
  };

  // The names of the entity (nullptr: an entry without an object); nullptr
  // when the table lacks the "entry" or "meta" namespace (names.dat could
  // not be read), where no entry can be built.
  static const KXWebEntryNames* forEntity(const KXEntityDescription* entity);

  const std::vector<Field>& fields() const { return fields_; }
  // "shared" and "shareUrl" (column -1), added after the attributes.
  const Field& shared() const { return shared_; }
  const Field& shareUrl() const { return shareUrl_; }
  // The entity's kind, and the columns the entry reads beyond the names
  // (-1 where the entity has none).
  bool isFile() const { return isFile_; }
  bool isNote() const { return isNote_; }
  bool isNotebook() const { return isNotebook_; }
  bool isNormalFile() const { return isNormalFile_; }
  int fileIdColumn() const { return fileIdColumn_; }
  int parentIdColumn() const { return parentIdColumn_; }
  int namePathColumn() const { return namePathColumn_; }
  // How many names each namespace can give an entry, at most.
  std::size_t entryNames() const { return entryNames_; }
  std::size_t metaNames() const { return metaNames_; }
  std::size_t propsNames() const { return propsNames_; }

 private:
  KXWebEntryNames() = default;

  std::vector<Field> fields_;
  Field shared_, shareUrl_;
  std::size_t entryNames_ = 0, metaNames_ = 0, propsNames_ = 0;
  bool isFile_ = false, isNote_ = false, isNotebook_ = false, isNormalFile_ = false;
  int fileIdColumn_ = -1, parentIdColumn_ = -1, namePathColumn_ = -1;
};

#endif  // ZN_DATA_DATAUTIL_KXWEBENTRYNAMES_H_
