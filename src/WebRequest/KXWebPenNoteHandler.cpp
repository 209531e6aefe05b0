#include "WebRequest/KXWebPenNoteHandler.h"

#include <utility>

#include "Data/client/KXEntryReads.h"
#include "Data/client/KXSyncRecords.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebRequestParameters.h"
#include "WebRequest/Reachability.h"
#include "platform/UserDefaults.h"

namespace {

// Service key, then attribute.
constexpr std::pair<const char*, const char*> kBookKeys[] = {
    {"avtice", "active"},
    {"createTime", "createTime"},
    {"deleted", "penNoteDelete"},
    {"entryId", "entryId"},
    {"entryType", "entryType"},
    {"erased", "erased"},
    {"favorited", "favorited"},
    {"fileSize", "fileSize"},
    {"modDeleted", "modDeleted"},
    {"modifyTime", "modifyTime"},
    {"name", "name"},
    {"typeId", "typeId"},
    {"userId", "userId"},
    {"version", "version"},
};

}  // namespace

KXWebPenNoteHandler& KXWebPenNoteHandler::sharedHandler() {
  static KXWebPenNoteHandler* handler = new KXWebPenNoteHandler(
      KXDataClient::defaultDataClient(),
      Environment{
          [](const std::string& host) {
            std::unique_ptr<Reachability> reachability =
                Reachability::reachabilityWithHostName(host);
            return Reachability::currentReachabilityStatus(reachability.get()) != NotReachable;
          },
          [](const std::string& entryId) {
            kx::Value pages =
                kx::UserDefaults::standardUserDefaults().objectForKey(kPagesDefaultsKey);
            if (!pages.isDictionary()) return kx::Value();
            const kx::Value* book = pages.dict().find(entryId);
            return book ? *book : kx::Value();
          },
      });
  return *handler;
}

KXWebPenNoteHandler::KXWebPenNoteHandler(KXDataClient& client, Environment environment)
    : client_(client), env_(std::move(environment)) {}

bool KXWebPenNoteHandler::acceptRequest(const kx::URLRequest& request) const {
  const kx::URL& url = request.url();
  const std::string path = url.path();
  if (path.empty()) return false;
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(path);
  if (c.size() < 5 || c[4] != "blepenbook") return false;
  const std::string query = url.query().value_or("");
  if (query.find("method=pull") == std::string::npos &&
      query.find("method=latestPages") == std::string::npos) {
    return false;
  }
  // Only now, for a pen request, the network is asked.
  return env_.isReachable && !env_.isReachable(url.host());
}

kx::Array KXWebPenNoteHandler::formatCoreData(
    const std::vector<std::shared_ptr<PenEntry>>& entries) {
  kx::Array books;
  client_.reads().performSyncReadBlock([&] {
    for (const std::shared_ptr<PenEntry>& entry : entries) {
      if (!entry) continue;
      kx::Dictionary book;
      for (const auto& [key, attribute] : kBookKeys) {
        kx::Value value = entry->value(attribute);
        if (!value.isNull()) book.set(key, std::move(value));
      }
      books.push_back(kx::Value(std::move(book)));
    }
  });
  return books;
}

// One request on its way through a method.
struct KXWebPenNoteHandler::Call {
  const kx::URL& url;
  kx::Dictionary params;
  KXDataRequestController& sender;
};

KXHandlerMethods<KXWebPenNoteHandler::PenMethod> KXWebPenNoteHandler::methods() {
  static constexpr PenMethod kMethods[] = {
      {"pull", &KXWebPenNoteHandler::pull, KXRequestTypeServiceRead},
      {"latestPages", &KXWebPenNoteHandler::latestPages, KXRequestTypeServiceRead},
  };
  return kMethods;
}

KXRequestType KXWebPenNoteHandler::methodEffect(std::string_view method) {
  const PenMethod* found = methods().find(method);
  return found ? found->effect : KXRequestTypeNotTaken;
}

void KXWebPenNoteHandler::handleRequest(const kx::URLRequest& request,
                                        std::shared_ptr<KXDataRequestController> sender) {
  KXWebRequestParameters::Parsed parsed = KXWebRequestParameters::parse(request);
  Call call{request.url(), std::move(parsed.params), *sender};
  if (const PenMethod* method = methods().find(parsed.method)) {
    (this->*method->call)(call);
  } else {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
  }
}

void KXWebPenNoteHandler::pull(Call& call) {
  std::vector<std::shared_ptr<PenEntry>> books = client_.records().penNotesList();
  if (books.empty()) {
    KXHandlerAnswer::fail(call.sender, KXURLErrorBadURL);
    return;
  }
  KXHandlerAnswer::json(call.sender, call.url,
                        kx::Value::dict({{"bookEntries", kx::Value(formatCoreData(books))}}));
}

void KXWebPenNoteHandler::latestPages(Call& call) {
  const kx::Value* entryId = call.params.find("entryId");
  const std::string id = entryId ? entryId->stringValue() : std::string();
  kx::Value pages = id.empty() || !env_.latestPages ? kx::Value() : env_.latestPages(id);
  if (!pages.isDictionary() && !pages.isArray()) {
    KXHandlerAnswer::fail(call.sender, KXURLErrorBadURL);
    return;
  }
  KXHandlerAnswer::json(call.sender, call.url, pages);
}
