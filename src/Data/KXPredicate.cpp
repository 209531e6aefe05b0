#include "Data/KXPredicate.h"
#include "Data/KXStoreSchema.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "Data/KXModel.h"
#include "Data/KXStoreError.h"

namespace {

enum class Op { Eq, Ne, Lt, Le, Gt, Ge, In, Contains, EndsWith };

const char* OpText(Op op) {
  switch (op) {
    case Op::Eq: return "==";
    case Op::Ne: return "!=";
    case Op::Lt: return "<";
    case Op::Le: return "<=";
    case Op::Gt: return ">";
    case Op::Ge: return ">=";
    case Op::In: return "IN";
    case Op::Contains: return "CONTAINS";
    case Op::EndsWith: return "ENDSWITH";
  }
  return "?";
}

constexpr int kMaxDepth = 200;
constexpr std::size_t kTypeCount = 6;

// The constant of a comparison converted for one attribute type.
struct TypedConstant {
  bool ok = false;
  std::string why;
  kx::Value scalar;               // =, !=, <, ...; Null for nil
  std::vector<kx::Value> list;    // IN, nils left out
  std::unordered_set<std::string> textSet;  // IN on text, for fast tests
  bool hasNeedle = false;         // CONTAINS / ENDSWITH
  std::string needle;             // their bytes
};

bool IsNumeric(const kx::Value& v) {
  switch (v.kind()) {
    case kx::Value::Kind::Bool:
    case kx::Value::Kind::Int64:
    case kx::Value::Kind::UInt64:
    case kx::Value::Kind::Double:
    case kx::Value::Kind::Date:
      return true;
    default:
      return false;
  }
}

// Storage class rank as SQLite orders values: NULL < numbers < text < blobs.
int ClassRank(const kx::Value& v) {
  if (v.isNull()) return 0;
  if (IsNumeric(v)) return 1;
  if (v.isString()) return 2;
  return 3;
}

std::string_view BytesOf(const kx::Value& v) {
  if (v.isString()) return v.string();
  if (v.isData()) {
    const kx::Bytes& b = v.bytes();
    return {reinterpret_cast<const char*>(b.data()), b.size()};
  }
  return {};
}

int CompareNumbers(const kx::Value& a, const kx::Value& b) {
  auto isInt = [](const kx::Value& v) {
    return v.kind() == kx::Value::Kind::Int64 || v.kind() == kx::Value::Kind::Bool;
  };
  if (isInt(a) && isInt(b)) {
    std::int64_t x = a.intValue(), y = b.intValue();
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  auto asLong = [](const kx::Value& v) -> long double {
    switch (v.kind()) {
      case kx::Value::Kind::Int64:
      case kx::Value::Kind::Bool:
        return static_cast<long double>(v.intValue());
      case kx::Value::Kind::UInt64:
        return static_cast<long double>(v.unsignedValue());
      case kx::Value::Kind::Date:
        return static_cast<long double>(v.dateValue());
      default:
        return static_cast<long double>(v.doubleValue());
    }
  };
  long double x = asLong(a), y = asLong(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// SQLite's comparison of two non-null values.
int CompareScalars(const kx::Value& a, const kx::Value& b) {
  int ra = ClassRank(a), rb = ClassRank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra == 1) return CompareNumbers(a, b);
  int c = BytesOf(a).compare(BytesOf(b));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool EqualScalars(const kx::Value& a, const kx::Value& b) {
  if (ClassRank(a) != ClassRank(b)) return false;
  return CompareScalars(a, b) == 0;
}

// Converts a constant for comparison with an attribute of `type`: the
// attribute's own conversion, except that a fractional number compared with
// an integer keeps its fraction ("size > 0.5" is not "size > 0").
bool CoerceConstant(KXAttributeType type, const kx::Value& in, kx::Value* out, std::string* why) {
  if ((type == KXAttributeType::Integer || type == KXAttributeType::Time) &&
      in.kind() == kx::Value::Kind::Double) {
    double d = in.doubleValue();
    if (std::isfinite(d) && d != std::trunc(d)) {
      *out = in;
      return true;
    }
  }
  return KXAttributeDescription::coerce(type, in, out, why);
}

std::string QuoteIdentifier(std::string_view name) { return KXStoreSchema::quoteIdentifier(name); }

std::string FormatConstant(const kx::Value& v) {
  switch (v.kind()) {
    case kx::Value::Kind::Null:
      return "nil";
    case kx::Value::Kind::Bool:
      return v.boolValue() ? "YES" : "NO";
    case kx::Value::Kind::String: {
      std::string out = "\"";
      for (char c : v.string()) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      return out + "\"";
    }
    case kx::Value::Kind::Array: {
      std::string out = "{";
      bool first = true;
      for (const kx::Value& e : v.array()) {
        if (!first) out += ", ";
        first = false;
        out += FormatConstant(e);
      }
      return out + "}";
    }
    default:
      return v.isNumber() ? v.stringValue() : v.description();
  }
}

}  // namespace

struct KXPredicate::Node {
  enum class Kind { And, Or, Not, True, False, Compare };
  Kind kind = Kind::True;
  std::vector<std::shared_ptr<const Node>> children;

  // Compare
  std::string key;
  bool count = false;  // key.@count
  Op op = Op::Eq;
  kx::Value constant;

  // Conversions of the constant, made on first use for each type.
  mutable std::array<std::once_flag, kTypeCount> once;
  mutable std::array<TypedConstant, kTypeCount> typed;

  const TypedConstant& forType(KXAttributeType type) const {
    std::size_t i = static_cast<std::size_t>(type);
    std::call_once(once[i], [&] { typed[i] = convert(type); });
    return typed[i];
  }

  TypedConstant convert(KXAttributeType type) const {
    TypedConstant t;
    std::string why;
    if (op == Op::In) {
      if (constant.isNull()) {
        t.ok = true;
        return t;
      }
      for (const kx::Value& e : constant.array()) {
        if (e.isNull()) continue;
        kx::Value c;
        if (!CoerceConstant(type, e, &c, &why)) {
          t.why = why;
          return t;
        }
        if (type == KXAttributeType::String) t.textSet.insert(c.string());
        t.list.push_back(std::move(c));
      }
      t.ok = true;
      return t;
    }
    if (op == Op::Contains || op == Op::EndsWith) {
      if (type != KXAttributeType::String && type != KXAttributeType::Bytes) {
        t.why = std::string(OpText(op)) + " needs a text or bytes attribute";
        return t;
      }
      if (constant.isNull()) {
        t.ok = true;
        return t;
      }
      kx::Value c;
      if (!KXAttributeDescription::coerce(type, constant, &c, &why)) {
        t.why = why;
        return t;
      }
      t.hasNeedle = true;
      t.needle = std::string(BytesOf(c));
      t.ok = true;
      return t;
    }
    if (!CoerceConstant(type, constant, &t.scalar, &why)) {
      t.why = why;
      return t;
    }
    t.ok = true;
    return t;
  }
};

namespace {

using NodePtr = std::shared_ptr<const KXPredicate::Node>;
using MutableNode = KXPredicate::Node;

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

enum class Tok { End, LParen, RParen, Op, Word, Ident, String, Number, Placeholder };

struct Token {
  Tok type = Tok::End;
  std::string text;  // operator text, upper-cased keyword, identifier or string body
  kx::Value number;
  std::size_t offset = 0;
};

bool IsIdentStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c == '@';
}
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9') || c == '.'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

const std::unordered_set<std::string>& Keywords() {
  static const auto* words = new std::unordered_set<std::string>{
      "AND", "OR", "NOT", "IN", "CONTAINS", "ENDSWITH", "YES", "NO", "TRUE", "FALSE", "NIL",
      "NULL", "TRUEPREDICATE", "FALSEPREDICATE",
      // Recognised so that they are refused by name rather than read as keys.
      "BEGINSWITH", "LIKE", "MATCHES", "BETWEEN", "ANY", "ALL", "SOME", "NONE", "SUBQUERY",
      "FUNCTION", "SELF", "FIRST", "LAST", "SIZE", "CAST", "UTI-CONFORMS-TO", "UTI-EQUALS"};
  return *words;
}

class Parser {
 public:
  Parser(std::string_view text, const kx::Array& args) : text_(text), args_(args) {}

  NodePtr parse(kx::Error* error) {
    if (!next()) return fail(error);
    NodePtr node = parseOr(0);
    if (!node) return fail(error);
    if (tok_.type != Tok::End) {
      setError("unexpected text after the condition");
      return fail(error);
    }
    return node;
  }

 private:
  NodePtr fail(kx::Error* error) {
    if (message_.empty()) message_ = "syntax error";
    kx::SetError(error, KXStoreError(kKXStorePredicateSyntaxError,
                                     "Unable to parse the condition \"" + std::string(text_) +
                                         "\": " + message_ + " (at " + std::to_string(at_) + ")"));
    return nullptr;
  }

  void setError(std::string message) {
    if (message_.empty()) {
      message_ = std::move(message);
      at_ = tok_.offset;
    }
  }

  // Reads the next token into tok_; false on a lexical error.
  bool next() {
    std::size_t i = pos_;
    while (i < text_.size() && (text_[i] == ' ' || text_[i] == '\t' || text_[i] == '\n' ||
                                text_[i] == '\r')) {
      ++i;
    }
    tok_ = Token();
    tok_.offset = i;
    if (i >= text_.size()) {
      pos_ = i;
      tok_.type = Tok::End;
      return true;
    }
    char c = text_[i];
    auto take = [&](Tok type, std::size_t n) {
      tok_.type = type;
      tok_.text = std::string(text_.substr(i, n));
      pos_ = i + n;
      return true;
    };
    auto starts = [&](std::string_view s) { return text_.substr(i, s.size()) == s; };
    if (c == '(') return take(Tok::LParen, 1);
    if (c == ')') return take(Tok::RParen, 1);
    for (std::string_view op : {"==", "!=", "<>", "<=", "=<", ">=", "=>", "&&", "||"}) {
      if (starts(op)) return take(Tok::Op, 2);
    }
    if (c == '=' || c == '<' || c == '>' || c == '!') return take(Tok::Op, 1);
    if (c == '%') {
      if (starts("%@")) return take(Tok::Placeholder, 2);
      pos_ = i;
      setError("only %@ is supported as a placeholder");
      return false;
    }
    if (c == '\'' || c == '"') return readString(i);
    if (IsDigit(c) || ((c == '-' || c == '+' || c == '.') && i + 1 < text_.size() &&
                       (IsDigit(text_[i + 1]) ||
                        (text_[i + 1] == '.' && i + 2 < text_.size() && IsDigit(text_[i + 2]))))) {
      return readNumber(i);
    }
    if (IsIdentStart(c)) {
      std::size_t j = i;
      while (j < text_.size() && IsIdentChar(text_[j])) ++j;
      std::string word(text_.substr(i, j - i));
      pos_ = j;
      std::string upper = Upper(word);
      if (Keywords().count(upper)) {
        tok_.type = Tok::Word;
        tok_.text = upper;
      } else {
        tok_.type = Tok::Ident;
        tok_.text = word;
      }
      return true;
    }
    pos_ = i;
    setError(std::string("unexpected character '") + c + "'");
    return false;
  }

  bool readString(std::size_t i) {
    char quote = text_[i];
    std::string body;
    std::size_t j = i + 1;
    while (j < text_.size() && text_[j] != quote) {
      char c = text_[j];
      if (c == '\\' && j + 1 < text_.size()) {
        char e = text_[j + 1];
        switch (e) {
          case 'n': body += '\n'; break;
          case 't': body += '\t'; break;
          case 'r': body += '\r'; break;
          case '0': body += '\0'; break;
          default: body += e; break;
        }
        j += 2;
        continue;
      }
      body += c;
      ++j;
    }
    if (j >= text_.size()) {
      pos_ = i;
      setError("unterminated text");
      return false;
    }
    tok_.type = Tok::String;
    tok_.text = std::move(body);
    pos_ = j + 1;
    return true;
  }

  bool readNumber(std::size_t i) {
    std::size_t j = i;
    if (text_[j] == '-' || text_[j] == '+') ++j;
    bool isReal = false;
    while (j < text_.size() && IsDigit(text_[j])) ++j;
    if (j < text_.size() && text_[j] == '.') {
      isReal = true;
      ++j;
      while (j < text_.size() && IsDigit(text_[j])) ++j;
    }
    if (j < text_.size() && (text_[j] == 'e' || text_[j] == 'E')) {
      std::size_t k = j + 1;
      if (k < text_.size() && (text_[k] == '-' || text_[k] == '+')) ++k;
      if (k < text_.size() && IsDigit(text_[k])) {
        isReal = true;
        j = k;
        while (j < text_.size() && IsDigit(text_[j])) ++j;
      }
    }
    if (j < text_.size() && IsIdentStart(text_[j])) {
      pos_ = i;
      setError("malformed number");
      return false;
    }
    std::string_view digits = text_.substr(i, j - i);
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    tok_.type = Tok::Number;
    tok_.text = std::string(digits);
    pos_ = j;
    if (!isReal) {
      std::int64_t v = 0;
      auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
      if (ec == std::errc() && end == digits.data() + digits.size()) {
        tok_.number = kx::Value(static_cast<long long>(v));
        return true;
      }
    }
    double d = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), d);
    if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(d)) {
      pos_ = i;
      setError("malformed number");
      return false;
    }
    tok_.number = kx::Value(d);
    return true;
  }

  bool isWord(const char* w) const { return tok_.type == Tok::Word && tok_.text == w; }
  bool isOp(const char* o) const { return tok_.type == Tok::Op && tok_.text == o; }

  NodePtr parseOr(int depth) {
    if (depth > kMaxDepth) {
      setError("the condition nests too deeply");
      return nullptr;
    }
    NodePtr first = parseAnd(depth + 1);
    if (!first) return nullptr;
    if (!(isWord("OR") || isOp("||"))) return first;
    auto node = std::make_shared<MutableNode>();
    node->kind = MutableNode::Kind::Or;
    node->children.push_back(first);
    while (isWord("OR") || isOp("||")) {
      if (!next()) return nullptr;
      NodePtr child = parseAnd(depth + 1);
      if (!child) return nullptr;
      node->children.push_back(child);
    }
    return node;
  }

  NodePtr parseAnd(int depth) {
    NodePtr first = parseNot(depth + 1);
    if (!first) return nullptr;
    if (!(isWord("AND") || isOp("&&"))) return first;
    auto node = std::make_shared<MutableNode>();
    node->kind = MutableNode::Kind::And;
    node->children.push_back(first);
    while (isWord("AND") || isOp("&&")) {
      if (!next()) return nullptr;
      NodePtr child = parseNot(depth + 1);
      if (!child) return nullptr;
      node->children.push_back(child);
    }
    return node;
  }

  NodePtr parseNot(int depth) {
    if (depth > kMaxDepth) {
      setError("the condition nests too deeply");
      return nullptr;
    }
    if (isWord("NOT") || isOp("!")) {
      if (!next()) return nullptr;
      NodePtr child = parseNot(depth + 1);
      if (!child) return nullptr;
      auto node = std::make_shared<MutableNode>();
      node->kind = MutableNode::Kind::Not;
      node->children.push_back(child);
      return node;
    }
    if (tok_.type == Tok::LParen) {
      if (!next()) return nullptr;
      NodePtr inner = parseOr(depth + 1);
      if (!inner) return nullptr;
      if (tok_.type != Tok::RParen) {
        setError("missing ')'");
        return nullptr;
      }
      if (!next()) return nullptr;
      return inner;
    }
    if (isWord("TRUEPREDICATE") || isWord("FALSEPREDICATE")) {
      auto node = std::make_shared<MutableNode>();
      node->kind = isWord("TRUEPREDICATE") ? MutableNode::Kind::True : MutableNode::Kind::False;
      if (!next()) return nullptr;
      return node;
    }
    return parseComparison();
  }

  NodePtr parseComparison() {
    if (tok_.type != Tok::Ident) {
      if (tok_.type == Tok::Word) {
        setError("'" + tok_.text + "' is not supported here");
      } else if (tok_.type == Tok::End) {
        setError("the condition ends too early");
      } else {
        setError("a comparison must start with a key");
      }
      return nullptr;
    }
    auto node = std::make_shared<MutableNode>();
    node->kind = MutableNode::Kind::Compare;
    if (!parseKeyPath(tok_.text, node.get())) return nullptr;
    if (!next()) return nullptr;

    if (tok_.type == Tok::Op) {
      const std::string& o = tok_.text;
      if (o == "=" || o == "==") node->op = Op::Eq;
      else if (o == "!=" || o == "<>") node->op = Op::Ne;
      else if (o == "<") node->op = Op::Lt;
      else if (o == "<=" || o == "=<") node->op = Op::Le;
      else if (o == ">") node->op = Op::Gt;
      else if (o == ">=" || o == "=>") node->op = Op::Ge;
      else {
        setError("unexpected '" + o + "'");
        return nullptr;
      }
    } else if (isWord("IN")) {
      node->op = Op::In;
    } else if (isWord("CONTAINS")) {
      node->op = Op::Contains;
    } else if (isWord("ENDSWITH")) {
      node->op = Op::EndsWith;
    } else if (tok_.type == Tok::Word) {
      setError("the operator " + tok_.text + " is not supported");
      return nullptr;
    } else {
      setError("an operator is expected after the key");
      return nullptr;
    }
    if (!next()) return nullptr;
    if (tok_.type == Tok::LParen || (tok_.type == Tok::Op && tok_.text == "[")) {
      setError("unsupported value");
      return nullptr;
    }
    if (!parseValue(node.get())) return nullptr;
    if (!next()) return nullptr;
    if (tok_.type == Tok::Op && (tok_.text == "[")) {
      setError("comparison options are not supported");
      return nullptr;
    }
    if (node->op == Op::In && !node->constant.isNull() && !node->constant.isArray()) {
      setError("IN needs an array");
      return nullptr;
    }
    if (node->op != Op::In && (node->constant.isArray() || node->constant.isDictionary())) {
      setError(std::string(OpText(node->op)) + " cannot compare with a collection");
      return nullptr;
    }
    if (node->count && (node->op == Op::Contains || node->op == Op::EndsWith)) {
      setError("@count cannot be searched as text");
      return nullptr;
    }
    return node;
  }

  bool parseKeyPath(const std::string& path, MutableNode* node) {
    std::size_t dot = path.find('.');
    std::string head = path.substr(0, dot);
    if (head.empty() || head[0] == '@' || head.find('@') != std::string::npos) {
      setError("malformed key \"" + path + "\"");
      return false;
    }
    if (dot == std::string::npos) {
      node->key = head;
      return true;
    }
    std::string rest = path.substr(dot + 1);
    if (rest != "@count") {
      setError("key paths through relationships are not supported (\"" + path + "\")");
      return false;
    }
    node->key = head;
    node->count = true;
    return true;
  }

  bool parseValue(MutableNode* node) {
    switch (tok_.type) {
      case Tok::String:
        node->constant = kx::Value(tok_.text);
        return true;
      case Tok::Number:
        node->constant = tok_.number;
        return true;
      case Tok::Placeholder:
        if (argIndex_ >= args_.size()) {
          setError("more %@ than arguments");
          return false;
        }
        node->constant = args_[argIndex_++];
        return true;
      case Tok::Word:
        if (tok_.text == "YES" || tok_.text == "TRUE") {
          node->constant = kx::Value(true);
          return true;
        }
        if (tok_.text == "NO" || tok_.text == "FALSE") {
          node->constant = kx::Value(false);
          return true;
        }
        if (tok_.text == "NIL" || tok_.text == "NULL") {
          node->constant = kx::Value();
          return true;
        }
        setError("'" + tok_.text + "' is not a value");
        return false;
      case Tok::Ident:
        setError("comparing two keys is not supported");
        return false;
      default:
        setError("a value is expected");
        return false;
    }
  }

  std::string_view text_;
  const kx::Array& args_;
  std::size_t argIndex_ = 0;
  std::size_t pos_ = 0;
  Token tok_;
  std::string message_;
  std::size_t at_ = 0;
};

// ---------------------------------------------------------------------------
// Resolving keys
// ---------------------------------------------------------------------------

struct Resolved {
  const KXAttributeDescription* attribute = nullptr;
  const KXRelationshipDescription* relationship = nullptr;  // to-one, or to-many with count
};

bool Resolve(const MutableNode& node, const KXEntityDescription& entity, Resolved* out,
             kx::Error* error) {
  const KXPropertyDescription* p = entity.property(node.key);
  if (!p) {
    kx::SetError(error, KXStoreError(kKXStoreUnknownKeyError,
                                     "The entity " + entity.name() + " has no key \"" + node.key +
                                         "\""));
    return false;
  }
  if (node.count) {
    if (p->kind() != KXPropertyDescription::Kind::ToMany) {
      kx::SetError(error, KXStoreError(kKXStoreUnknownKeyError,
                                       "\"" + node.key + "\" of " + entity.name() +
                                           " is not a to-many relationship"));
      return false;
    }
    out->relationship = static_cast<const KXRelationshipDescription*>(p);
    return true;
  }
  if (p->isAttribute()) {
    out->attribute = static_cast<const KXAttributeDescription*>(p);
    return true;
  }
  if (p->kind() == KXPropertyDescription::Kind::ToOne &&
      (node.op == Op::Eq || node.op == Op::Ne)) {
    out->relationship = static_cast<const KXRelationshipDescription*>(p);
    return true;
  }
  kx::SetError(error, KXStoreError(kKXStoreTypeError,
                                   "The relationship \"" + node.key + "\" of " + entity.name() +
                                       " can only be compared with nil or an object ID" +
                                       (p->kind() == KXPropertyDescription::Kind::ToMany
                                            ? " (use .@count)"
                                            : "")));
  return false;
}

const TypedConstant* ConstantFor(const MutableNode& node, KXAttributeType type,
                                 const std::string& what, kx::Error* error) {
  const TypedConstant& t = node.forType(type);
  if (!t.ok) {
    kx::SetError(error, KXStoreError(kKXStoreTypeError, "Cannot compare " + what + " (" +
                                                            KXAttributeTypeName(type) + ") with " +
                                                            FormatConstant(node.constant) + ": " +
                                                            t.why));
    return nullptr;
  }
  return &t;
}

// The row key named by a to-one comparison's constant: 0 for nil, -1 for an
// ID of another table (matches nothing), or the key.
bool ToOneKey(const MutableNode& node, const KXRelationshipDescription& rel, std::int64_t* key,
              kx::Error* error) {
  if (node.constant.isNull()) {
    *key = 0;
    return true;
  }
  KXObjectID id = KXObjectID::fromValue(node.constant);
  if (id.isNull()) {
    kx::SetError(error, KXStoreError(kKXStoreTypeError, "\"" + node.key +
                                                            "\" can only be compared with nil "
                                                            "or an object ID"));
    return false;
  }
  *key = (id.table() == &rel.destination().rootEntity()) ? id.primaryKey() : -1;
  return true;
}

// ---------------------------------------------------------------------------
// Evaluation
// ---------------------------------------------------------------------------

bool CompareValue(Op op, const kx::Value& v, const TypedConstant& c) {
  switch (op) {
    case Op::In: {
      if (v.isNull()) return false;
      if (!c.textSet.empty() && v.isString()) return c.textSet.count(v.string()) != 0;
      for (const kx::Value& e : c.list) {
        if (EqualScalars(v, e)) return true;
      }
      return false;
    }
    case Op::Contains:
    case Op::EndsWith: {
      if (!c.hasNeedle || c.needle.empty() || v.isNull()) return false;
      std::string_view hay = BytesOf(v);
      if (op == Op::Contains) return hay.find(c.needle) != std::string_view::npos;
      return hay.size() >= c.needle.size() &&
             hay.compare(hay.size() - c.needle.size(), c.needle.size(), c.needle) == 0;
    }
    default:
      break;
  }
  if (c.scalar.isNull()) {
    if (op == Op::Eq) return v.isNull();
    if (op == Op::Ne) return !v.isNull();
    return false;
  }
  if (v.isNull()) return op == Op::Ne;
  if (op == Op::Eq) return EqualScalars(v, c.scalar);
  if (op == Op::Ne) return !EqualScalars(v, c.scalar);
  int cmp = CompareScalars(v, c.scalar);
  switch (op) {
    case Op::Lt: return cmp < 0;
    case Op::Le: return cmp <= 0;
    case Op::Gt: return cmp > 0;
    case Op::Ge: return cmp >= 0;
    default: return false;
  }
}

bool Evaluate(const MutableNode& node, const KXManagedObject& object, bool* ok,
              kx::Error* error) {
  switch (node.kind) {
    case MutableNode::Kind::True: return true;
    case MutableNode::Kind::False: return false;
    case MutableNode::Kind::Not: return !Evaluate(*node.children[0], object, ok, error);
    case MutableNode::Kind::And:
      for (const auto& child : node.children) {
        if (!Evaluate(*child, object, ok, error)) return false;
      }
      return true;
    case MutableNode::Kind::Or:
      for (const auto& child : node.children) {
        if (Evaluate(*child, object, ok, error)) return true;
      }
      return false;
    case MutableNode::Kind::Compare:
      break;
  }
  Resolved r;
  if (!Resolve(node, object.entity(), &r, error)) {
    *ok = false;
    return false;
  }
  if (r.attribute) {
    const TypedConstant* c = ConstantFor(node, r.attribute->type(), node.key, error);
    if (!c) {
      *ok = false;
      return false;
    }
    return CompareValue(node.op, object.value(*r.attribute), *c);
  }
  if (node.count) {
    const TypedConstant* c = ConstantFor(node, KXAttributeType::Integer, node.key + ".@count", error);
    if (!c) {
      *ok = false;
      return false;
    }
    kx::Value count(static_cast<long long>(object.countOfObjects(node.key)));
    return CompareValue(node.op, count, *c);
  }
  std::int64_t key = 0;
  if (!ToOneKey(node, *r.relationship, &key, error)) {
    *ok = false;
    return false;
  }
  KXObjectID current = KXObjectID::fromValue(object.value(node.key));
  bool equal = key == 0 ? current.isNull() : (!current.isNull() && current.primaryKey() == key);
  return node.op == Op::Eq ? equal : !equal;
}

// ---------------------------------------------------------------------------
// SQL
// ---------------------------------------------------------------------------

// A statement may hold only so many "?" (32766 by SQLite's default, 250000
// in Debian's build), and a caller's IN list can be longer. A list of more
// than kInlineInList values is bound as one JSON array and read back with
// json_each, so the statement has one "?" for it whatever its length (and
// its text, cached by the connection, does not depend on the length).
// Bytes travel as upper-case hex and are compared with hex() of the column.
// Only a list that JSON cannot carry exactly (bytes on the free-typed
// DbState value, a number that is not finite or beyond 64 bits, text with
// a NUL) keeps one "?" per value.
constexpr std::size_t kInlineInList = 64;

void AppendJSONString(std::string_view text, std::string* out) {
  static const char* const kHex = "0123456789abcdef";
  *out += '"';
  for (unsigned char ch : text) {
    if (ch == '"' || ch == '\\') {
      *out += '\\';
      *out += static_cast<char>(ch);
    } else if (ch < 0x20) {
      *out += "\\u00";
      *out += kHex[ch >> 4];
      *out += kHex[ch & 15];
    } else {
      *out += static_cast<char>(ch);
    }
  }
  *out += '"';
}

// The list as a JSON array of scalars; false when a value has no exact
// JSON form. With `hexBytes` every value must be bytes and is written as
// upper-case hex text.
bool JSONList(const std::vector<kx::Value>& list, bool hexBytes, std::string* out) {
  static const char* const kHex = "0123456789ABCDEF";
  out->clear();
  *out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    const kx::Value& v = list[i];
    if (i) *out += ',';
    if (hexBytes) {
      if (!v.isData()) return false;
      *out += '"';
      for (std::uint8_t b : v.bytes()) {
        *out += kHex[b >> 4];
        *out += kHex[b & 15];
      }
      *out += '"';
      continue;
    }
    switch (v.kind()) {
      case kx::Value::Kind::Bool:
        *out += v.boolValue() ? '1' : '0';
        break;
      case kx::Value::Kind::Int64:
        *out += std::to_string(v.intValue());
        break;
      case kx::Value::Kind::UInt64:
        if (v.unsignedValue() > static_cast<std::uint64_t>(INT64_MAX)) return false;
        *out += std::to_string(v.unsignedValue());
        break;
      case kx::Value::Kind::Double:
      case kx::Value::Kind::Date: {
        double d = v.kind() == kx::Value::Kind::Date ? v.dateValue() : v.doubleValue();
        if (!std::isfinite(d)) return false;
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", d);
        *out += buffer;
        // Keep it a real number for SQLite, as the bound value would be.
        if (!std::strpbrk(buffer, ".eE")) *out += ".0";
        break;
      }
      case kx::Value::Kind::String:
        if (v.string().find('\0') != std::string::npos) return false;
        AppendJSONString(v.string(), out);
        break;
      default:
        return false;
    }
  }
  *out += ']';
  return true;
}

bool AppendSQL(const MutableNode& node, const KXEntityDescription& entity, std::string_view alias,
               std::string* sql, std::vector<kx::Value>* binds, kx::Error* error) {
  switch (node.kind) {
    case MutableNode::Kind::True:
      *sql += "1";
      return true;
    case MutableNode::Kind::False:
      *sql += "0";
      return true;
    case MutableNode::Kind::Not:
      // Children may yield NULL where the platform says false; coalesce turns
      // that into 0 before negating, so NOT stays two-valued.
      *sql += "NOT coalesce((";
      if (!AppendSQL(*node.children[0], entity, alias, sql, binds, error)) return false;
      *sql += "), 0)";
      return true;
    case MutableNode::Kind::And:
    case MutableNode::Kind::Or: {
      *sql += "(";
      bool first = true;
      for (const auto& child : node.children) {
        if (!first) *sql += node.kind == MutableNode::Kind::And ? " AND " : " OR ";
        first = false;
        if (!AppendSQL(*child, entity, alias, sql, binds, error)) return false;
      }
      *sql += ")";
      return true;
    }
    case MutableNode::Kind::Compare:
      break;
  }
  Resolved r;
  if (!Resolve(node, entity, &r, error)) return false;
  std::string prefix = std::string(alias) + ".";

  if (r.relationship && !node.count) {
    std::int64_t key = 0;
    if (!ToOneKey(node, *r.relationship, &key, error)) return false;
    std::string col = prefix + QuoteIdentifier(r.relationship->name());
    if (key == 0) {
      *sql += col + (node.op == Op::Eq ? " IS NULL" : " IS NOT NULL");
    } else {
      *sql += col + (node.op == Op::Eq ? " = ?" : " IS NOT ?");
      binds->push_back(kx::Value(static_cast<long long>(key)));
    }
    return true;
  }

  std::string lhs;
  const TypedConstant* c = nullptr;
  if (node.count) {
    c = ConstantFor(node, KXAttributeType::Integer, node.key + ".@count", error);
    if (!c) return false;
    const KXRelationshipDescription& rel = *r.relationship;
    if (rel.storage() == KXRelationshipDescription::Storage::JoinTable) {
      lhs = "(SELECT count(*) FROM " + QuoteIdentifier(rel.joinTable()) + " WHERE " +
            QuoteIdentifier(rel.joinSourceColumn()) + " = " + prefix + "\"Z_PK\")";
    } else {
      const KXEntityDescription& dest = rel.destination();
      lhs = "(SELECT count(*) FROM " + QuoteIdentifier(dest.tableName()) + " WHERE " +
            QuoteIdentifier(dest.columns()[static_cast<std::size_t>(rel.column())].name) +
            " = " + prefix + "\"Z_PK\")";
    }
  } else {
    c = ConstantFor(node, r.attribute->type(), node.key, error);
    if (!c) return false;
    lhs = prefix + QuoteIdentifier(r.attribute->name());
  }

  switch (node.op) {
    case Op::In: {
      if (c->list.empty()) {
        *sql += "0";
        return true;
      }
      if (c->list.size() > kInlineInList) {
        const bool bytes = !node.count && r.attribute->type() == KXAttributeType::Bytes;
        std::string json;
        if (JSONList(c->list, bytes, &json)) {
          if (bytes) {
            *sql += "(typeof(" + lhs + ") = 'blob' AND hex(" + lhs +
                    ") IN (SELECT value FROM json_each(?)))";
          } else {
            *sql += lhs + " IN (SELECT value FROM json_each(?))";
          }
          binds->push_back(kx::Value(std::move(json)));
          return true;
        }
      }
      *sql += lhs + " IN (";
      for (std::size_t i = 0; i < c->list.size(); ++i) {
        *sql += i ? ",?" : "?";
        binds->push_back(c->list[i]);
      }
      *sql += ")";
      return true;
    }
    case Op::Contains:
    case Op::EndsWith: {
      if (!c->hasNeedle || c->needle.empty()) {
        *sql += "0";
        return true;
      }
      kx::Value needle = kx::Value::data(c->needle.data(), c->needle.size());
      if (node.op == Op::Contains) {
        *sql += "instr(CAST(" + lhs + " AS BLOB), ?) > 0";
      } else {
        *sql += "substr(CAST(" + lhs + " AS BLOB), -" + std::to_string(c->needle.size()) +
                ") = ?";
      }
      binds->push_back(std::move(needle));
      return true;
    }
    default:
      break;
  }
  if (c->scalar.isNull()) {
    if (node.op == Op::Eq) *sql += lhs + " IS NULL";
    else if (node.op == Op::Ne) *sql += lhs + " IS NOT NULL";
    else *sql += "0";
    return true;
  }
  switch (node.op) {
    case Op::Eq: *sql += lhs + " = ?"; break;
    case Op::Ne: *sql += lhs + " IS NOT ?"; break;
    case Op::Lt: *sql += lhs + " < ?"; break;
    case Op::Le: *sql += lhs + " <= ?"; break;
    case Op::Gt: *sql += lhs + " > ?"; break;
    case Op::Ge: *sql += lhs + " >= ?"; break;
    default: break;
  }
  binds->push_back(c->scalar);
  return true;
}

bool Validate(const MutableNode& node, const KXEntityDescription& entity, kx::Error* error) {
  if (node.kind != MutableNode::Kind::Compare) {
    for (const auto& child : node.children) {
      if (!Validate(*child, entity, error)) return false;
    }
    return true;
  }
  Resolved r;
  if (!Resolve(node, entity, &r, error)) return false;
  if (r.attribute) return ConstantFor(node, r.attribute->type(), node.key, error) != nullptr;
  if (node.count) {
    return ConstantFor(node, KXAttributeType::Integer, node.key + ".@count", error) != nullptr;
  }
  std::int64_t key = 0;
  return ToOneKey(node, *r.relationship, &key, error);
}

std::string Format(const MutableNode& node) {
  switch (node.kind) {
    case MutableNode::Kind::True: return "TRUEPREDICATE";
    case MutableNode::Kind::False: return "FALSEPREDICATE";
    case MutableNode::Kind::Not: return "NOT (" + Format(*node.children[0]) + ")";
    case MutableNode::Kind::And:
    case MutableNode::Kind::Or: {
      std::string out = "(";
      bool first = true;
      for (const auto& child : node.children) {
        if (!first) out += node.kind == MutableNode::Kind::And ? " AND " : " OR ";
        first = false;
        out += Format(*child);
      }
      return out + ")";
    }
    case MutableNode::Kind::Compare:
      break;
  }
  return node.key + (node.count ? ".@count " : " ") + OpText(node.op) + " " +
         FormatConstant(node.constant);
}

}  // namespace

KXPredicatePtr KXPredicate::withFormat(std::string_view format, const kx::Array& arguments,
                                       kx::Error* error) {
  Parser parser(format, arguments);
  NodePtr root = parser.parse(error);
  if (!root) return nullptr;
  return std::make_shared<const KXPredicate>(std::move(root));
}

KXPredicatePtr KXPredicate::andPredicate(const std::vector<KXPredicatePtr>& predicates) {
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::And;
  for (const auto& p : predicates) {
    if (p) node->children.push_back(p->root_);
  }
  if (node->children.size() == 1) return std::make_shared<const KXPredicate>(node->children[0]);
  if (node->children.empty()) node->kind = Node::Kind::True;
  return std::make_shared<const KXPredicate>(std::move(node));
}

KXPredicatePtr KXPredicate::orPredicate(const std::vector<KXPredicatePtr>& predicates) {
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::Or;
  for (const auto& p : predicates) {
    if (p) node->children.push_back(p->root_);
  }
  if (node->children.size() == 1) return std::make_shared<const KXPredicate>(node->children[0]);
  if (node->children.empty()) node->kind = Node::Kind::False;
  return std::make_shared<const KXPredicate>(std::move(node));
}

KXPredicatePtr KXPredicate::notPredicate(const KXPredicatePtr& predicate) {
  auto node = std::make_shared<Node>();
  if (!predicate) {
    node->kind = Node::Kind::False;
  } else {
    node->kind = Node::Kind::Not;
    node->children.push_back(predicate->root_);
  }
  return std::make_shared<const KXPredicate>(std::move(node));
}

bool KXPredicate::validate(const KXEntityDescription& entity, kx::Error* error) const {
  return Validate(*root_, entity, error);
}

bool KXPredicate::appendSQL(const KXEntityDescription& entity, std::string_view alias,
                            std::string* sql, std::vector<kx::Value>* bindings,
                            kx::Error* error) const {
  return AppendSQL(*root_, entity, alias, sql, bindings, error);
}

bool KXPredicate::evaluate(const KXManagedObject& object, kx::Error* error) const {
  bool ok = true;
  bool result = Evaluate(*root_, object, &ok, error);
  return ok && result;
}

std::vector<KXManagedObjectPtr> KXPredicate::filter(const std::vector<KXManagedObjectPtr>& objects,
                                                    kx::Error* error) const {
  std::vector<KXManagedObjectPtr> out;
  bool reported = false;
  for (const auto& object : objects) {
    if (!object) continue;
    bool ok = true;
    kx::Error e;
    bool keep = Evaluate(*root_, *object, &ok, &e);
    if (!ok) {
      if (!reported) kx::SetError(error, e);
      reported = true;
      continue;
    }
    if (keep) out.push_back(object);
  }
  return out;
}

std::string KXPredicate::predicateFormat() const { return Format(*root_); }
