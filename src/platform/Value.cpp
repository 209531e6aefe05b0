#include "platform/Value.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <new>
#include <ostream>
#include <stdexcept>

#include "platform/Text.h"

namespace kx {

// ---------------------------------------------------------------------------
// ValueArena.
// ---------------------------------------------------------------------------

// A block's header. `live` counts the pieces not yet given back, plus
// kOpenBias while the arena still hands pieces out from it: the arena adds
// its pieces to the count only when it closes the block, so handing out
// costs no atomic write.
struct ValueArena::Block {
  std::atomic<std::uint64_t> live;
};

namespace {

constexpr std::uint64_t kOpenBias = std::uint64_t{1} << 62;
// Blocks start small, so that a small document costs little, and double up
// to the largest size; a piece takes at most a quarter of the largest block.
constexpr std::size_t kFirstBlockSize = 4096 - 32;
constexpr std::size_t kLastBlockSize = 65536 - 32;
constexpr std::size_t kLargestPiece = kLastBlockSize / 4;
// Each piece is preceded by the address of its block.
constexpr std::size_t kPieceHeader = sizeof(void*);

}  // namespace

void* ValueArena::allocate(std::size_t size) {
  if (size > kLargestPiece) return nullptr;
  const std::size_t need = kPieceHeader + ((size + 7) & ~std::size_t{7});
  if (static_cast<std::size_t>(limit_ - next_) < need) {
    retire();
    const std::size_t planned = nextBlockSize_ == 0 ? kFirstBlockSize : nextBlockSize_;
    nextBlockSize_ = std::min(planned * 2, kLastBlockSize);
    // A large piece may need more than the planned size.
    const std::size_t blockSize = std::max(planned, sizeof(Block) + need);
    void* memory = ::operator new(blockSize);
    block_ = new (memory) Block{{kOpenBias}};
    next_ = static_cast<char*>(memory) + sizeof(Block);
    limit_ = static_cast<char*>(memory) + blockSize;
  }
  std::memcpy(next_, &block_, sizeof block_);
  void* piece = next_ + kPieceHeader;
  next_ += need;
  ++handedOut_;
  return piece;
}

void ValueArena::release(void* piece) noexcept {
  Block* block;
  std::memcpy(&block, static_cast<char*>(piece) - kPieceHeader, sizeof block);
  if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block->~Block();
    ::operator delete(block);
  }
}

void ValueArena::close() noexcept {
  retire();
  nextBlockSize_ = 0;
}

void ValueArena::retire() noexcept {
  if (!block_) return;
  // The arena's bias goes, its pieces come in: the count then holds exactly
  // the pieces still alive.
  const std::uint64_t drop = kOpenBias - handedOut_;
  if (block_->live.fetch_sub(drop, std::memory_order_acq_rel) == drop) {
    block_->~Block();
    ::operator delete(block_);
  }
  block_ = nullptr;
  next_ = limit_ = nullptr;
  handedOut_ = 0;
}

// ---------------------------------------------------------------------------
// Dictionary.
// ---------------------------------------------------------------------------
namespace {

// Table sizes; the capacity for n entries is the first of at least
// floor(n * 1.33).
constexpr std::size_t kCapacities[] = {
    0,        3,        7,        13,       23,        41,        71,        127,
    191,      251,      383,      631,      1087,      1723,      2803,      4523,
    7351,     11959,    19447,    31231,    50683,     81919,     132607,    214519,
    346607,   561109,   907759,   1468927,  2376191,   3845119,   6221311,   10066421,
    16287743, 26354171, 42641881, 68996069, 111638519, 180634607, 292272623, 472907251};

}  // namespace

std::size_t Dictionary::capacityFor(std::size_t count) {
  const std::size_t wanted = count * 133 / 100;
  const std::size_t* p = std::lower_bound(std::begin(kCapacities), std::end(kCapacities), wanted);
  if (p == std::end(kCapacities)) throw std::length_error("kx::Dictionary: too many entries");
  return *p;
}

std::uint32_t Dictionary::hashKey(std::string_view key) {
  // Eight bytes per step, each step a multiply and a fold.
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  std::size_t n = key.size();
  std::uint64_t h = n * kMultiplier;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  if (n > 0) {
    std::uint64_t word = 0;
    if constexpr (std::endian::native == std::endian::little) {
      // The last 1 to 7 bytes as the low bytes of a word, from two loads
      // that may overlap (overlapping bytes are equal, so OR keeps them):
      // copying a variable count through memory would stall the load.
      if (n >= 4) {
        std::uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + n - 4, 4);
        word = low | (std::uint64_t{high} << (8 * (n - 4)));
      } else if (n >= 2) {
        std::uint16_t low, high;
        std::memcpy(&low, p, 2);
        std::memcpy(&high, p + n - 2, 2);
        word = low | (std::uint64_t{high} << (8 * (n - 2)));
      } else {
        word = p[0];
      }
    } else {
      std::memcpy(&word, p, n);
    }
    h = (h ^ word) * kMultiplier;
    h ^= h >> 29;
  }
  h *= kMultiplier;
  return static_cast<std::uint32_t>(h >> 32);
}

Dictionary::Slot* Dictionary::table() const { return reinterpret_cast<Slot*>(entries_ + room_); }

namespace {

// Storage for `capacity` entries and slots: from `arena` when one is given
// and has room (*pooled tells), else from the heap.
void* allocateStorage(std::size_t bytes, ValueArena* arena, bool* pooled) {
  if (arena) {
    if (void* piece = arena->allocate(bytes)) {
      *pooled = true;
      return piece;
    }
  }
  *pooled = false;
  return ::operator new(bytes);
}

void freeStorage(void* storage, bool pooled) noexcept {
  if (pooled) {
    ValueArena::release(storage);
  } else {
    ::operator delete(storage);
  }
}

}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  reserve(entries.size());
  for (const auto& entry : entries) set(entry.first, entry.second);
}

Dictionary::Dictionary(const Dictionary& other) {
  if (other.count_ == 0) return;
  const std::size_t capacity = capacityFor(other.count_);
  auto* block = static_cast<Entry*>(::operator new(capacity*(sizeof(Entry) + sizeof(Slot))));
  auto* slots = reinterpret_cast<Slot*>(block + capacity);
  std::size_t copied = 0;
  try {
    for (; copied < other.count_; ++copied) new (&block[copied]) Entry(other.entries_[copied]);
  } catch (...) {
    for (std::size_t i = 0; i < copied; ++i) block[i].~Entry();
    ::operator delete(block);
    throw;
  }
  entries_ = block;
  count_ = other.count_;
  capacity_ = capacity;
  room_ = static_cast<std::uint32_t>(capacity);
  if (capacity == other.capacity_) {
    // The same entries in the same places: the same table.
    std::memcpy(static_cast<void*>(slots), other.table(), capacity * sizeof(Slot));
  } else {
    std::memset(static_cast<void*>(slots), 0, capacity * sizeof(Slot));
    refileFrom(other.table(), other.capacity_);
  }
}

Dictionary::Dictionary(Dictionary&& other) noexcept
    : entries_(other.entries_),
      count_(other.count_),
      capacity_(other.capacity_),
      room_(other.room_),
      pooled_(other.pooled_) {
  other.entries_ = nullptr;
  other.count_ = other.capacity_ = 0;
  other.room_ = 0;
  other.pooled_ = false;
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
    destroy();
    entries_ = other.entries_;
    count_ = other.count_;
    capacity_ = other.capacity_;
    room_ = other.room_;
    pooled_ = other.pooled_;
    other.entries_ = nullptr;
    other.count_ = other.capacity_ = 0;
    other.room_ = 0;
    other.pooled_ = false;
  }
  return *this;
}

Dictionary::~Dictionary() { destroy(); }

void Dictionary::destroy() noexcept {
  if (!entries_) return;
  for (std::size_t i = 0; i < count_; ++i) entries_[i].~Entry();
  freeStorage(entries_, pooled_);
  entries_ = nullptr;
  count_ = capacity_ = 0;
  room_ = 0;
  pooled_ = false;
}

Dictionary Dictionary::adopt(std::string* keys, const std::uint32_t* hashes, Value* values,
                             std::size_t count, ValueArena* arena) {
  Dictionary d;
  if (count == 0) return d;
  // Places for exactly `count` entries: a set() that adds one more moves
  // them to storage of the full capacity.
  d.regrow(capacityFor(count), arena, count);
  Slot* const slots = d.table();
  const std::size_t capacity = d.capacity_;
  for (std::size_t i = 0; i < count; ++i) {
    // One probe finds either the key's entry or the empty slot that files
    // it. The table has more slots than entries so far: the probe ends.
    const std::uint32_t hash = hashes[i];
    std::size_t at = hash % capacity;
    for (;;) {
      Slot& slot = slots[at];
      if (slot.pos1 == 0) {
        new (&d.entries_[d.count_]) Entry(std::move(keys[i]), std::move(values[i]));
        slot = {hash, static_cast<std::uint32_t>(d.count_ + 1)};
        ++d.count_;
        break;
      }
      if (slot.hash == hash) {
        Entry& entry = d.entries_[slot.pos1 - 1];
        if (entry.first == keys[i]) {
          entry.second = std::move(values[i]);
          break;
        }
      }
      if (++at == capacity) at = 0;
    }
  }
  return d;
}

std::ptrdiff_t Dictionary::position(std::string_view key, std::uint32_t hash) const {
  if (capacity_ == 0) return -1;
  const Slot* slots = table();
  std::size_t i = hash % capacity_;
  // A full table ends the search after `capacity_` probes.
  for (std::size_t probes = 0; probes < capacity_; ++probes) {
    const Slot& slot = slots[i];
    if (slot.pos1 == 0) return -1;
    if (slot.hash == hash) {
      const std::string& k = entries_[slot.pos1 - 1].first;
      if (k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0) {
        return static_cast<std::ptrdiff_t>(slot.pos1 - 1);
      }
    }
    if (++i == capacity_) i = 0;
  }
  return -1;
}

void Dictionary::fileSlot(std::uint32_t hash, std::size_t pos) {
  Slot* slots = table();
  std::size_t i = hash % capacity_;
  while (slots[i].pos1 != 0) {
    if (++i == capacity_) i = 0;
  }
  slots[i] = {hash, static_cast<std::uint32_t>(pos + 1)};
}

void Dictionary::regrow(std::size_t capacity, ValueArena* arena, std::size_t room) {
  // One block: `room` entries (`capacity` unless told), then `capacity` slots.
  if (room == 0) room = capacity;
  bool pooled = false;
  auto* block = static_cast<Entry*>(
      allocateStorage(room * sizeof(Entry) + capacity * sizeof(Slot), arena, &pooled));
  auto* slots = reinterpret_cast<Slot*>(block + room);
  std::memset(static_cast<void*>(slots), 0, capacity * sizeof(Slot));
  for (std::size_t i = 0; i < count_; ++i) {
    new (&block[i]) Entry(std::move(entries_[i]));
    entries_[i].~Entry();
  }
  Entry* const old = entries_;
  const Slot* const oldSlots = table();
  const std::size_t oldCapacity = capacity_;
  const bool oldPooled = pooled_;
  entries_ = block;
  capacity_ = capacity;
  room_ = static_cast<std::uint32_t>(room);
  pooled_ = pooled;
  // The old table still holds every key's hash: no key is hashed again.
  if (old) {
    refileFrom(oldSlots, oldCapacity);
    freeStorage(old, oldPooled);
  }
}

void Dictionary::refileFrom(const Slot* slots, std::size_t capacity) {
  for (std::size_t i = 0; i < capacity; ++i) {
    if (slots[i].pos1 != 0) fileSlot(slots[i].hash, slots[i].pos1 - 1);
  }
}

void Dictionary::append(std::string&& key, std::uint32_t hash, Value&& value) {
  new (&entries_[count_]) Entry(std::move(key), std::move(value));
  fileSlot(hash, count_);
  ++count_;
}

const Value* Dictionary::find(std::string_view key) const {
  if (count_ == 0) return nullptr;
  const std::ptrdiff_t pos = position(key, hashKey(key));
  return pos < 0 ? nullptr : &entries_[pos].second;
}

Value* Dictionary::find(std::string_view key) {
  if (count_ == 0) return nullptr;
  const std::ptrdiff_t pos = position(key, hashKey(key));
  return pos < 0 ? nullptr : &entries_[pos].second;
}

const Value* Dictionary::find(std::string_view key, std::uint32_t hash) const {
  if (count_ == 0) return nullptr;
  const std::ptrdiff_t pos = position(key, hash);
  return pos < 0 ? nullptr : &entries_[pos].second;
}

void Dictionary::entryHashes(std::uint32_t* out) const {
  const Slot* slots = table();
  for (std::size_t i = 0; i < capacity_; ++i) {
    if (slots[i].pos1 != 0) out[slots[i].pos1 - 1] = slots[i].hash;
  }
}

const Value& Dictionary::operator[](std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : Value::null();
}

void Dictionary::set(std::string key, Value value) {
  const std::uint32_t hash = hashKey(key);
  set(std::move(key), hash, std::move(value));
}

void Dictionary::set(std::string key, std::uint32_t hash, Value value) {
  const std::ptrdiff_t pos = position(key, hash);
  if (pos >= 0) {
    entries_[pos].second = std::move(value);
    return;
  }
  // capacityFor(n) >= n, so growing to it leaves room for the new entry.
  // The capacity is always a listed size, so it is at least capacityFor(n)
  // exactly when it is at least floor(n * 1.33): the list is searched only
  // when the table grows.
  if ((count_ + 1) * 133 / 100 > capacity_) {
    regrow(capacityFor(count_ + 1));
  } else if (count_ == room_) {
    regrow(capacity_);  // an adopted dictionary's first added key
  }
  append(std::move(key), hash, std::move(value));
}

bool Dictionary::remove(std::string_view key) {
  const std::uint32_t hash = hashKey(key);
  const std::ptrdiff_t found = position(key, hash);
  if (found < 0) return false;
  const auto pos = static_cast<std::size_t>(found);
  Slot* slots = table();
  // Empty the key's slot, then take out and file again every slot of the
  // rest of its cluster, so that each stays reachable from its home.
  std::size_t i = hash % capacity_;
  while (slots[i].pos1 != pos + 1) {
    if (++i == capacity_) i = 0;
  }
  slots[i] = {0, 0};
  for (std::size_t j = (i + 1) % capacity_; slots[j].pos1 != 0; j = (j + 1) % capacity_) {
    const Slot moved = slots[j];
    slots[j] = {0, 0};
    fileSlot(moved.hash, moved.pos1 - 1);
  }
  // Close the gap in the entries and renumber the slots after it.
  for (std::size_t k = pos; k + 1 < count_; ++k) entries_[k] = std::move(entries_[k + 1]);
  entries_[count_ - 1].~Entry();
  --count_;
  for (std::size_t k = 0; k < capacity_; ++k) {
    if (slots[k].pos1 > pos + 1) --slots[k].pos1;
  }
  return true;
}

void Dictionary::clear() { destroy(); }

void Dictionary::reserve(std::size_t n) {
  if (n * 133 / 100 > capacity_) {
    regrow(capacityFor(n));
  } else if (n > room_) {
    regrow(capacity_);
  }
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> out;
  out.reserve(count_);
  for (const auto& entry : *this) out.push_back(entry.first);
  return out;
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (count_ != other.count_) return false;
  for (std::size_t i = 0; i < count_; ++i) {
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

// The storage of a string, in one of two forms:
//  - a std::string (`text`), for a string made from a std::string, for one
//    short enough for the std::string to keep it without an allocation of its
//    own, and for one that was changed through mutableString();
//  - the characters after the header, in the same allocation, for a longer
//    string made from characters (a parsed string). `text` is then made from
//    them on the first call of text(), once, whichever thread calls first;
//    `state` tells the form and orders the making against the readers.
// Once `text` exists it holds the string (a unique owner may change it);
// before, the characters do.
class StringRep : public detail::ValueRep {
 public:
  static StringRep* make(std::string text) {
    auto* rep = new (::operator new(sizeof(StringRep))) StringRep(0);
    new (&rep->text_) std::string(std::move(text));
    rep->state_.store(kText, std::memory_order_relaxed);
    return rep;
  }

  // From `arena` when one is given and has room.
  static StringRep* make(std::string_view chars, ValueArena* arena = nullptr) {
    const bool inlineChars = chars.size() > shortMax();
    const std::size_t bytes = sizeof(StringRep) + (inlineChars ? chars.size() + 1 : 0);
    void* memory = arena ? arena->allocate(bytes) : nullptr;
    const bool pooled = memory != nullptr;
    if (!pooled) memory = ::operator new(bytes);
    auto* rep = new (memory) StringRep(inlineChars ? chars.size() : 0);
    rep->pooled = pooled;
    if (inlineChars) {
      char* to = rep->chars();
      std::memcpy(to, chars.data(), chars.size());
      to[chars.size()] = '\0';
    } else {
      // Kept by the std::string without an allocation of its own.
      new (&rep->text_) std::string(chars);
      rep->state_.store(kText, std::memory_order_relaxed);
    }
    return rep;
  }

  // Drops one reference; the last one frees the storage.
  static void drop(detail::ValueRep* base) noexcept {
    // The sole owner may free without an atomic write: nobody else can add a
    // reference to storage that only it can reach.
    if (base->refs.load(std::memory_order_acquire) == 1 ||
        base->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      auto* rep = static_cast<StringRep*>(base);
      if (rep->state_.load(std::memory_order_relaxed) == kText) rep->text_.~basic_string();
      const bool pooled = rep->pooled;
      rep->~StringRep();
      if (pooled) {
        ValueArena::release(rep);
      } else {
        ::operator delete(rep);
      }
    }
  }

  std::string_view view() const {
    if (state_.load(std::memory_order_acquire) == kText) return text_;
    return {chars(), size_};
  }

  const std::string& text() const {
    if (state_.load(std::memory_order_acquire) == kText) return text_;
    return makeText();
  }

  // For a unique owner about to change the string.
  std::string& mutableText() { return const_cast<std::string&>(text()); }

 private:
  enum State : std::uint8_t { kChars, kMaking, kText };

  explicit StringRep(std::size_t size) : size_(size) {}
  // `text_` is ended by drop(), which knows whether it was made.
  ~StringRep() {}

  // The longest string a std::string keeps without allocating.
  static std::size_t shortMax() {
    static const std::size_t max = std::string().capacity();
    return max;
  }

  const char* chars() const { return reinterpret_cast<const char*>(this + 1); }
  char* chars() { return reinterpret_cast<char*>(this + 1); }

  const std::string& makeText() const {
    auto* self = const_cast<StringRep*>(this);
    for (;;) {
      std::uint8_t state = kChars;
      if (self->state_.compare_exchange_strong(state, kMaking, std::memory_order_acquire)) {
        try {
          new (&self->text_) std::string(chars(), size_);
        } catch (...) {
          self->state_.store(kChars, std::memory_order_release);
          self->state_.notify_all();
          throw;
        }
        self->state_.store(kText, std::memory_order_release);
        self->state_.notify_all();
        return text_;
      }
      if (state == kText) return text_;
      // Another thread is making it.
      self->state_.wait(kMaking, std::memory_order_acquire);
    }
  }

  std::atomic<std::uint8_t> state_{kChars};
  std::size_t size_;  // of the characters after the header
  union {
    std::string text_;  // made when `state_` becomes kText
  };
};

inline StringRep* stringOf(detail::ValueRep* rep) { return static_cast<StringRep*>(rep); }

template <typename T>
struct RepType {
  using type = Boxed<T>;
};
template <>
struct RepType<ArrayRep> {
  using type = ArrayRep;
};
template <>
struct RepType<DictionaryRep> {
  using type = DictionaryRep;
};

template <typename T>
inline void dropRep(detail::ValueRep* rep) noexcept {
  // The sole owner may free without an atomic write: nobody else can add a
  // reference to storage that only it can reach.
  if (rep->refs.load(std::memory_order_acquire) == 1 ||
      rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    using Rep = typename RepType<T>::type;
    auto* typed = static_cast<Rep*>(rep);
    if (rep->pooled) {
      // A virtual destructor for array and dictionary storage: it ends the
      // derived class the piece holds.
      typed->~Rep();
      ValueArena::release(typed);
    } else {
      delete typed;
    }
  }
}

inline bool isUnique(const detail::ValueRep* rep) {
  return rep->refs.load(std::memory_order_acquire) == 1;
}

inline const kx::Array& arrayOf(const detail::ValueRep* rep) {
  return static_cast<const ArrayRep*>(rep)->objects();
}

inline const kx::Dictionary& dictOf(const detail::ValueRep* rep) {
  return static_cast<const DictionaryRep*>(rep)->dictionary();
}

template <typename T>
const T& emptyOf() {
  static const T* empty = new T();
  return *empty;
}

}  // namespace

void Value::release() noexcept {
  switch (kind_) {
    case Kind::String: StringRep::drop(rep_); break;
    case Kind::Data: dropRep<Bytes>(rep_); break;
    case Kind::Array: dropRep<ArrayRep>(rep_); break;
    case Kind::Dictionary: dropRep<DictionaryRep>(rep_); break;
    default: break;
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
    rep_ = StringRep::make(std::string_view(s));
    kind_ = Kind::String;
  }
}

Value::Value(std::string s) : kind_(Kind::String) { rep_ = StringRep::make(std::move(s)); }

Value::Value(std::string_view s) : kind_(Kind::String) { rep_ = StringRep::make(s); }

Value::Value(std::string_view s, ValueArena& arena) : kind_(Kind::String) {
  rep_ = StringRep::make(s, &arena);
}

Value::Value(Bytes data) : kind_(Kind::Data) { rep_ = new Boxed<Bytes>(std::move(data)); }

Value::Value(kx::Array array) : kind_(Kind::Array) { rep_ = new ArrayRep(std::move(array)); }

Value::Value(kx::Dictionary dict) : kind_(Kind::Dictionary) {
  rep_ = new DictionaryRep(std::move(dict));
}

ArrayRep::~ArrayRep() {
  // Large parsed documents are mostly arrays of records. Releasing a record
  // walks its storage, seldom still in the cache by then: the storage of the
  // records a few places ahead is fetched meanwhile, so that the waits
  // overlap. A record's entries are looked up only when this array holds
  // its only reference, so that no other thread can be changing it.
  Value* const items = objects_.data();
  const std::size_t n = objects_.size();
  constexpr std::size_t kNodeAhead = 4;
  constexpr std::size_t kEntriesAhead = 2;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kNodeAhead < n) {
      if (const DictionaryRep* ahead = items[i + kNodeAhead].dictionaryRep())
        __builtin_prefetch(ahead);
    }
    if (i + kEntriesAhead < n) {
      const DictionaryRep* next = items[i + kEntriesAhead].dictionaryRep();
      if (next && next->refs.load(std::memory_order_acquire) == 1) {
        const std::span<const Dictionary::Entry> entries = next->dictionary().entries();
        const auto* bytes = reinterpret_cast<const char*>(entries.data());
        const std::size_t size = entries.size_bytes();
        for (std::size_t at = 0; at < size; at += 64) __builtin_prefetch(bytes + at);
      }
    }
    items[i] = Value();
  }
}
DictionaryRep::~DictionaryRep() = default;

Value Value::adopt(ArrayRep* rep) noexcept {
  Value v;
  v.kind_ = Kind::Array;
  v.rep_ = rep;
  return v;
}

Value Value::adopt(DictionaryRep* rep) noexcept {
  Value v;
  v.kind_ = Kind::Dictionary;
  v.rep_ = rep;
  return v;
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
    case Kind::Bool: return b_;
    case Kind::Int64: return i_ != 0;
    case Kind::UInt64: return u_ != 0;
    case Kind::Double:
    case Kind::Date: return d_ != 0.0;
    case Kind::String: return Text::leadingBool(stringOf(rep_)->view());
    default: return false;
  }
}

std::int64_t Value::intValue() const {
  switch (kind_) {
    case Kind::Bool: return b_ ? 1 : 0;
    case Kind::Int64: return i_;
    case Kind::UInt64:
      return u_ > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? std::numeric_limits<std::int64_t>::max()
                 : static_cast<std::int64_t>(u_);
    case Kind::Double:
    case Kind::Date: return doubleToInt64(d_);
    case Kind::String: return Text::leadingInt64(stringOf(rep_)->view());
    default: return 0;
  }
}

std::uint64_t Value::unsignedValue() const {
  switch (kind_) {
    case Kind::Bool: return b_ ? 1 : 0;
    case Kind::Int64: return i_ < 0 ? 0 : static_cast<std::uint64_t>(i_);
    case Kind::UInt64: return u_;
    case Kind::Double:
    case Kind::Date: return doubleToUInt64(d_);
    case Kind::String: return Text::leadingUInt64(stringOf(rep_)->view());
    default: return 0;
  }
}

double Value::doubleValue() const {
  switch (kind_) {
    case Kind::Bool: return b_ ? 1.0 : 0.0;
    case Kind::Int64: return static_cast<double>(i_);
    case Kind::UInt64: return static_cast<double>(u_);
    case Kind::Double:
    case Kind::Date: return d_;
    case Kind::String: return Text::leadingDouble(stringOf(rep_)->view());
    default: return 0.0;
  }
}

std::string Value::stringValue() const {
  switch (kind_) {
    case Kind::Bool: return b_ ? "1" : "0";
    case Kind::Int64: return Text::toString(i_);
    case Kind::UInt64: return Text::toString(u_);
    case Kind::Double: return Text::toString(d_);
    case Kind::String: return std::string(stringOf(rep_)->view());
    default: return std::string();
  }
}

// ---------------------------------------------------------------------------
// Typed access.
// ---------------------------------------------------------------------------
const std::string& Value::string() const {
  return kind_ == Kind::String ? stringOf(rep_)->text() : emptyOf<std::string>();
}

std::string_view Value::stringView() const {
  return kind_ == Kind::String ? stringOf(rep_)->view() : std::string_view();
}

const Bytes& Value::bytes() const {
  return kind_ == Kind::Data ? payload<Bytes>(rep_) : emptyOf<Bytes>();
}

double Value::dateValue() const { return kind_ == Kind::Date ? d_ : 0.0; }

const kx::Array& Value::array() const {
  return kind_ == Kind::Array ? arrayOf(rep_) : emptyOf<kx::Array>();
}

const kx::Dictionary& Value::dict() const {
  return kind_ == Kind::Dictionary ? dictOf(rep_) : emptyOf<kx::Dictionary>();
}

void Value::makeUniqueContainer(Kind kind) {
  if (kind_ != kind) {
    if (hasRep()) release();
    switch (kind) {
      case Kind::String: rep_ = StringRep::make(std::string()); break;
      case Kind::Array: rep_ = new ArrayRep(); break;
      case Kind::Dictionary: rep_ = new DictionaryRep(); break;
      default: return;
    }
    kind_ = kind;
    return;
  }
  const bool unique = isUnique(rep_);
  if (unique && !rep_->derived) return;
  detail::ValueRep* copy = nullptr;
  switch (kind) {
    case Kind::String: copy = StringRep::make(std::string(stringOf(rep_)->view())); break;
    case Kind::Array:
      // Storage of a derived class (a parsed collection) is never changed
      // through a Value: its contents move (or are copied) into plain storage.
      if (unique) {
        copy = new ArrayRep(std::move(static_cast<ArrayRep*>(rep_)->objects_));
      } else {
        copy = new ArrayRep(arrayOf(rep_));
      }
      break;
    case Kind::Dictionary:
      if (unique) {
        copy = new DictionaryRep(std::move(static_cast<DictionaryRep*>(rep_)->dictionary_));
      } else {
        copy = new DictionaryRep(dictOf(rep_));
      }
      break;
    default: return;
  }
  release();
  rep_ = copy;
  kind_ = kind;
}

kx::Array& Value::mutableArray() {
  makeUniqueContainer(Kind::Array);
  return static_cast<ArrayRep*>(rep_)->objects_;
}

kx::Dictionary& Value::mutableDict() {
  makeUniqueContainer(Kind::Dictionary);
  return static_cast<DictionaryRep*>(rep_)->dictionary_;
}

std::string& Value::mutableString() {
  makeUniqueContainer(Kind::String);
  return stringOf(rep_)->mutableText();
}

// ---------------------------------------------------------------------------
// Lookups.
// ---------------------------------------------------------------------------
const Value& Value::operator[](std::string_view key) const {
  if (kind_ != Kind::Dictionary) return null();
  return dictOf(rep_)[key];
}

const Value* Value::find(std::string_view key) const {
  if (kind_ != Kind::Dictionary) return nullptr;
  return dictOf(rep_).find(key);
}

const Value& Value::operator[](std::size_t index) const {
  if (kind_ != Kind::Array) return null();
  const kx::Array& a = arrayOf(rep_);
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
    case Kind::String: return stringOf(rep_)->view().size();
    case Kind::Data: return payload<Bytes>(rep_).size();
    case Kind::Array: return arrayOf(rep_).size();
    case Kind::Dictionary: return dictOf(rep_).size();
    default: return 0;
  }
}

// ---------------------------------------------------------------------------
// Equality.
// ---------------------------------------------------------------------------
bool Value::operator==(const Value& other) const {
  if (hasRep() && other.kind_ == kind_ && rep_ == other.rep_) return true;
  switch (kind_) {
    case Kind::Null: return other.kind_ == Kind::Null;
    case Kind::Bool: return other.kind_ == Kind::Bool && other.b_ == b_;
    case Kind::Int64:
      switch (other.kind_) {
        case Kind::Int64: return i_ == other.i_;
        case Kind::UInt64: return i_ >= 0 && static_cast<std::uint64_t>(i_) == other.u_;
        case Kind::Double: return doubleEqualsInt64(other.d_, i_);
        default: return false;
      }
    case Kind::UInt64:
      switch (other.kind_) {
        case Kind::Int64: return other.i_ >= 0 && static_cast<std::uint64_t>(other.i_) == u_;
        case Kind::UInt64: return u_ == other.u_;
        case Kind::Double: return doubleEqualsUInt64(other.d_, u_);
        default: return false;
      }
    case Kind::Double:
      switch (other.kind_) {
        case Kind::Int64: return doubleEqualsInt64(d_, other.i_);
        case Kind::UInt64: return doubleEqualsUInt64(d_, other.u_);
        case Kind::Double:
          // NaN equals NaN so that equality stays reflexive for deep compares.
          return d_ == other.d_ || (std::isnan(d_) && std::isnan(other.d_));
        default: return false;
      }
    case Kind::Date: return other.kind_ == Kind::Date && d_ == other.d_;
    case Kind::String:
      return other.kind_ == Kind::String && stringOf(rep_)->view() == stringOf(other.rep_)->view();
    case Kind::Data:
      return other.kind_ == Kind::Data && payload<Bytes>(rep_) == payload<Bytes>(other.rep_);
    case Kind::Array: return other.kind_ == Kind::Array && arrayOf(rep_) == arrayOf(other.rep_);
    case Kind::Dictionary:
      return other.kind_ == Kind::Dictionary && dictOf(rep_) == dictOf(other.rep_);
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
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
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
    case Value::Kind::Null: out->append("null"); break;
    case Value::Kind::Bool: out->append(v.boolValue() ? "true" : "false"); break;
    case Value::Kind::Int64:
    case Value::Kind::UInt64:
    case Value::Kind::Double: out->append(v.stringValue()); break;
    case Value::Kind::String: appendQuoted(v.stringView(), out); break;
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
    case Value::Kind::Date: out->append("date(" + Text::toString(v.dateValue()) + ")"); break;
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
