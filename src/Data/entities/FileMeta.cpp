#include "Data/entities/FileMeta.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <unordered_map>

#include "Data/entities/Resource.h"
#include "Data/entities/ShareLink.h"
#include "platform/Crypto.h"
#include "platform/Mutex.h"

namespace {

// A UUID (version 4) from the secure random source, in its canonical
// upper-case form without the four hyphens.
std::string NewId() {
  std::uint8_t bytes[16] = {};
  if (!kx::Crypto::randomBytes(bytes, sizeof bytes)) {
    // The system's random source failed: mix the clock and a counter so that
    // ids stay distinct within this process.
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t a =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::uint64_t b =
        counter.fetch_add(1) ^
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    std::memcpy(bytes, &a, 8);
    std::memcpy(bytes + 8, &b, 8);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(32);
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

struct ChangeCounts {
  kx::Mutex mu;
  std::unordered_map<std::string, std::uint64_t> counts GUARDED_BY(mu);
};

ChangeCounts& changeCounts() {
  static ChangeCounts* counts = new ChangeCounts();
  return *counts;
}

}  // namespace

std::string FileMeta::idForFileMeta() { return NewId(); }

std::uint64_t FileMeta::localChangeCount(const std::string& fileId) {
  ChangeCounts& c = changeCounts();
  kx::MutexLock lock(c.mu);
  auto it = c.counts.find(fileId);
  return it == c.counts.end() ? 0 : it->second;
}

void FileMeta::raiseLocalChangeCount(const std::string& fileId) {
  if (fileId.empty()) return;
  ChangeCounts& c = changeCounts();
  kx::MutexLock lock(c.mu);
  ++c.counts[fileId];
}

bool FileMeta::shouldSetAttribute(const KXAttributeDescription& attribute, const kx::Value& value) {
  const std::string& name = attribute.name();
  if ((name == "localModified" && value.intValue() > 0) ||
      (name == "contentChanged" && value.boolValue())) {
    raiseLocalChangeCount(fileId());
  }
  return true;
}

std::string FileMeta::fileId() const { return stringValue("fileId"); }
std::string FileMeta::parentId() const { return stringValue("parentId"); }
std::string FileMeta::title() const { return stringValue("title"); }
std::string FileMeta::namePath() const { return stringValue("namePath"); }
bool FileMeta::dir() const { return boolValue("dir"); }
std::int64_t FileMeta::domain() const { return integerValue("domain"); }
std::int64_t FileMeta::version() const { return integerValue("version"); }
std::int64_t FileMeta::createTime() const { return integerValue("createTime"); }
std::int64_t FileMeta::modifyTime() const { return integerValue("modifyTime"); }
std::string FileMeta::transactionId() const { return stringValue("transactionId"); }
std::int64_t FileMeta::transactionTime() const { return integerValue("transactionTime"); }
bool FileMeta::del() const { return boolValue("del"); }
bool FileMeta::deleted() const { return boolValue("deleted"); }
bool FileMeta::remoteRemoved() const { return boolValue("remoteRemoved"); }
std::int64_t FileMeta::localModified() const { return integerValue("localModified"); }
bool FileMeta::contentChanged() const { return boolValue("contentChanged"); }
bool FileMeta::localTrashOp() const { return boolValue("localTrashOp"); }
std::string FileMeta::trashModifyData() const { return stringValue("trashModifyData"); }
bool FileMeta::encrypted() const { return boolValue("encrypted"); }
bool FileMeta::favorited() const { return boolValue("favorited"); }
bool FileMeta::stick() const { return boolValue("stick"); }
std::int64_t FileMeta::stickTime() const { return integerValue("stickTime"); }
std::string FileMeta::tags() const { return stringValue("tags"); }
std::string FileMeta::summary() const { return stringValue("summary"); }
std::int64_t FileMeta::size() const { return integerValue("size"); }
std::int64_t FileMeta::shareType() const { return integerValue("shareType"); }
std::string FileMeta::bgImageId() const { return stringValue("bgImageId"); }

std::shared_ptr<ShareLink> FileMeta::shareLinkInfo() const {
  return KXCast<ShareLink>(object("shareLinkInfo"));
}

std::vector<std::shared_ptr<Resource>> FileMeta::resources() const {
  std::vector<std::shared_ptr<Resource>> out;
  for (const auto& object : objects("resources")) {
    if (auto r = KXCast<Resource>(object)) out.push_back(std::move(r));
  }
  return out;
}

std::optional<std::string> FileMeta::shareUrl() const {
  auto link = shareLinkInfo();
  if (!link || link->isNil("shareUrl")) return std::nullopt;
  return link->shareUrl();
}

bool FileMeta::shared() const { return shareLinkInfo() != nullptr; }

std::optional<std::string> FileMeta::getParentName() const {
  kx::MutexLock lock(transientLock());
  return parentName_;
}

KXStoredRow FileMeta::storedRow() const {
  KXStoredRow row = KXManagedObject::storedRow();
  row.parentName = getParentName();
  return row;
}

void FileMeta::setParentName(std::string name) {
  kx::MutexLock lock(transientLock());
  parentName_ = std::move(name);
}
