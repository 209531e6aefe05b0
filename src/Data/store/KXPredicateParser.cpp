// KXPredicate's parser: condition text and its arguments to nodes. The
// grammar is in KXPredicate.h.

#include "Data/store/KXPredicate.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "Data/store/KXPredicateNode.h"
#include "Data/store/KXStoreError.h"

using namespace kx::predicate_internal;

namespace {

constexpr int kMaxDepth = 200;

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
      "AND", "OR", "NOT", "IN", "CONTAINS", "ENDSWITH", "YES", "NO", "TRUE", "FALSE", "NIL", "NULL",
      "TRUEPREDICATE", "FALSEPREDICATE",
      // Recognised so that they are refused by name rather than read as keys.
      "BEGINSWITH", "LIKE", "MATCHES", "BETWEEN", "ANY", "ALL", "SOME", "NONE", "SUBQUERY",
      "FUNCTION", "SELF", "FIRST", "LAST", "SIZE", "CAST", "UTI-CONFORMS-TO", "UTI-EQUALS"};
  return *words;
}

class Parser {
 public:
  Parser(std::string_view text, const kx::Array& args) : text_(text), args_(args) {}
  // A parser that leaves every %@ open (Node::argument) and reads no
  // argument.
  explicit Parser(std::string_view text) : text_(text), args_(kNoArguments), open_(true) {}

  std::size_t placeholders() const { return argIndex_; }

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
    kx::SetError(error,
                 KXStoreMakeError(kKXStorePredicateSyntaxError,
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
    while (i < text_.size() &&
           (text_[i] == ' ' || text_[i] == '\t' || text_[i] == '\n' || text_[i] == '\r')) {
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
      if (o == "=" || o == "==")
        node->op = Op::Eq;
      else if (o == "!=" || o == "<>")
        node->op = Op::Ne;
      else if (o == "<")
        node->op = Op::Lt;
      else if (o == "<=" || o == "=<")
        node->op = Op::Le;
      else if (o == ">")
        node->op = Op::Gt;
      else if (o == ">=" || o == "=>")
        node->op = Op::Ge;
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
    // What an open %@ is given is checked when it is given.
    const bool open = node->argument >= 0;
    if (!open && node->op == Op::In && !node->constant.isNull() && !node->constant.isArray()) {
      setError("IN needs an array");
      return nullptr;
    }
    if (!open && node->op != Op::In &&
        (node->constant.isArray() || node->constant.isDictionary())) {
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
      case Tok::String: node->constant = kx::Value(tok_.text); return true;
      case Tok::Number: node->constant = tok_.number; return true;
      case Tok::Placeholder:
        if (open_) {
          node->argument = static_cast<int>(argIndex_++);
          return true;
        }
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
      case Tok::Ident: setError("comparing two keys is not supported"); return false;
      default: setError("a value is expected"); return false;
    }
  }

  static inline const kx::Array kNoArguments;

  std::string_view text_;
  const kx::Array& args_;
  const bool open_ = false;
  std::size_t argIndex_ = 0;
  std::size_t pos_ = 0;
  Token tok_;
  std::string message_;
  std::size_t at_ = 0;
};

}  // namespace

NodePtr kx::predicate_internal::ParseOpen(std::string_view format, std::size_t* placeholders) {
  Parser parser(format);
  NodePtr root = parser.parse(nullptr);
  *placeholders = parser.placeholders();
  return root;
}

KXPredicatePtr KXPredicate::withFormat(std::string_view format, const kx::Array& arguments,
                                       kx::Error* error) {
  Parser parser(format, arguments);
  NodePtr root = parser.parse(error);
  if (!root) return nullptr;
  return std::make_shared<const KXPredicate>(std::move(root));
}
