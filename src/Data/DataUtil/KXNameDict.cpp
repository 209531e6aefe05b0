#include "Data/DataUtil/KXNameDict.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <limits>
#include <mutex>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "CommonUtils/NSNumberBoolString.h"
#include "Data/client/KXFileManager.h"
#include "platform/FileSystem.h"

namespace {

std::atomic<int> gFileReads{0};

const std::optional<std::string>& tableText() {
  static const std::optional<std::string>* text = [] {
    auto* result = new std::optional<std::string>();
    std::string path = KXFileManager::defaultManauger().URLForNameDict();
    std::string contents;
    gFileReads.fetch_add(1);
    if (!path.empty() && kx::FileSystem::Default().readFile(path, &contents, nullptr)) {
      *result = std::move(contents);
    }
    return result;
  }();
  return *text;
}

// The keys formatMeta types, in order.
constexpr const char* kTypedKeys[] = {
    "encrypted",  "version",         "isDirectory", "deleted",        "createTime",
    "modifyTime", "fileNum",         "dirNum",      "subTreeFileNum", "subTreeDirNum",
    "favorited",  "transactionTime", "noteType",    "size",           "erased",
    "shared",     "domain",          "dir",         "entryType",      "orgEditorType",
    "shareType",  "stick",           "stickTime",   "rightOfControl"};
constexpr const char* kTimeKeys[] = {"createTime", "modifyTime", "stickTime"};

// The leading integer of a text (blanks skipped, an optional sign, digits);
// 0 without one; saturated at the 64-bit limits.
std::int64_t leadingInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint64_t value = 0;
  const std::uint64_t limit = negative ? std::uint64_t(std::numeric_limits<std::int64_t>::max()) + 1
                                       : std::uint64_t(std::numeric_limits<std::int64_t>::max());
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    std::uint64_t digit = std::uint64_t(text[i] - '0');
    if (value > (limit - digit) / 10) {
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  if (negative)
    return value == limit ? std::numeric_limits<std::int64_t>::min()
                          : -static_cast<std::int64_t>(value);
  return static_cast<std::int64_t>(value);
}

std::optional<kx::Dictionary> convert(const kx::Value& input, const std::string& ns,
                                      bool reversed) {
  const std::optional<kx::Dictionary>& table = KXNameDict::table(reversed);
  if (!table) return std::nullopt;
  const kx::Value* names = table->find(ns);
  if (!names || !names->isDictionary()) return std::nullopt;
  kx::Dictionary result;
  if (!input.isDictionary()) return result;
  const kx::Dictionary& pairs = names->dict();
  const kx::Dictionary& record = input.dict();
  // The record's table holds its keys' hashes; the pairs are filed under
  // the same hashes, so no key is hashed again. The names are looked up
  // first so that the result is sized once for the keys that have one (most
  // namespaces rename a few of the record's many keys).
  constexpr std::size_t kOnStack = 64;
  std::uint32_t hashesOnStack[kOnStack];
  const kx::Value* namesOnStack[kOnStack];
  std::vector<std::uint32_t> hashesOnHeap;
  std::vector<const kx::Value*> namesOnHeap;
  std::uint32_t* hashes = hashesOnStack;
  const kx::Value** found = namesOnStack;
  if (record.size() > kOnStack) {
    hashesOnHeap.resize(record.size());
    namesOnHeap.resize(record.size());
    hashes = hashesOnHeap.data();
    found = namesOnHeap.data();
  }
  record.entryHashes(hashes);
  std::size_t renamed = 0;
  for (std::size_t i = 0; i < record.size(); ++i) {
    const kx::Value* name = pairs.find(record.entries()[i].first, hashes[i]);
    found[i] = name && name->isString() ? name : nullptr;
    if (found[i]) ++renamed;
  }
  result.reserve(renamed);
  for (std::size_t i = 0; i < record.size(); ++i) {
    if (!found[i]) continue;
    const std::string& name = found[i]->string();
    const kx::Value& value = record.entries()[i].second;
    if (reversed && value.isData()) {
      kx::Value parsed = mutableObjectFromJSONData(value.bytes());
      result.set(name, parsed.isNull() ? value : parsed);
    } else if (value.isNull()) {
      result.set(name, "");
    } else {
      result.set(name, value);
    }
  }
  return result;
}

void addAll(kx::Dictionary& into, const kx::Dictionary& from) {
  for (const auto& [key, value] : from) into.set(key, value);
}

}  // namespace

std::optional<kx::Dictionary> KXNameDict::parseTable(const std::string& text) {
  kx::Value parsed = objectFromJSONStringWithParseOptions(text, JKParseOptionStrict);
  if (!parsed.isDictionary()) return std::nullopt;
  return parsed.dict();
}

const std::optional<kx::Dictionary>& KXNameDict::table(bool reversed) {
  static const std::optional<kx::Dictionary>* forward = [] {
    const std::optional<std::string>& text = tableText();
    return new std::optional<kx::Dictionary>(text ? parseTable(*text) : std::nullopt);
  }();
  static const std::optional<kx::Dictionary>* backward = [] {
    const std::optional<std::string>& text = tableText();
    std::optional<kx::Dictionary> parsed = text ? parseTable(*text) : std::nullopt;
    auto* result = new std::optional<kx::Dictionary>();
    if (!parsed) return result;
    kx::Dictionary reversedTable;
    for (const auto& [ns, pairs] : *parsed) {
      if (!pairs.isDictionary()) continue;
      reversedTable.set(ns, NSDictionaryKXHelper::dictionaryWithReverseDictionary(pairs.dict()));
    }
    *result = std::move(reversedTable);
    return result;
  }();
  return reversed ? *backward : *forward;
}

int KXNameDict::fileReads() { return gFileReads.load(); }

std::optional<kx::Dictionary> KXNameDict::namesConvertFromRemoteToLocal(const kx::Value& remote,
                                                                        const std::string& ns) {
  return convert(remote, ns, false);
}

std::optional<kx::Dictionary> KXNameDict::namesConvertFromLocalToRemote(const kx::Value& local,
                                                                        const std::string& ns) {
  return convert(local, ns, true);
}

std::optional<kx::Dictionary> KXNameDict::namesConvertFromRemoteToLocalForFileMeta(
    const kx::Value& serviceEntry) {
  const kx::Value& entry = serviceEntry["entry"];
  if (!entry.isDictionary()) return std::nullopt;
  std::optional<kx::Dictionary> result = namesConvertFromRemoteToLocal(entry, kEntryNamespace);
  if (!result) return std::nullopt;
  if (const kx::Value* props = entry.find("entryProps")) {
    std::optional<kx::Dictionary> local =
        namesConvertFromRemoteToLocal(*props, kEntryPropsNamespace);
    if (local) addAll(*result, *local);
    result->set("entryProps", JSONDataWithOptions(*props, JKSerializeOptionPretty, nullptr));
  }
  const kx::Value& meta = serviceEntry["meta"];
  if (meta.isDictionary()) {
    std::optional<kx::Dictionary> local =
        namesConvertFromRemoteToLocal(meta["value"], kMetaNamespace);
    if (local) addAll(*result, *local);
  }
  return formatMeta(*result);
}

std::optional<kx::Dictionary> KXNameDict::namesConvertFromClientToServer(const kx::Value& client) {
  std::optional<kx::Dictionary> result = namesConvertFromRemoteToLocal(client, kClientNamespace);
  if (!result) return std::nullopt;
  const kx::Value& props = client["entryProps"];
  if (props.isString()) {
    kx::Value parsed =
        objectFromJSONStringWithParseOptions(props.string(), JKParseOptionValidFlags);
    if (parsed.isDictionary()) {
      std::optional<kx::Dictionary> local =
          namesConvertFromRemoteToLocal(parsed, kEntryPropsNamespace);
      if (local) addAll(*result, *local);
    }
  }
  return formatMeta(*result);
}

kx::Dictionary& KXNameDict::formatMeta(kx::Dictionary& meta) {
  for (const char* key : kTypedKeys) {
    kx::Value* value = meta.find(key);
    if (!value || !value->isString()) continue;
    const std::string& text = value->string();
    if (text == "true") {
      *value = kx::Value(true);
    } else if (text == "false") {
      *value = kx::Value(false);
    } else {
      *value = kx::Value(static_cast<long long>(leadingInteger(text)));
    }
  }
  for (const char* key : kTimeKeys) {
    kx::Value* value = meta.find(key);
    if (value) *value = NSNumberBoolString::dateNumber(*value);
  }
  return meta;
}
