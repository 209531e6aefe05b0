// The binary form of property lists ("bplist00"): PropertyList::parseBinary
// and PropertyList::serializeBinary. Layout: the 8-byte magic, the objects,
// a table of object offsets, and a 32-byte trailer (offset size, reference
// size, object count, top object, offset-table position; integers are
// big-endian).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

#include "platform/PropertyList.h"
#include "platform/Text.h"

namespace kx {

namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr std::size_t kTrailerSize = 32;
// Dates count from 2001-01-01T00:00:00Z in the binary form.
constexpr double kReferenceDateSince1970 = 978307200.0;

enum Marker : std::uint8_t {
  kFalse = 0x08,
  kTrue = 0x09,
  kInt = 0x10,
  kReal = 0x20,
  kDate = 0x33,
  kData = 0x40,
  kAsciiString = 0x50,
  kUtf16String = 0x60,
  kUid = 0x80,
  kArray = 0xA0,
  kSet = 0xC0,
  kDict = 0xD0,
};

Error readError(std::string description) {
  return Error::make(kCocoaErrorDomain, kPropertyListReadCorruptError,
                     "The binary property list could not be read: " + std::move(description));
}

Error writeError(std::string description) {
  return Error::make(kCocoaErrorDomain, kPropertyListWriteInvalidError, std::move(description));
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Bytes needed for an unsigned value: 1, 2, 4 or 8.
std::size_t byteWidth(std::uint64_t v) {
  if (v <= 0xFF) return 1;
  if (v <= 0xFFFF) return 2;
  if (v <= 0xFFFFFFFFu) return 4;
  return 8;
}

// ---------------------------------------------------------------------------
// Reading

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view bytes)
      : data_(reinterpret_cast<const std::uint8_t*>(bytes.data())), size_(bytes.size()) {}

  std::optional<Value> run(Error* error) {
    std::optional<Value> result = readAll();
    if (!result) SetError(error, readError(failure_));
    return result;
  }

 private:
  bool fail(std::string why) {
    if (failure_.empty()) failure_ = std::move(why);
    return false;
  }

  std::optional<Value> readAll() {
    if (size_ < kMagic.size() + kTrailerSize ||
        std::memcmp(data_, kMagic.data(), kMagic.size()) != 0) {
      fail("no header or trailer.");
      return std::nullopt;
    }
    const std::uint8_t* trailer = data_ + size_ - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    const std::uint64_t count = readBigEndian(trailer + 8, 8);
    const std::uint64_t top = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    const std::uint64_t tableEnd = size_ - kTrailerSize;
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) {
      fail("bad offset or reference size.");
      return std::nullopt;
    }
    if (count == 0 || top >= count || tableOffset < kMagic.size() || tableOffset > tableEnd ||
        count > (tableEnd - tableOffset) / offsetSize_) {
      fail("bad object count or offset table.");
      return std::nullopt;
    }
    objectsEnd_ = tableOffset;
    offsets_.resize(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      offsets_[i] = readBigEndian(data_ + tableOffset + i * offsetSize_, offsetSize_);
      if (offsets_[i] < kMagic.size() || offsets_[i] >= objectsEnd_) {
        fail("an object offset lies outside the objects.");
        return std::nullopt;
      }
    }
    cache_.resize(count);
    state_.assign(count, State::Unread);
    heights_.assign(count, 0);
    Value value;
    std::size_t height = 0;
    if (!object(top, 0, &value, &height)) return std::nullopt;
    return value;
  }

  // The bytes [at, at + n) must lie among the objects.
  bool have(std::uint64_t at, std::uint64_t n) {
    if (at > objectsEnd_ || n > objectsEnd_ - at) return fail("an object runs past its end.");
    return true;
  }

  // The count of a container, data or string whose marker is at `*at`; moves
  // `*at` past the marker and the count.
  bool count(std::uint64_t* at, std::uint64_t* n) {
    const std::uint8_t info = data_[*at] & 0x0F;
    *at += 1;
    if (info != 0x0F) {
      *n = info;
      return true;
    }
    if (!have(*at, 1)) return false;
    const std::uint8_t marker = data_[*at];
    if ((marker & 0xF0) != kInt || (marker & 0x0F) > 3) return fail("bad count.");
    const std::size_t width = std::size_t{1} << (marker & 0x0F);
    if (!have(*at + 1, width)) return false;
    *n = readBigEndian(data_ + *at + 1, width);
    *at += 1 + width;
    return true;
  }

  bool refs(std::uint64_t at, std::uint64_t n, std::vector<std::uint64_t>* out) {
    if (n > (objectsEnd_ - std::min(at, objectsEnd_)) / refSize_ || !have(at, n * refSize_)) {
      return fail("a container runs past its end.");
    }
    out->resize(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      (*out)[i] = readBigEndian(data_ + at + i * refSize_, refSize_);
      if ((*out)[i] >= offsets_.size()) return fail("a reference names no object.");
    }
    return true;
  }

  // Reads object `index` at nesting `depth` into `*out` and raises `*height`
  // to its nesting height.
  bool object(std::uint64_t index, std::size_t depth, Value* out, std::size_t* height) {
    if (state_[index] == State::Reading) return fail("a container holds itself.");
    if (state_[index] == State::Unread) {
      state_[index] = State::Reading;
      if (!decode(offsets_[index], depth, out, &heights_[index])) return false;
      cache_[index] = *out;
      state_[index] = State::Read;
    } else {
      // Read before, perhaps at a shallower depth.
      if (depth + heights_[index] > PropertyList::kMaxDepth) return fail("nested too deeply.");
      *out = cache_[index];
    }
    *height = std::max(*height, heights_[index]);
    return true;
  }

  // Decodes the object at `at`; `*height` becomes its nesting height (0 for
  // anything but a container).
  bool decode(std::uint64_t at, std::size_t depth, Value* out, std::size_t* height) {
    *height = 0;
    const std::uint8_t marker = data_[at];
    const std::uint8_t info = marker & 0x0F;
    switch (marker & 0xF0) {
      case 0x00:
        if (marker == kFalse || marker == kTrue) {
          *out = Value(marker == kTrue);
          return true;
        }
        return fail("a null or unknown simple object.");
      case kInt: {
        if (info > 4) return fail("bad integer size.");
        const std::size_t width = std::size_t{1} << info;
        if (!have(at + 1, width)) return false;
        const std::uint8_t* p = data_ + at + 1;
        if (width < 8) {
          *out = Value(static_cast<long long>(readBigEndian(p, width)));
        } else if (width == 8) {
          *out = Value(static_cast<long long>(readBigEndian(p, 8)));
        } else {
          const std::uint64_t high = readBigEndian(p, 8);
          const std::uint64_t low = readBigEndian(p + 8, 8);
          if (high == 0) {
            *out = low <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                       ? Value(static_cast<long long>(low))
                       : Value(static_cast<unsigned long long>(low));
          } else if (high == ~std::uint64_t{0} && (low >> 63) == 1) {
            *out = Value(static_cast<long long>(low));
          } else {
            return fail("an integer beyond 64 bits.");
          }
        }
        return true;
      }
      case kReal: {
        if (info != 2 && info != 3) return fail("bad real size.");
        const std::size_t width = std::size_t{1} << info;
        if (!have(at + 1, width)) return false;
        const std::uint64_t bits = readBigEndian(data_ + at + 1, width);
        if (width == 4) {
          const auto narrow = static_cast<std::uint32_t>(bits);
          float f;
          std::memcpy(&f, &narrow, sizeof f);
          *out = Value(static_cast<double>(f));
        } else {
          double d;
          std::memcpy(&d, &bits, sizeof d);
          *out = Value(d);
        }
        return true;
      }
      case 0x30: {
        if (marker != kDate) return fail("bad date size.");
        if (!have(at + 1, 8)) return false;
        const std::uint64_t bits = readBigEndian(data_ + at + 1, 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        *out = Value::date(d + kReferenceDateSince1970);
        return true;
      }
      case kData:
      case kAsciiString:
      case kUtf16String: {
        std::uint64_t n;
        if (!count(&at, &n)) return false;
        const bool utf16 = (marker & 0xF0) == kUtf16String;
        if (utf16 && n > objectsEnd_ / 2) return fail("a string runs past its end.");
        const std::uint64_t bytes = utf16 ? n * 2 : n;
        if (!have(at, bytes)) return false;
        const std::uint8_t* p = data_ + at;
        if ((marker & 0xF0) == kData) {
          *out = Value::data(p, bytes);
        } else if (!utf16) {
          for (std::uint64_t i = 0; i < n; ++i) {
            if (p[i] >= 0x80) return fail("a non-ASCII byte in an ASCII string.");
          }
          *out = Value(std::string(reinterpret_cast<const char*>(p), n));
        } else {
          std::u16string units(n, u'\0');
          for (std::uint64_t i = 0; i < n; ++i) {
            units[i] = static_cast<char16_t>((p[2 * i] << 8) | p[2 * i + 1]);
          }
          *out = Value(Text::fromUtf16(units));
        }
        return true;
      }
      case kArray:
      case kDict: {
        if (depth >= PropertyList::kMaxDepth) return fail("nested too deeply.");
        std::uint64_t n;
        if (!count(&at, &n)) return false;
        const bool dict = (marker & 0xF0) == kDict;
        std::vector<std::uint64_t> keys, values;
        if (dict) {
          if (!refs(at, n, &keys)) return false;
          at += n * refSize_;
        }
        if (!refs(at, n, &values)) return false;
        std::size_t childHeight = 0;
        if (!dict) {
          Value array = Value(Array());
          array.mutableArray().reserve(n);
          for (std::uint64_t ref : values) {
            Value item;
            if (!object(ref, depth + 1, &item, &childHeight)) return false;
            array.mutableArray().push_back(std::move(item));
          }
          *out = std::move(array);
          *height = childHeight + 1;
          return true;
        }
        Value result = Value(Dictionary());
        for (std::uint64_t i = 0; i < n; ++i) {
          Value key, item;
          if (!object(keys[i], depth + 1, &key, &childHeight)) return false;
          if (!key.isString()) return fail("a dictionary key is not a string.");
          if (!object(values[i], depth + 1, &item, &childHeight)) return false;
          result.mutableDict().set(key.string(), std::move(item));
        }
        *out = std::move(result);
        *height = childHeight + 1;
        return true;
      }
      case kUid: return fail("keyed-archive identifiers are not supported.");
      case kSet: return fail("sets are not supported.");
      default: return fail("unknown object marker.");
    }
  }

  enum class State : std::uint8_t { Unread, Reading, Read };

  const std::uint8_t* data_;
  std::uint64_t size_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objectsEnd_ = 0;
  std::vector<std::uint64_t> offsets_;
  std::vector<Value> cache_;  // objects read so far, by index
  std::vector<State> state_;
  std::vector<std::size_t> heights_;  // by index: nesting height
  std::string failure_;
};

// ---------------------------------------------------------------------------
// Writing

class BinaryWriter {
 public:
  [[nodiscard]] bool run(const Value& value, std::string* out, Error* error) {
    std::string why;
    if (!collect(value, 0, &why)) {
      SetError(error, writeError(std::move(why)));
      return false;
    }
    refSize_ = byteWidth(objects_.size() - 1);
    out->assign(kMagic);
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const Object& object : objects_) {
      offsets.push_back(out->size());
      write(object, *out);
    }
    const std::uint64_t tableOffset = out->size();
    const std::size_t offsetSize = byteWidth(offsets.empty() ? 0 : offsets.back());
    for (std::uint64_t offset : offsets) appendBigEndian(*out, offset, offsetSize);
    out->append(6, '\0');  // unused, sort version
    out->push_back(static_cast<char>(offsetSize));
    out->push_back(static_cast<char>(refSize_));
    appendBigEndian(*out, objects_.size(), 8);
    appendBigEndian(*out, 0, 8);  // the top object is the first
    appendBigEndian(*out, tableOffset, 8);
    return true;
  }

 private:
  struct Object {
    const Value* value = nullptr;      // every kind but a dictionary key
    const std::string* key = nullptr;  // a dictionary key
    std::vector<std::uint64_t> refs;   // array items; dictionary keys, then values
  };

  // Lists the objects, the top one first; equal strings (keys included) are
  // written once, and so is a container whose storage several values share
  // (a list read from this form shares what the file shares: written out in
  // full, a few hundred bytes could stand for billions of objects).
  bool collect(const Value& value, std::size_t depth, std::string* why) {
    std::uint64_t unused;
    std::size_t height = 0;
    return add(value, depth, &unused, &height, why);
  }

  std::uint64_t addString(const std::string& text, const Value* value, const std::string* key) {
    auto [it, inserted] = strings_.try_emplace(text, objects_.size());
    if (inserted) objects_.push_back(Object{value, key, {}});
    return it->second;
  }

  // Adds `value` at nesting `depth`; `*index` becomes its object's index, and
  // `*height` is raised to its nesting height.
  bool add(const Value& value, std::size_t depth, std::uint64_t* index, std::size_t* height,
           std::string* why) {
    switch (value.kind()) {
      case Value::Kind::Null: *why = "A property list cannot hold a null."; return false;
      case Value::Kind::String:
        if (!Text::isValidUtf8(value.string())) {
          *why = "A string is not well-formed UTF-8.";
          return false;
        }
        *index = addString(value.string(), &value, nullptr);
        return true;
      case Value::Kind::Array:
      case Value::Kind::Dictionary: {
        const void* storage = value.isArray() ? static_cast<const void*>(value.arrayRep())
                                              : static_cast<const void*>(value.dictionaryRep());
        if (auto seen = containers_.find(storage); seen != containers_.end()) {
          if (depth + seen->second.height > PropertyList::kMaxDepth) {
            *why = "The value is nested too deeply.";
            return false;
          }
          *index = seen->second.index;
          *height = std::max(*height, seen->second.height);
          return true;
        }
        if (depth >= PropertyList::kMaxDepth) {
          *why = "The value is nested too deeply.";
          return false;
        }
        *index = objects_.size();
        objects_.push_back(Object{&value, nullptr, {}});
        std::vector<std::uint64_t> refs;
        std::size_t childHeight = 0;
        if (value.isArray()) {
          refs.reserve(value.array().size());
          for (const Value& item : value.array()) {
            std::uint64_t child;
            if (!add(item, depth + 1, &child, &childHeight, why)) return false;
            refs.push_back(child);
          }
        } else {
          const Dictionary& dict = value.dict();
          refs.reserve(dict.size() * 2);
          for (const auto& [key, item] : dict) {
            if (!Text::isValidUtf8(key)) {
              *why = "A key is not well-formed UTF-8.";
              return false;
            }
            refs.push_back(addString(key, nullptr, &key));
          }
          for (const auto& [key, item] : dict) {
            std::uint64_t child;
            if (!add(item, depth + 1, &child, &childHeight, why)) return false;
            refs.push_back(child);
          }
        }
        objects_[*index].refs = std::move(refs);
        containers_.emplace(storage, Container{*index, childHeight + 1});
        *height = std::max(*height, childHeight + 1);
        return true;
      }
      default:
        *index = objects_.size();
        objects_.push_back(Object{&value, nullptr, {}});
        return true;
    }
  }

  static void appendBigEndian(std::string& out, std::uint64_t v, std::size_t n) {
    for (std::size_t i = n; i-- > 0;) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }

  static void appendInteger(std::string& out, std::uint64_t v) {
    const std::size_t width = byteWidth(v);
    const std::uint8_t log2 = width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
    out.push_back(static_cast<char>(kInt | log2));
    appendBigEndian(out, v, width);
  }

  static void appendMarker(std::string& out, std::uint8_t type, std::uint64_t count) {
    if (count < 0x0F) {
      out.push_back(static_cast<char>(type | count));
    } else {
      out.push_back(static_cast<char>(type | 0x0F));
      appendInteger(out, count);
    }
  }

  static void appendDouble(std::string& out, std::uint8_t marker, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    out.push_back(static_cast<char>(marker));
    appendBigEndian(out, bits, 8);
  }

  static void appendString(std::string& out, const std::string& text) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      appendMarker(out, kAsciiString, text.size());
      out.append(text);
      return;
    }
    const std::u16string units = Text::toUtf16(text);
    appendMarker(out, kUtf16String, units.size());
    for (char16_t u : units) appendBigEndian(out, u, 2);
  }

  void write(const Object& object, std::string& out) const {
    if (object.key) return appendString(out, *object.key);
    const Value& value = *object.value;
    switch (value.kind()) {
      case Value::Kind::Null: break;  // refused by collect
      case Value::Kind::Bool:
        out.push_back(static_cast<char>(value.boolValue() ? kTrue : kFalse));
        break;
      case Value::Kind::Int64:
      case Value::Kind::UInt64:
        if (value.kind() == Value::Kind::Int64 && value.intValue() < 0) {
          out.push_back(static_cast<char>(kInt | 3));
          appendBigEndian(out, static_cast<std::uint64_t>(value.intValue()), 8);
        } else if (value.unsignedValue() >
                   static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          // Above the signed range: 16 bytes, the upper half zero.
          out.push_back(static_cast<char>(kInt | 4));
          appendBigEndian(out, 0, 8);
          appendBigEndian(out, value.unsignedValue(), 8);
        } else {
          appendInteger(out, value.unsignedValue());
        }
        break;
      case Value::Kind::Double: appendDouble(out, kReal | 3, value.doubleValue()); break;
      case Value::Kind::Date:
        appendDouble(out, kDate, value.dateValue() - kReferenceDateSince1970);
        break;
      case Value::Kind::Data:
        appendMarker(out, kData, value.bytes().size());
        out.append(reinterpret_cast<const char*>(value.bytes().data()), value.bytes().size());
        break;
      case Value::Kind::String: appendString(out, value.string()); break;
      case Value::Kind::Array:
      case Value::Kind::Dictionary: {
        const std::uint64_t n = value.isArray() ? object.refs.size() : object.refs.size() / 2;
        appendMarker(out, value.isArray() ? kArray : kDict, n);
        for (std::uint64_t ref : object.refs) appendBigEndian(out, ref, refSize_);
        break;
      }
    }
  }

  struct Container {
    std::uint64_t index;
    std::size_t height;
  };

  std::vector<Object> objects_;
  std::unordered_map<std::string, std::uint64_t> strings_;
  std::unordered_map<const void*, Container> containers_;  // by storage
  std::size_t refSize_ = 1;
};

}  // namespace

bool PropertyList::isBinary(std::string_view bytes) { return bytes.starts_with(kMagic); }

std::optional<Value> PropertyList::parseBinary(std::string_view bytes, Error* error) {
  BinaryReader reader(bytes);
  return reader.run(error);
}

std::optional<std::string> PropertyList::serializeBinary(const Value& value, Error* error) {
  BinaryWriter writer;
  std::string out;
  if (!writer.run(value, &out, error)) return std::nullopt;
  return out;
}

}  // namespace kx
