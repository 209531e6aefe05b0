#include "WebRequest/KXWebFileRequestHandler.h"

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXPathUtil.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "CommonUtils/NSNumberBoolString.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/DataUtil/KXResourceUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/entities/Root.h"
#include "Data/store/KXModel.h"
#include "WebRequest/KXHandlerMethods.h"
#include "WebRequest/KXLocalResponse.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebRequestParameters.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/URL.h"

namespace {

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

const std::string* component(const std::vector<std::string>& c, std::size_t i) {
  return i < c.size() ? &c[i] : nullptr;
}

bool isComponent(const std::vector<std::string>& c, std::size_t i, std::string_view value) {
  return i < c.size() && c[i] == value;
}

// The answer of one request: an error, or JSON, or raw bytes.
struct Answer {
  kx::Error error;
  std::optional<kx::Bytes> bytes;

  static Answer fail(std::int64_t code) { return {KXURLError::make(code), std::nullopt}; }
  static Answer json(const kx::Value& object) {
    kx::Error error;
    kx::Bytes body = JSONDataWithOptions(object, JKSerializeOptionPretty, &error);
    if (error) return {error, std::nullopt};
    return {kx::Error(), std::move(body)};
  }
  static Answer raw(kx::Bytes bytes) { return {kx::Error(), std::move(bytes)}; }
};

void send(KXDataRequestController& sender, const kx::URL& url, Answer answer) {
  if (answer.error) {
    sender.localReceiveResponse(std::nullopt, std::nullopt, answer.error);
    return;
  }
  sender.localReceiveResponse(KXLocalResponse::response(url, 200), std::move(answer.bytes),
                              kx::Error());
}

std::int64_t timeInSeconds(std::int64_t time) {
  return NSNumberBoolString::dateNumber(kx::Value(static_cast<long long>(time))).intValue();
}

// The later of a modify and a stick time, in seconds.
std::int64_t maxTimeInSeconds(std::int64_t modifyTime, std::int64_t stickTime) {
  const std::int64_t modify = timeInSeconds(modifyTime);
  const std::int64_t stick = timeInSeconds(stickTime);
  return modify > stick ? modify : stick;
}

kx::Value envelope(kx::Array entries, std::size_t count) {
  return kx::Value::dict({{"entries", kx::Value(std::move(entries))},
                          {"count", static_cast<unsigned long long>(count)}});
}

int compareNumbers(std::int64_t a, std::int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
int compareTexts(const std::string& a, const std::string& b) {
  int r = a.compare(b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace

// One request on its way through a method.
struct KXWebFileRequestHandler::Call {
  const kx::URL& url;
  const std::vector<std::string>& c;
  kx::Dictionary params;
  const std::string& method;
  std::shared_ptr<KXDataRequestController> sender;
  const std::string* fifth;  // path component 4, when there is one
  // What is sent once the method returns: -1000 unless the method finds
  // what it was asked for.
  Answer answer = Answer::fail(KXURLErrorBadURL);
  // The method has arranged a later answer; nothing is sent on return.
  bool answersLater = false;
};

KXWebFileRequestHandler& KXWebFileRequestHandler::sharedHandler() {
  static KXWebFileRequestHandler* handler = new KXWebFileRequestHandler(
      KXDataClient::defaultDataClient(), KXFileMetaWebUtil::sharedHandler());
  return *handler;
}

std::int64_t KXWebFileRequestHandler::getMaxTime(const FileMeta& entry) {
  return maxTimeInSeconds(entry.modifyTime(), entry.stickTime());
}

bool KXWebFileRequestHandler::acceptRequest(const kx::URLRequest& request) const {
  std::string path = request.url().path();
  if (path.empty()) return false;
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(path);
  const std::string query = request.url().query().value_or("");
  const bool fileRoute = (c.size() >= 3 && c[0] == "qrt" && c[1] == "mapi" && c[2] == "file") ||
                         (c.size() >= 4 && c[0] == "qrt" && c[1] == "api" && c[2] == "personal" &&
                          (c[3] == "file" || c[3] == "trash"));
  if (fileRoute) return !(contains(query, "shareKey") && contains(query, "method=download"));
  if (c.size() >= 4 && c[0] == "qrt" && c[2] == "personal" && c[3] == "myshare") {
    return contains(query, "method=list");
  }
  return false;
}

kx::Array KXWebFileRequestHandler::fileArrayWithMetas(const KXFileMetaArray& metas,
                                                      const kx::Dictionary& params) {
  std::vector<KXStoredRow> rows;
  rows.reserve(metas.size());
  for (const KXFileMetaPtr& meta : metas) {
    if (meta) rows.push_back(meta->storedRow());
  }
  return fileArrayWithRows(std::move(rows), params);
}

kx::Array KXWebFileRequestHandler::fileArrayWithRows(std::vector<KXStoredRow> rows,
                                                     const kx::Dictionary& params) {
  const kx::Value* entireValue = params.find("entire");
  const bool entire = entireValue ? entireValue->boolValue() : true;
  const kx::Value* reverseValue = params.find("isReverse");
  const bool isReverse = reverseValue && reverseValue->boolValue();

  // The columns the filter, the order and the cut read (every entry is a
  // kind of FileMeta, which has them all).
  const KXEntityDescription* fileMeta = KXModel::shared().entity("FileMeta");
  auto column = [fileMeta](const char* name) -> const KXAttributeDescription& {
    return *fileMeta->attribute(name);
  };
  const KXAttributeDescription& dirColumn = column("dir");
  const KXAttributeDescription& fileIdColumn = column("fileId");

  std::vector<KXStoredRow> list;
  list.reserve(rows.size());
  const kx::Value* dirOnly = params.find("dirOnly");
  const bool onlyFolders = dirOnly && dirOnly->boolValue();
  for (KXStoredRow& row : rows) {
    if (!onlyFolders || row.value(dirColumn).boolValue()) list.push_back(std::move(row));
  }

  const kx::Value* sortValue = params.find("sort");
  const std::int64_t sortType = sortValue ? sortValue->intValue() : 1;
  if (sortType != 0) {
    const KXAttributeDescription& stickColumn = column("stick");
    const KXAttributeDescription& modifyColumn = column("modifyTime");
    const KXAttributeDescription& stickTimeColumn = column("stickTime");
    const KXAttributeDescription& createColumn = column("createTime");
    const KXAttributeDescription& sizeColumn = column("size");
    const KXAttributeDescription& titleColumn = column("title");
    struct Key {
      std::size_t index;
      bool dir;
      bool stick;
      std::int64_t maxTime, modifyTime, createTime, size;
      std::string title, fileId;
    };
    std::vector<Key> keys;
    keys.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
      const KXStoredRow& row = list[i];
      const std::int64_t modify = row.value(modifyColumn).intValue();
      keys.push_back({i, row.value(dirColumn).boolValue(), row.value(stickColumn).boolValue(),
                      maxTimeInSeconds(modify, row.value(stickTimeColumn).intValue()),
                      timeInSeconds(modify), timeInSeconds(row.value(createColumn).intValue()),
                      row.value(sizeColumn).intValue(), row.value(titleColumn).stringValue(),
                      row.value(fileIdColumn).stringValue()});
    }
    auto compare = [&](const Key& a, const Key& b) {
      if (a.dir != b.dir) return a.dir ? -1 : 1;
      if (a.stick != b.stick) return a.stick ? -1 : 1;
      int r = 0;
      switch (sortType) {
        case 1:
          r = a.stick ? compareNumbers(a.maxTime, b.maxTime)
                      : compareNumbers(a.modifyTime, b.modifyTime);
          break;
        case 2: r = compareNumbers(a.createTime, b.createTime); break;
        case 3: r = a.dir ? compareTexts(a.title, b.title) : compareNumbers(a.size, b.size); break;
        case 4: r = compareTexts(a.title, b.title); break;
        default: break;
      }
      if (r == 0) r = compareTexts(a.fileId, b.fileId);
      return isReverse ? r : -r;
    };
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const Key& a, const Key& b) { return compare(a, b) < 0; });
    std::vector<KXStoredRow> sorted;
    sorted.reserve(list.size());
    for (const Key& key : keys) sorted.push_back(std::move(list[key.index]));
    list = std::move(sorted);
  }

  if (const kx::Value* lastId = params.find("lastId"); lastId && !list.empty()) {
    const std::string last = lastId->stringValue();
    auto found = std::find_if(list.begin(), list.end(), [&](const KXStoredRow& row) {
      return row.value(fileIdColumn).stringValue() == last;
    });
    if (found != list.end()) list.erase(list.begin(), found + 1);
  }
  if (const kx::Value* len = params.find("len")) {
    std::int64_t n = len->intValue();
    if (n >= 0 && static_cast<std::uint64_t>(n) < list.size())
      list.resize(static_cast<std::size_t>(n));
  }

  return webUtil_.fileDictsFromRows(std::move(list), entire);
}

void KXWebFileRequestHandler::handleRequest(const kx::URLRequest& request,
                                            std::shared_ptr<KXDataRequestController> sender) {
  const kx::URL& url = request.url();
  const std::vector<std::string> c = KXWebRequestParameters::pathComponents(url.path());

  // Parameters: the query, then the form body over it ("method" excepted).
  kx::Dictionary query =
      NSDictionaryKXHelper::dictionaryFromQuery(url.query().value_or(""), kKXUTF8Encoding);
  kx::Dictionary params = query;
  std::string method = query["method"].stringValue();
  if (const std::optional<kx::Bytes>& body = request.HTTPBody(); body && !body->empty()) {
    std::string text(body->begin(), body->end());
    kx::Dictionary form = NSDictionaryKXHelper::dictionaryWithFormatedString(text, "&", "=");
    if (!query.contains("method")) method = form["method"].stringValue();
    for (const auto& [key, value] : form) {
      if (value.isString()) {
        std::optional<std::string> decoded = kx::percentDecode(value.string());
        params.set(key, decoded ? *decoded : value.string());
      } else {
        params.set(key, value);
      }
    }
  }
  if (method.empty()) {
    send(*sender, url, Answer::fail(KXURLErrorBadURL));
    return;
  }

  Call call{url, c, std::move(params), method, sender, component(c, 4)};
  if (const FileMethod* found = methodFor(c, method)) (this->*found->call)(call);
  if (!call.answersLater) send(*sender, url, std::move(call.answer));
}

KXHandlerMethods<KXWebFileRequestHandler::FileMethod> KXWebFileRequestHandler::methodsOf(
    std::string_view scope) {
  using Handler = KXWebFileRequestHandler;
  constexpr KXRequestType kRead = KXRequestTypeServiceRead;
  // Every method of this handler only reads.
  static constexpr FileMethod kThumbnailMethods[] = {
      {"thm", &Handler::thumbnail, kRead},
  };
  static constexpr FileMethod kFileMethods[] = {
      {"getByPath", &Handler::getEntry, kRead},
      {"getById", &Handler::getEntry, kRead},
      {"listPageByParentPath", &Handler::listChildren, kRead},
      {"listPageByParentId", &Handler::listChildren, kRead},
      {"listEntireByParentPath", &Handler::listChildren, kRead},
      {"listEntireByParentId", &Handler::listChildren, kRead},
      {"listPath", &Handler::listPath, kRead},
      {"listRecent", &Handler::listRecent, kRead},
      {"checkChildrenEncrypted", &Handler::checkChildrenEncrypted, kRead},
      {"checkNamePath", &Handler::checkNamePath, kRead},
      {"getNamePath", &Handler::getNamePath, kRead},
      {"getImage", &Handler::readBytes, kRead},
      {"download", &Handler::readBytes, kRead},
      {"read", &Handler::readText, kRead},
  };
  static constexpr FileMethod kMyshareMethods[] = {
      {"list", &Handler::myshareList, kRead},
  };
  static constexpr FileMethod kTrashMethods[] = {
      {"list", &Handler::trashList, kRead},
      {"get", &Handler::trashGet, kRead},
  };
  if (scope == kThumbnailScope) return kThumbnailMethods;
  if (scope == "file") return kFileMethods;
  if (scope == "myshare") return kMyshareMethods;
  if (scope == "trash") return kTrashMethods;
  return {};
}

const KXWebFileRequestHandler::FileMethod* KXWebFileRequestHandler::methodFor(
    const std::vector<std::string>& c, const std::string& method) {
  // Thumbnails answer on "/qrt/mapi/file" whatever follows; the other
  // methods belong to the folder named by component 3.
  if (isComponent(c, 2, "file")) {
    if (const FileMethod* found = methodsOf(kThumbnailScope).find(method)) return found;
  }
  return c.size() < 4 ? nullptr : methodsOf(c[3]).find(method);
}

KXRequestType KXWebFileRequestHandler::methodEffect(std::string_view method) {
  for (std::string_view scope : {kThumbnailScope, std::string_view("file"),
                                 std::string_view("myshare"), std::string_view("trash")}) {
    if (const FileMethod* found = methodsOf(scope).find(method)) return found->effect;
  }
  return KXRequestTypeNotTaken;
}

KXFileMetaPtr KXWebFileRequestHandler::lookup(const std::string& id) {
  return client_.reads().objectForFileMetaID(id);
}

KXFileMetaPtr KXWebFileRequestHandler::folderOf(const Call& call, bool byPath) {
  if (byPath) {
    const kx::Value* path = call.params.find("path");
    if (!path) return nullptr;
    return lookup(KXPathUtil::basename(path->stringValue()));
  }
  return call.fifth ? lookup(*call.fifth) : nullptr;
}

void KXWebFileRequestHandler::thumbnail(Call& call) {
  const kx::Value* fid = call.params.find("fid");
  if (!fid) return;
  std::string resourceId = fid->stringValue();
  std::string path =
      KXResourceUtil::sharedUtil().fileURLForThumbnail(kx::Dictionary{{"resourceID", resourceId}});
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (path.empty() || !fs.exists(path)) {
    path.clear();
    if (std::shared_ptr<Resource> resource = client_.reads().objectForResourceID(resourceId)) {
      if (std::shared_ptr<ResourceEntry> entry = resource->entry()) path = entry->file();
    }
  }
  kx::Bytes bytes;
  kx::Error error;
  if (path.empty()) {
    call.answer = Answer::fail(KXURLErrorFileDoesNotExist);
  } else if (!fs.readFile(path, &bytes, &error)) {
    call.answer = Answer{error, std::nullopt};
  } else {
    call.answer = Answer::raw(std::move(bytes));
  }
}

void KXWebFileRequestHandler::myshareList(Call& call) {
  KXFileMetaArray shares = client_.reads().myshareFilemetas();
  call.answer = Answer::json(envelope(fileArrayWithMetas(shares, call.params), shares.size()));
}

void KXWebFileRequestHandler::getEntry(Call& call) {
  if (!call.params.contains("entire")) call.params.set("entire", "false");
  KXFileMetaPtr entry = folderOf(call, call.method == "getByPath");
  if (entry) {
    kx::Array entries = fileArrayWithMetas({entry}, call.params);
    call.answer = entries.empty() ? Answer::fail(KXURLErrorResourceUnavailable)
                                  : Answer::json(entries.front());
  }
}

void KXWebFileRequestHandler::listChildren(Call& call) {
  const std::string& method = call.method;
  const bool page = method.rfind("listPage", 0) == 0;
  if (page && !call.params.contains("len"))
    call.params.set("len", static_cast<long long>(kDefaultPageLength));
  KXFileMetaPtr folder =
      folderOf(call, method.size() > 4 && method.compare(method.size() - 4, 4, "Path") == 0);
  if (folder) {
    std::vector<KXStoredRow> children = client_.reads().rowsForParentId(folder->fileId());
    const std::size_t count = children.size();
    kx::Array entries = fileArrayWithRows(std::move(children), call.params);
    call.answer = page ? Answer::json(envelope(std::move(entries), count))
                       : Answer::json(kx::Value(std::move(entries)));
  }
}

void KXWebFileRequestHandler::listPath(Call& call) {
  call.params.set("entire", false);
  const kx::Value* fileId = call.params.find("fileId");
  KXFileMetaPtr entry = fileId ? lookup(fileId->stringValue()) : nullptr;
  if (!entry) return;
  KXFileMetaArray chain{entry};
  std::set<std::string> seen{entry->fileId()};
  for (KXFileMetaPtr current = entry;
       !current->isKindOfEntity("Root") && current->parentId() != KXDataClient::kTrashParentId;) {
    KXFileMetaPtr parent = lookup(current->parentId());
    // A missing parent, or parents that lead back to an entry already
    // listed, end the walk without an answer but the error.
    if (!parent || !seen.insert(parent->fileId()).second) return;
    chain.push_back(parent);
    current = parent;
  }
  std::reverse(chain.begin(), chain.end());
  call.params.set("sort", 0);
  call.answer = Answer::json(kx::Value(fileArrayWithMetas(chain, call.params)));
}

void KXWebFileRequestHandler::listRecent(Call& call) {
  call.params.set("sort", 0);
  const kx::Value* limitValue = call.params.find("limit");
  const kx::Value* offsetValue = call.params.find("offset");
  const std::int64_t limit = limitValue ? limitValue->intValue() : -1;
  const std::int64_t offset = offsetValue ? offsetValue->intValue() : 0;
  kx::Array all =
      fileArrayWithMetas(client_.reads().recentObjectsWithLimit(kRecentLimit, false), call.params);
  kx::Array pageEntries;
  if (limit < 0) {
    // No limit: the whole list, for the first page only.
    if (offset == 0) pageEntries = std::move(all);
  } else if (offset >= 0 && limit > 0 &&
             static_cast<std::uint64_t>(offset) <
                 all.size() / static_cast<std::uint64_t>(limit) +
                     (all.size() % static_cast<std::uint64_t>(limit) ? 1 : 0)) {
    const std::size_t start = static_cast<std::size_t>(offset) * static_cast<std::size_t>(limit);
    const std::size_t end = std::min(all.size(), start + static_cast<std::size_t>(limit));
    pageEntries.assign(all.begin() + static_cast<std::ptrdiff_t>(start),
                       all.begin() + static_cast<std::ptrdiff_t>(end));
  }
  call.answer = Answer::json(kx::Value(std::move(pageEntries)));
}

void KXWebFileRequestHandler::checkChildrenEncrypted(Call& call) {
  if (!call.fifth) return;
  bool encrypted = false;
  for (const KXFileMetaPtr& entry : client_.reads().objectsUnderFileId(*call.fifth)) {
    if (entry->encrypted()) {
      encrypted = true;
      break;
    }
  }
  call.answer = Answer::json(kx::Value::dict({{"hasEncryptedChildren", encrypted}}));
}

void KXWebFileRequestHandler::checkNamePath(Call& call) {
  const kx::Value* fileId = call.params.find("fileId");
  KXFileMetaPtr entry = fileId ? lookup(fileId->stringValue()) : nullptr;
  if (!entry) return;
  KXEntryReads::NamePathResolution resolution =
      client_.reads().lastParentIdFromNamePath(entry->namePath());
  KXFileMetaPtr lastExisting = lookup(resolution.lastParentId);
  if (!lastExisting) lastExisting = client_.reads().rootEntry();
  KXFileMetaPtr lastParent =
      resolution.found < static_cast<std::int64_t>(resolution.components.size()) ? entry
                                                                                 : lastExisting;
  std::optional<kx::Dictionary> last = webUtil_.fileDictFrom(lastParent, false);
  std::optional<kx::Dictionary> existing = webUtil_.fileDictFrom(lastExisting, false);
  call.answer = (!lastParent || !lastExisting || !last || !existing)
                    ? Answer::fail(KXURLErrorResourceUnavailable)
                    : Answer::json(kx::Value::dict(
                          {{"lastParent", kx::Value(std::move(*last))},
                           {"oriExistedLastParent", kx::Value(std::move(*existing))}}));
}

void KXWebFileRequestHandler::getNamePath(Call& call) {
  const kx::Value* fileId = call.params.find("fileId");
  KXFileMetaPtr entry = fileId ? lookup(fileId->stringValue()) : nullptr;
  std::optional<kx::Dictionary> converted =
      entry ? webUtil_.fileDictFrom(entry, false) : std::nullopt;
  call.answer = converted ? Answer::json(kx::Value(std::move(*converted)))
                          : Answer::fail(KXURLErrorResourceUnavailable);
}

void KXWebFileRequestHandler::readBytes(Call& call) {
  if (!call.fifth) return;
  KXFileMetaPtr entry = lookup(*call.fifth);
  std::optional<kx::Bytes> bytes = KXFileManager::defaultManauger().readDataContentFileSync(
      *call.fifth, entry ? entry->title() : std::string());
  call.answer = Answer::raw(bytes ? std::move(*bytes) : kx::Bytes());
}

void KXWebFileRequestHandler::readText(Call& call) {
  if (!call.fifth) return;
  KXFileMetaPtr entry = lookup(*call.fifth);
  std::optional<std::string> text = KXFileManager::defaultManauger().originStringContentFileSync(
      *call.fifth, false, entry ? entry->title() : std::string());
  if (!text) {
    call.answer = Answer::fail(KXURLErrorResourceUnavailable);
  } else if (text->size() <= kLargeTextBytes) {
    call.answer = Answer::raw(kx::Bytes(text->begin(), text->end()));
  } else {
    const double pause = static_cast<double>(text->size()) / kLargeTextBytesPerSecond;
    auto bytes = std::make_shared<kx::Bytes>(text->begin(), text->end());
    call.answersLater = true;
    kx::MainQueue::shared().after(pause, [sender = call.sender, url = call.url, bytes] {
      send(*sender, url, Answer::raw(std::move(*bytes)));
    });
  }
}

void KXWebFileRequestHandler::trashList(Call& call) {
  call.params.set("sort", 0);
  call.params.set("entire", false);
  call.answer = Answer::json(
      kx::Value(fileArrayWithMetas(client_.reads().recentObjectsWithLimit(-1, true), call.params)));
}

void KXWebFileRequestHandler::trashGet(Call& call) {
  const kx::Value* fileId = call.params.find("fileId");
  if (!fileId) return;
  call.params.set("entire", false);
  call.answer = Answer::json(kx::Value(
      fileArrayWithRows(client_.reads().rowsForParentId(fileId->stringValue()), call.params)));
}
