#include "platform/Value.h"

#include <cmath>
#include <functional>
#include <limits>
#include <ostream>

#include "platform/Text.h"

namespace kx {

// ---------------------------------------------------------------------------
// Dictionary index: open addressing with linear probing over a power-of-two
// table kept at most half full. A slot stores the key's hash and its
// position + 1 (0 marks an empty slot).
// ---------------------------------------------------------------------------
struct DictionaryIndex {
  struct Slot {
    std::uint32_t hash;
    std::uint32_t pos1;
  };
  std::vector<Slot> slots;
  std::size_t mask = 0;
  std::size_t used = 0;
};

namespace {

// Up to this many entries a dictionary is searched linearly.
constexpr std::size_t kLinearLimit = 8;

inline std::uint32_t hashKey(std::string_view key) {
  std::size_t h = std::hash<std::string_view>()(key);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

inline void indexInsert(DictionaryIndex* index, std::uint32_t hash, std::size_t pos) {
  std::size_t i = hash & index->mask;
  while (index->slots[i].pos1 != 0) i = (i + 1) & index->mask;
  index->slots[i] = {hash, static_cast<std::uint32_t>(pos + 1)};
  ++index->used;
}

// Makes the table large enough for `count` entries (at most half full).
inline void indexReserve(DictionaryIndex* index, std::size_t count) {
  std::size_t want = 16;
  while (want < count * 2) want *= 2;
  if (want <= index->slots.size()) return;
  std::vector<DictionaryIndex::Slot> old;
  old.swap(index->slots);
  index->slots.assign(want, DictionaryIndex::Slot{0, 0});
  index->mask = want - 1;
  index->used = 0;
  for (const auto& slot : old) {
    if (slot.pos1 != 0) indexInsert(index, slot.hash, slot.pos1 - 1);
  }
}

}  // namespace

Dictionary::Dictionary() = default;

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  reserve(entries.size());
  for (const auto& entry : entries) set(entry.first, entry.second);
}

Dictionary::Dictionary(const Dictionary& other)
    : entries_(other.entries_),
      index_(other.index_ ? std::make_unique<DictionaryIndex>(*other.index_) : nullptr) {}

Dictionary::Dictionary(Dictionary&& other) noexcept
    : entries_(std::move(other.entries_)), index_(std::move(other.index_)) {
  other.entries_.clear();
}

Dictionary& Dictionary::operator=(const Dictionary& other) {
  if (this != &other) {
    Dictionary copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Dictionary& Dictionary::operator=(Dictionary&& other) noexcept {
  if (this != &other) {
    entries_ = std::move(other.entries_);
    index_ = std::move(other.index_);
    other.entries_.clear();
  }
  return *this;
}

Dictionary::~Dictionary() = default;

std::ptrdiff_t Dictionary::position(std::string_view key) const {
  if (!index_) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::string& k = entries_[i].first;
      if (k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0) {
        return static_cast<std::ptrdiff_t>(i);
      }
    }
    return -1;
  }
  return indexedPosition(key, hashKey(key));
}

std::ptrdiff_t Dictionary::indexedPosition(std::string_view key, std::uint32_t hash) const {
  std::size_t i = hash & index_->mask;
  for (;;) {
    const DictionaryIndex::Slot& slot = index_->slots[i];
    if (slot.pos1 == 0) return -1;
    if (slot.hash == hash && entries_[slot.pos1 - 1].first == key) {
      return static_cast<std::ptrdiff_t>(slot.pos1 - 1);
    }
    i = (i + 1) & index_->mask;
  }
}

const Value* Dictionary::find(std::string_view key) const {
  std::ptrdiff_t pos = position(key);
  return pos < 0 ? nullptr : &entries_[static_cast<std::size_t>(pos)].second;
}

Value* Dictionary::find(std::string_view key) {
  std::ptrdiff_t pos = position(key);
  return pos < 0 ? nullptr : &entries_[static_cast<std::size_t>(pos)].second;
}

const Value& Dictionary::operator[](std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : Value::null();
}

void Dictionary::set(std::string key, Value value) {
  std::uint32_t hash = 0;
  std::ptrdiff_t pos;
  if (index_) {
    hash = hashKey(key);
    pos = indexedPosition(key, hash);
  } else {
    pos = position(key);
  }
  if (pos >= 0) {
    entries_[static_cast<std::size_t>(pos)].second = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  if (index_) {
    indexReserve(index_.get(), entries_.size());
    indexInsert(index_.get(), hash, entries_.size() - 1);
  } else if (entries_.size() > kLinearLimit) {
    rebuildIndex();
  }
}

bool Dictionary::remove(std::string_view key) {
  std::ptrdiff_t pos = position(key);
  if (pos < 0) return false;
  entries_.erase(entries_.begin() + pos);
  if (entries_.size() <= kLinearLimit) {
    index_.reset();
  } else {
    rebuildIndex();
  }
  return true;
}

void Dictionary::clear() {
  entries_.clear();
  index_.reset();
}

void Dictionary::reserve(std::size_t n) {
  entries_.reserve(n);
  if (index_ && n > kLinearLimit) indexReserve(index_.get(), n);
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& entry : entries_) out.push_back(entry.first);
  return out;
}

void Dictionary::rebuildIndex() {
  auto index = std::make_unique<DictionaryIndex>();
  indexReserve(index.get(), entries_.capacity() > entries_.size() ? entries_.capacity() : entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    indexInsert(index.get(), hashKey(entries_[i].first), i);
  }
  index_ = std::move(index);
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (entries_.size() != other.entries_.size()) return false;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& mine = entries_[i];
    // Same order is the common case; fall back to a lookup otherwise.
    const Entry& theirs = other.entries_[i];
    const Value* v = theirs.first == mine.first ? &theirs.second : other.find(mine.first);
    if (!v || !(*v == mine.second)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Shared payloads.
// ---------------------------------------------------------------------------
namespace {

template <typename T>
struct Boxed : detail::ValueRep {
  template <typename... A>
  explicit Boxed(A&&... args) : value(std::forward<A>(args)...) {}
  T value;
};

template <typename T>
inline T& payload(detail::ValueRep* rep) {
  return static_cast<Boxed<T>*>(rep)->value;
}

template <typename T>
inline void dropRep(detail::ValueRep* rep) noexcept {
  // The sole owner may free without an atomic write: nobody else can add a
  // reference to storage that only it can reach.
  if (rep->refs.load(std::memory_order_acquire) == 1 ||
      rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete static_cast<Boxed<T>*>(rep);
  }
}

inline bool isUnique(const detail::ValueRep* rep) {
  return rep->refs.load(std::memory_order_acquire) == 1;
}

template <typename T>
const T& emptyOf() {
  static const T* empty = new T();
  return *empty;
}

}  // namespace

void Value::release() noexcept {
  switch (kind_) {
    case Kind::String:
      dropRep<std::string>(rep_);
      break;
    case Kind::Data:
      dropRep<Bytes>(rep_);
      break;
    case Kind::Array:
      dropRep<kx::Array>(rep_);
      break;
    case Kind::Dictionary:
      dropRep<kx::Dictionary>(rep_);
      break;
    default:
      break;
  }
  kind_ = Kind::Null;
}

Value::Value(bool b) noexcept : kind_(Kind::Bool), u_(0) { b_ = b; }
Value::Value(int i) noexcept : kind_(Kind::Int64), i_(i) {}
Value::Value(long i) noexcept : kind_(Kind::Int64), i_(i) {}
Value::Value(long long i) noexcept : kind_(Kind::Int64), i_(i) {}
Value::Value(unsigned int u) noexcept : kind_(Kind::UInt64), u_(u) {}
Value::Value(unsigned long u) noexcept : kind_(Kind::UInt64), u_(u) {}
Value::Value(unsigned long long u) noexcept : kind_(Kind::UInt64), u_(u) {}
Value::Value(double d) noexcept : kind_(Kind::Double), d_(d) {}

Value::Value(const char* s) : kind_(Kind::Null), u_(0) {
  if (s) {
    rep_ = new Boxed<std::string>(s);
    kind_ = Kind::String;
  }
}

Value::Value(std::string s) : kind_(Kind::String) { rep_ = new Boxed<std::string>(std::move(s)); }

Value::Value(std::string_view s) : kind_(Kind::String) {
  rep_ = new Boxed<std::string>(s.data(), s.size());
}

Value::Value(Bytes data) : kind_(Kind::Data) { rep_ = new Boxed<Bytes>(std::move(data)); }

Value::Value(kx::Array array) : kind_(Kind::Array) {
  rep_ = new Boxed<kx::Array>(std::move(array));
}

Value::Value(kx::Dictionary dict) : kind_(Kind::Dictionary) {
  rep_ = new Boxed<kx::Dictionary>(std::move(dict));
}

Value Value::date(double secondsSince1970) {
  Value v;
  v.kind_ = Kind::Date;
  v.d_ = secondsSince1970;
  return v;
}

Value Value::data(const void* bytes, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  return Value(Bytes(p, p + size));
}

Value Value::array(std::initializer_list<Value> items) { return Value(kx::Array(items)); }

Value Value::dict(std::initializer_list<Dictionary::Entry> entries) {
  return Value(kx::Dictionary(entries));
}

bool Value::isNumber() const {
  return kind_ == Kind::Int64 || kind_ == Kind::UInt64 || kind_ == Kind::Double;
}

// ---------------------------------------------------------------------------
// Conversions.
// ---------------------------------------------------------------------------
namespace {

constexpr double kTwo63 = 9223372036854775808.0;   // 2^63
constexpr double kTwo64 = 18446744073709551616.0;  // 2^64

std::int64_t doubleToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (d < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::uint64_t doubleToUInt64(double d) {
  if (std::isnan(d) || d <= -1.0) return 0;
  if (d >= kTwo64) return std::numeric_limits<std::uint64_t>::max();
  if (d < 0) return 0;
  return static_cast<std::uint64_t>(d);
}

bool doubleEqualsInt64(double d, std::int64_t i) {
  if (!(d >= -kTwo63 && d < kTwo63) || d != std::trunc(d)) return false;
  return static_cast<std::int64_t>(d) == i;
}

bool doubleEqualsUInt64(double d, std::uint64_t u) {
  if (!(d >= 0 && d < kTwo64) || d != std::trunc(d)) return false;
  return static_cast<std::uint64_t>(d) == u;
}

}  // namespace

bool Value::boolValue() const {
  switch (kind_) {
    case Kind::Bool:
      return b_;
    case Kind::Int64:
      return i_ != 0;
    case Kind::UInt64:
      return u_ != 0;
    case Kind::Double:
    case Kind::Date:
      return d_ != 0.0;
    case Kind::String:
      return Text::leadingBool(payload<std::string>(rep_));
    default:
      return false;
  }
}

std::int64_t Value::intValue() const {
  switch (kind_) {
    case Kind::Bool:
      return b_ ? 1 : 0;
    case Kind::Int64:
      return i_;
    case Kind::UInt64:
      return u_ > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? std::numeric_limits<std::int64_t>::max()
                 : static_cast<std::int64_t>(u_);
    case Kind::Double:
    case Kind::Date:
      return doubleToInt64(d_);
    case Kind::String:
      return Text::leadingInt64(payload<std::string>(rep_));
    default:
      return 0;
  }
}

std::uint64_t Value::unsignedValue() const {
  switch (kind_) {
    case Kind::Bool:
      return b_ ? 1 : 0;
    case Kind::Int64:
      return i_ < 0 ? 0 : static_cast<std::uint64_t>(i_);
    case Kind::UInt64:
      return u_;
    case Kind::Double:
    case Kind::Date:
      return doubleToUInt64(d_);
    case Kind::String:
      return Text::leadingUInt64(payload<std::string>(rep_));
    default:
      return 0;
  }
}

double Value::doubleValue() const {
  switch (kind_) {
    case Kind::Bool:
      return b_ ? 1.0 : 0.0;
    case Kind::Int64:
      return static_cast<double>(i_);
    case Kind::UInt64:
      return static_cast<double>(u_);
    case Kind::Double:
    case Kind::Date:
      return d_;
    case Kind::String:
      return Text::leadingDouble(payload<std::string>(rep_));
    default:
      return 0.0;
  }
}

std::string Value::stringValue() const {
  switch (kind_) {
    case Kind::Bool:
      return b_ ? "1" : "0";
    case Kind::Int64:
      return Text::toString(i_);
    case Kind::UInt64:
      return Text::toString(u_);
    case Kind::Double:
      return Text::toString(d_);
    case Kind::String:
      return payload<std::string>(rep_);
    default:
      return std::string();
  }
}

// ---------------------------------------------------------------------------
// Typed access.
// ---------------------------------------------------------------------------
const std::string& Value::string() const {
  return kind_ == Kind::String ? payload<std::string>(rep_) : emptyOf<std::string>();
}

const Bytes& Value::bytes() const {
  return kind_ == Kind::Data ? payload<Bytes>(rep_) : emptyOf<Bytes>();
}

double Value::dateValue() const { return kind_ == Kind::Date ? d_ : 0.0; }

const kx::Array& Value::array() const {
  return kind_ == Kind::Array ? payload<kx::Array>(rep_) : emptyOf<kx::Array>();
}

const kx::Dictionary& Value::dict() const {
  return kind_ == Kind::Dictionary ? payload<kx::Dictionary>(rep_) : emptyOf<kx::Dictionary>();
}

void Value::makeUniqueContainer(Kind kind) {
  if (kind_ != kind) {
    if (hasRep()) release();
    switch (kind) {
      case Kind::String:
        rep_ = new Boxed<std::string>();
        break;
      case Kind::Array:
        rep_ = new Boxed<kx::Array>();
        break;
      case Kind::Dictionary:
        rep_ = new Boxed<kx::Dictionary>();
        break;
      default:
        return;
    }
    kind_ = kind;
    return;
  }
  if (isUnique(rep_)) return;
  detail::ValueRep* copy = nullptr;
  switch (kind) {
    case Kind::String:
      copy = new Boxed<std::string>(payload<std::string>(rep_));
      break;
    case Kind::Array:
      copy = new Boxed<kx::Array>(payload<kx::Array>(rep_));
      break;
    case Kind::Dictionary:
      copy = new Boxed<kx::Dictionary>(payload<kx::Dictionary>(rep_));
      break;
    default:
      return;
  }
  release();
  rep_ = copy;
  kind_ = kind;
}

kx::Array& Value::mutableArray() {
  makeUniqueContainer(Kind::Array);
  return payload<kx::Array>(rep_);
}

kx::Dictionary& Value::mutableDict() {
  makeUniqueContainer(Kind::Dictionary);
  return payload<kx::Dictionary>(rep_);
}

std::string& Value::mutableString() {
  makeUniqueContainer(Kind::String);
  return payload<std::string>(rep_);
}

// ---------------------------------------------------------------------------
// Lookups.
// ---------------------------------------------------------------------------
const Value& Value::operator[](std::string_view key) const {
  if (kind_ != Kind::Dictionary) return null();
  return payload<kx::Dictionary>(rep_)[key];
}

const Value* Value::find(std::string_view key) const {
  if (kind_ != Kind::Dictionary) return nullptr;
  return payload<kx::Dictionary>(rep_).find(key);
}

const Value& Value::operator[](std::size_t index) const {
  if (kind_ != Kind::Array) return null();
  const kx::Array& a = payload<kx::Array>(rep_);
  return index < a.size() ? a[index] : null();
}

const Value& Value::operator[](int index) const {
  if (index < 0) return null();
  return (*this)[static_cast<std::size_t>(index)];
}

const Value& Value::at(std::initializer_list<std::string_view> path) const {
  const Value* v = this;
  for (std::string_view key : path) {
    v = &(*v)[key];
    if (v->isNull()) break;
  }
  return *v;
}

void Value::set(std::string key, Value value) {
  mutableDict().set(std::move(key), std::move(value));
}

std::size_t Value::size() const {
  switch (kind_) {
    case Kind::String:
      return payload<std::string>(rep_).size();
    case Kind::Data:
      return payload<Bytes>(rep_).size();
    case Kind::Array:
      return payload<kx::Array>(rep_).size();
    case Kind::Dictionary:
      return payload<kx::Dictionary>(rep_).size();
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------
// Equality.
// ---------------------------------------------------------------------------
bool Value::operator==(const Value& other) const {
  if (hasRep() && other.kind_ == kind_ && rep_ == other.rep_) return true;
  switch (kind_) {
    case Kind::Null:
      return other.kind_ == Kind::Null;
    case Kind::Bool:
      return other.kind_ == Kind::Bool && other.b_ == b_;
    case Kind::Int64:
      switch (other.kind_) {
        case Kind::Int64:
          return i_ == other.i_;
        case Kind::UInt64:
          return i_ >= 0 && static_cast<std::uint64_t>(i_) == other.u_;
        case Kind::Double:
          return doubleEqualsInt64(other.d_, i_);
        default:
          return false;
      }
    case Kind::UInt64:
      switch (other.kind_) {
        case Kind::Int64:
          return other.i_ >= 0 && static_cast<std::uint64_t>(other.i_) == u_;
        case Kind::UInt64:
          return u_ == other.u_;
        case Kind::Double:
          return doubleEqualsUInt64(other.d_, u_);
        default:
          return false;
      }
    case Kind::Double:
      switch (other.kind_) {
        case Kind::Int64:
          return doubleEqualsInt64(d_, other.i_);
        case Kind::UInt64:
          return doubleEqualsUInt64(d_, other.u_);
        case Kind::Double:
          // NaN equals NaN so that equality stays reflexive for deep compares.
          return d_ == other.d_ || (std::isnan(d_) && std::isnan(other.d_));
        default:
          return false;
      }
    case Kind::Date:
      return other.kind_ == Kind::Date && d_ == other.d_;
    case Kind::String:
      return other.kind_ == Kind::String &&
             payload<std::string>(rep_) == payload<std::string>(other.rep_);
    case Kind::Data:
      return other.kind_ == Kind::Data && payload<Bytes>(rep_) == payload<Bytes>(other.rep_);
    case Kind::Array:
      return other.kind_ == Kind::Array &&
             payload<kx::Array>(rep_) == payload<kx::Array>(other.rep_);
    case Kind::Dictionary:
      return other.kind_ == Kind::Dictionary &&
             payload<kx::Dictionary>(rep_) == payload<kx::Dictionary>(other.rep_);
  }
  return false;
}

// ---------------------------------------------------------------------------
// Rendering.
// ---------------------------------------------------------------------------
namespace {

void appendQuoted(std::string_view s, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char c : s) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out->append("\\u00");
          out->push_back(kHex[(c >> 4) & 0xF]);
          out->push_back(kHex[c & 0xF]);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

void describe(const Value& v, std::string* out) {
  switch (v.kind()) {
    case Value::Kind::Null:
      out->append("null");
      break;
    case Value::Kind::Bool:
      out->append(v.boolValue() ? "true" : "false");
      break;
    case Value::Kind::Int64:
    case Value::Kind::UInt64:
    case Value::Kind::Double:
      out->append(v.stringValue());
      break;
    case Value::Kind::String:
      appendQuoted(v.string(), out);
      break;
    case Value::Kind::Data: {
      static const char kHex[] = "0123456789abcdef";
      const Bytes& b = v.bytes();
      constexpr std::size_t kShown = 32;
      out->push_back('<');
      for (std::size_t i = 0; i < b.size() && i < kShown; ++i) {
        out->push_back(kHex[b[i] >> 4]);
        out->push_back(kHex[b[i] & 0xF]);
      }
      if (b.size() > kShown) out->append("... " + Text::toString(b.size()) + " bytes");
      out->push_back('>');
      break;
    }
    case Value::Kind::Date:
      out->append("date(" + Text::toString(v.dateValue()) + ")");
      break;
    case Value::Kind::Array: {
      out->push_back('[');
      bool first = true;
      for (const Value& item : v.array()) {
        if (!first) out->append(", ");
        first = false;
        describe(item, out);
      }
      out->push_back(']');
      break;
    }
    case Value::Kind::Dictionary: {
      out->push_back('{');
      bool first = true;
      for (const auto& [key, item] : v.dict()) {
        if (!first) out->append(", ");
        first = false;
        appendQuoted(key, out);
        out->append(": ");
        describe(item, out);
      }
      out->push_back('}');
      break;
    }
  }
}

}  // namespace

std::string Value::description() const {
  std::string out;
  describe(*this, &out);
  return out;
}

const Value& Value::null() {
  static const Value kNull;
  return kNull;
}

void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }

}  // namespace kx
