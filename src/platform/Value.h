// kx::Value is the dynamic value that moves through the whole client: service
// answers, the web interface's requests, property lists, store rows and result
// dictionaries. It has the kinds Null, Bool, Int64, UInt64, Double, String
// (UTF-8), Data (bytes), Date (seconds since 1970), Array and Dictionary.
//
// Semantics follow the dynamic objects the rest of the code was designed
// around: a missing key and a present null are different (find() returns
// nullptr for a missing key, a pointer to a Null value for a present null);
// booleans are not integers, but numbers compare by value across kinds
// (Int64 1 == UInt64 1 == Double 1.0); conversions are lenient and never throw
// (a text that is not a number reads as 0).
//
// Copies are cheap: strings, data, arrays and dictionaries live in shared
// immutable storage and are copied on the first write through a mutable
// accessor (copy on write).
//
// Thread safety: a Value is a plain value. Distinct Value objects may be used
// from different threads at the same time, even when they share storage;
// one Value object must not be written while another thread reads it.
#ifndef ZN_PLATFORM_VALUE_H_
#define ZN_PLATFORM_VALUE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx {

class Value;
using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

// ValueArena hands out the storage of the strings and containers one parse
// builds (see Value(std::string_view, ValueArena&), Dictionary::adopt and the
// JSON decoder's collections) from blocks of a few KiB to 64 KiB, so that a
// parsed tree costs a few allocations instead of one or two per value. Each
// block counts the pieces it handed out that are still alive, and is freed
// when the arena has closed it and the last piece is given back. Pieces are
// given back from any thread, each on its own; one that outlives the rest of
// its tree keeps its whole block, so an arena serves one document at a time
// (close() after it) and not long-lived caches.
//
// Thread safety: an arena itself is used by one thread at a time; release()
// may be called from any thread.
class ValueArena {
 public:
  ValueArena() = default;
  ~ValueArena() { close(); }
  ValueArena(const ValueArena&) = delete;
  ValueArena& operator=(const ValueArena&) = delete;

  // Storage of `size` bytes, aligned for 8, or nullptr when `size` is too
  // big for a block (the caller then allocates on its own).
  void* allocate(std::size_t size);
  // Gives back a piece from allocate().
  static void release(void* piece) noexcept;
  // Closes the open block: the next piece comes from a new, small one. A
  // closed block is freed with its last piece.
  void close() noexcept;

 private:
  struct Block;
  // Closes the open block; the next one is larger.
  void retire() noexcept;
  Block* block_ = nullptr;
  char* next_ = nullptr;
  char* limit_ = nullptr;
  std::uint64_t handedOut_ = 0;  // pieces of the open block
  std::size_t nextBlockSize_ = 0;
};

// Dictionary with text keys that keeps insertion order and looks keys up fast.
// Setting an existing key replaces its value in place (the key keeps its
// position). Equality ignores order, as the platform's dictionaries do.
//
// Storage is one allocation: the entries in insertion order (places for
// `capacity()` of them, or exactly as many as an adopted dictionary holds,
// until a key is added), followed by an
// open-addressing table of `capacity()` slots, each holding a key's hash and
// the position of its entry. Capacities come from a fixed list of sizes; the
// capacity for n entries is the first size of at least floor(n * 1.33), so
// small tables may be full (3 entries in 3 slots). Lookups probe linearly
// from the key's hash modulo the capacity and stop at an empty slot or after
// `capacity()` probes. Removal takes the rest of the key's cluster out and
// puts it back (no tombstones), then closes the gap in the entries. Only
// adding a key grows the table; lookups never write.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = const Entry*;

  Dictionary() noexcept = default;
  Dictionary(std::initializer_list<Entry> entries);
  Dictionary(const Dictionary&);
  Dictionary(Dictionary&&) noexcept;
  Dictionary& operator=(const Dictionary&);
  Dictionary& operator=(Dictionary&&) noexcept;
  ~Dictionary();

  // Builds a dictionary from `count` keys with their hashKey() hashes and
  // values, taken in order (moved from); a repeated key keeps its first
  // position and its last value. Sized exactly for `count` entries; the
  // storage comes from `arena` when one is given (and the size fits).
  static Dictionary adopt(std::string* keys, const std::uint32_t* hashes, Value* values,
                          std::size_t count, ValueArena* arena = nullptr);

  // The hash every key is filed under.
  static std::uint32_t hashKey(std::string_view key);
  // The table size for `count` entries (0 for none).
  static std::size_t capacityFor(std::size_t count);

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  std::size_t capacity() const { return capacity_; }

  // nullptr when the key is missing.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // The same for a caller that holds the key's hash: `hash` must be
  // hashKey(key).
  const Value* find(std::string_view key, std::uint32_t hash) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // The value, or a shared Null when the key is missing.
  const Value& operator[](std::string_view key) const;

  void set(std::string key, Value value);
  // The same with the key's hash, which must be hashKey(key).
  void set(std::string key, std::uint32_t hash, Value value);
  // Returns false when the key was not there.
  bool remove(std::string_view key);
  void clear();
  void reserve(std::size_t n);

  const_iterator begin() const;
  const_iterator end() const;
  std::span<const Entry> entries() const;
  // Writes the hashKey() hash of each entry's key, in entry order, to `out`
  // (size() places), from the table: no key is hashed.
  void entryHashes(std::uint32_t* out) const;
  std::vector<std::string> keys() const;

  bool operator==(const Dictionary& other) const;

 private:
  struct Slot {
    std::uint32_t hash;
    std::uint32_t pos1;  // position + 1; 0 marks an empty slot
  };

  Slot* table() const;
  // Position of `key` in the entries, or -1.
  std::ptrdiff_t position(std::string_view key, std::uint32_t hash) const;
  // Files position `pos` under `hash` in the first empty slot from its home.
  void fileSlot(std::uint32_t hash, std::size_t pos);
  // Moves the entries into storage of `capacity` slots with places for
  // `room` entries (0: `capacity`), from `arena` when one is given.
  void regrow(std::size_t capacity, ValueArena* arena = nullptr, std::size_t room = 0);
  // Files every occupied slot of another table of `capacity` slots (whose
  // positions are this dictionary's) into this table, which must be empty.
  void refileFrom(const Slot* slots, std::size_t capacity);
  void append(std::string&& key, std::uint32_t hash, Value&& value);
  void destroy() noexcept;

  Entry* entries_ = nullptr;  // the one allocation (entries, then the table)
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
  // Places for entries before the table: capacity_, or exactly the entries
  // of an adopted dictionary.
  std::uint32_t room_ = 0;
  bool pooled_ = false;  // entries_ is a ValueArena piece
};

namespace detail {
// Header of the shared payload of strings, data, arrays and dictionaries.
struct ValueRep {
  std::atomic<std::uint32_t> refs{1};
  // Set by storage of a subclass of ArrayRep or DictionaryRep.
  bool derived = false;
  // Set for storage that is a ValueArena piece: its last reference destroys
  // it and gives the piece back instead of deleting it.
  bool pooled = false;
};
}  // namespace detail

class ArrayRep;
class DictionaryRep;

class Value {
 public:
  enum class Kind { Null, Bool, Int64, UInt64, Double, String, Data, Date, Array, Dictionary };

  Value() noexcept;  // Null
  Value(std::nullptr_t) noexcept;
  Value(bool b) noexcept;
  Value(int i) noexcept;
  Value(long i) noexcept;
  Value(long long i) noexcept;
  Value(unsigned int u) noexcept;
  Value(unsigned long u) noexcept;
  Value(unsigned long long u) noexcept;
  Value(double d) noexcept;
  Value(const char* s);
  Value(std::string s);
  Value(std::string_view s);
  // The same with the storage taken from `arena` (when it fits).
  Value(std::string_view s, ValueArena& arena);
  Value(Bytes data);
  Value(kx::Array array);
  Value(kx::Dictionary dict);
  // Prevent accidental conversion of pointers other than const char* to bool.
  template <typename T>
  Value(const T*) = delete;

  Value(const Value&) noexcept;
  Value(Value&&) noexcept;
  Value& operator=(const Value&) noexcept;
  Value& operator=(Value&&) noexcept;
  ~Value();

  // A value holding `rep` (Array or Dictionary kind), taking over the
  // reference the caller holds.
  static Value adopt(ArrayRep* rep) noexcept;
  static Value adopt(DictionaryRep* rep) noexcept;

  static Value date(double secondsSince1970);
  static Value data(const void* bytes, std::size_t size);
  static Value array(std::initializer_list<Value> items);
  static Value dict(std::initializer_list<Dictionary::Entry> entries);

  Kind kind() const { return kind_; }
  bool isNull() const { return kind_ == Kind::Null; }
  bool isBool() const { return kind_ == Kind::Bool; }
  // Int64, UInt64 or Double (not Bool).
  bool isNumber() const;
  bool isInteger() const { return kind_ == Kind::Int64 || kind_ == Kind::UInt64; }
  bool isString() const { return kind_ == Kind::String; }
  bool isData() const { return kind_ == Kind::Data; }
  bool isDate() const { return kind_ == Kind::Date; }
  bool isArray() const { return kind_ == Kind::Array; }
  bool isDictionary() const { return kind_ == Kind::Dictionary; }

  // Lenient conversions, as the platform's numbers and strings convert.
  // Text: leading white space, an optional sign and digits; anything else
  // reads as 0 (boolValue: true when the text starts with Y, y, T, t or a
  // non-zero digit after white space, an optional sign and zeros).
  // Values out of the target's range saturate (a UInt64 above INT64_MAX has
  // the intValue INT64_MAX, a negative number the unsignedValue 0); NaN reads
  // as 0. A date converts as its seconds since 1970.
  bool boolValue() const;
  std::int64_t intValue() const;
  std::uint64_t unsignedValue() const;
  double doubleValue() const;
  // Text of a string; decimal text of a number ("1"/"0" for booleans,
  // shortest round-trip form for doubles); "" for the other kinds.
  std::string stringValue() const;

  // Typed access; a shared empty value of the asked kind when the kind differs.
  // A string made from characters (a string_view, a C string, a parsed
  // document) keeps them next to its header and makes its std::string on the
  // first call of string(); stringView() reads the characters without it.
  const std::string& string() const;
  std::string_view stringView() const;
  const Bytes& bytes() const;
  double dateValue() const;  // seconds since 1970; 0 when not a date
  const kx::Array& array() const;
  const kx::Dictionary& dict() const;

  // The storage of an array or a dictionary; nullptr for the other kinds.
  const ArrayRep* arrayRep() const;
  const DictionaryRep* dictionaryRep() const;

  // Mutable access: turns a Null into an empty container of that kind, copies
  // shared storage (and storage of a derived class, see ArrayRep) first.
  // Calling them on another kind replaces the value.
  kx::Array& mutableArray();
  kx::Dictionary& mutableDict();
  std::string& mutableString();

  // Dictionary lookups: a shared Null when this is not a dictionary or the
  // key is missing. find() tells the two apart.
  const Value& operator[](std::string_view key) const;
  const Value& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
  const Value* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Array element, or a shared Null when out of range or not an array.
  const Value& operator[](std::size_t index) const;
  const Value& operator[](int index) const;
  // Nested dictionary lookup: v.at({"a", "b"}) is v["a"]["b"].
  const Value& at(std::initializer_list<std::string_view> path) const;
  // Sets a key, turning a Null into a dictionary.
  void set(std::string key, Value value);

  // Count of an array or dictionary, byte length of data, UTF-8 length of a
  // string; 0 otherwise.
  std::size_t size() const;

  // Deep equality with cross-kind numeric comparison; a Bool equals only a
  // Bool. Dictionaries compare without regard to order.
  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }

  // A readable rendering for logs and test failures (not JSON).
  std::string description() const;

  // Shared Null, the answer for missing keys.
  static const Value& null();

 private:
  // String, Data, Array and Dictionary keep a shared payload in rep_.
  static constexpr unsigned kRepKinds =
      (1u << static_cast<unsigned>(Kind::String)) | (1u << static_cast<unsigned>(Kind::Data)) |
      (1u << static_cast<unsigned>(Kind::Array)) | (1u << static_cast<unsigned>(Kind::Dictionary));
  bool hasRep() const { return (kRepKinds >> static_cast<unsigned>(kind_)) & 1u; }
  void release() noexcept;  // drops this value's reference to rep_
  void makeUniqueContainer(Kind kind);

  Kind kind_;
  union {
    bool b_;
    std::int64_t i_;
    std::uint64_t u_;
    double d_;  // Double, and Date (seconds since 1970)
    detail::ValueRep* rep_;
  };
};

// Copies and moves are on every hot path (containers, parsers), so they are
// inline: a copy bumps a reference count, a move copies 16 bytes.
inline Value::Value() noexcept : kind_(Kind::Null), u_(0) {}
inline Value::Value(std::nullptr_t) noexcept : kind_(Kind::Null), u_(0) {}
inline Value::Value(const Value& other) noexcept : kind_(other.kind_) {
  std::memcpy(&u_, &other.u_, sizeof(u_));
  if (hasRep()) rep_->refs.fetch_add(1, std::memory_order_relaxed);
}
inline Value::Value(Value&& other) noexcept : kind_(other.kind_) {
  std::memcpy(&u_, &other.u_, sizeof(u_));
  other.kind_ = Kind::Null;
}
inline Value::~Value() {
  if (hasRep()) release();
}
inline Value& Value::operator=(Value&& other) noexcept {
  // Take the other's bits first: it may live inside this value's payload.
  Kind kind = other.kind_;
  std::uint64_t bits;
  std::memcpy(&bits, &other.u_, sizeof(bits));
  other.kind_ = Kind::Null;
  if (hasRep()) release();
  kind_ = kind;
  std::memcpy(&u_, &bits, sizeof(bits));
  return *this;
}
inline Value& Value::operator=(const Value& other) noexcept {
  Kind kind = other.kind_;
  std::uint64_t bits;
  std::memcpy(&bits, &other.u_, sizeof(bits));
  if (other.hasRep()) other.rep_->refs.fetch_add(1, std::memory_order_relaxed);
  if (hasRep()) release();
  kind_ = kind;
  std::memcpy(&u_, &bits, sizeof(bits));
  return *this;
}

// The storage of an array and of a dictionary inside a Value. A higher layer
// may derive from them to keep collections of its own in a Value (the JSON
// codec's JKArray and JKDictionary); a Value only reads such storage, and
// the first change through mutableArray() or mutableDict() moves (when the
// value holds the only reference) or copies the contents into plain storage
// of its own. So a caller never changes a derived collection by accident.
class ArrayRep : public detail::ValueRep {
 public:
  ArrayRep() = default;
  explicit ArrayRep(kx::Array objects) : objects_(std::move(objects)) {}
  virtual ~ArrayRep();
  const kx::Array& objects() const { return objects_; }

 protected:
  friend class Value;
  kx::Array objects_;
};

class DictionaryRep : public detail::ValueRep {
 public:
  DictionaryRep() = default;
  explicit DictionaryRep(kx::Dictionary dictionary) : dictionary_(std::move(dictionary)) {}
  virtual ~DictionaryRep();
  const kx::Dictionary& dictionary() const { return dictionary_; }

 protected:
  friend class Value;
  kx::Dictionary dictionary_;
};

inline const ArrayRep* Value::arrayRep() const {
  return kind_ == Kind::Array ? static_cast<const ArrayRep*>(rep_) : nullptr;
}
inline const DictionaryRep* Value::dictionaryRep() const {
  return kind_ == Kind::Dictionary ? static_cast<const DictionaryRep*>(rep_) : nullptr;
}

// Defined here, where Value is complete.
inline Dictionary::const_iterator Dictionary::begin() const { return entries_; }
inline Dictionary::const_iterator Dictionary::end() const { return entries_ + count_; }
inline std::span<const Dictionary::Entry> Dictionary::entries() const { return {entries_, count_}; }

// Helpful for tests: gtest prints values with their description.
void PrintTo(const Value& value, std::ostream* os);

}  // namespace kx

#endif  // ZN_PLATFORM_VALUE_H_
