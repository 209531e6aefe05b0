#include "WebRequest/KXWebTagRequestHandler.h"

#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/KXDelayRunUtil.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/DataUtil/KXTagUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/Tag.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebRequestParameters.h"

// One request on its way through a method.
struct KXWebTagRequestHandler::Call {
  const kx::URL& url;
  kx::Dictionary params;
  std::shared_ptr<KXDataRequestController> sender;
};

KXWebTagRequestHandler& KXWebTagRequestHandler::sharedHandler() {
  static KXWebTagRequestHandler* handler = [] {
    KXDataClient& client = KXDataClient::defaultDataClient();
    std::shared_ptr<KXDelayRunUtil> window = KXDelayRunUtil::utilWithDelaySec(
        kSaveDelaySeconds, [&client](KXDelayRunUtil::Completion completion) {
          client.state().performSave([completion](const KXResultInfo&, const kx::Error&) {
            KXNoteUtil::sharedUtil().startSync();
            if (completion) completion();
          });
        });
    return new KXWebTagRequestHandler(client, KXWebFileRequestHandler::sharedHandler(),
                                      [window] { window->runWithCallback(nullptr); });
  }();
  return *handler;
}

KXWebTagRequestHandler::KXWebTagRequestHandler(KXDataClient& client,
                                               KXWebFileRequestHandler& fileHandler,
                                               std::function<void()> saveAndSync)
    : client_(client), fileHandler_(fileHandler), saveAndSync_(std::move(saveAndSync)) {}

bool KXWebTagRequestHandler::acceptRequest(const kx::URLRequest& request) const {
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(request.url().path());
  return c.size() >= 3 && c[0] == "qrt" && c[1] == "mapi" && c[2] == "tag";
}

void KXWebTagRequestHandler::handleRequest(const kx::URLRequest& request,
                                           std::shared_ptr<KXDataRequestController> sender) {
  KXWebRequestParameters::Parsed parsed = KXWebRequestParameters::parse(request);
  Call call{request.url(), std::move(parsed.params), sender};
  if (const TagMethod* method = methods().find(parsed.method)) {
    (this->*method->call)(call);
  } else {
    // No method, or one this handler does not serve.
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
  }
}

KXHandlerMethods<KXWebTagRequestHandler::TagMethod> KXWebTagRequestHandler::methods() {
  using Handler = KXWebTagRequestHandler;
  static constexpr TagMethod kMethods[] = {
      {"list", &Handler::tagList, KXRequestTypeServiceRead},
      {"get", &Handler::tagGet, KXRequestTypeServiceRead},
      {"update", &Handler::tagUpdate, KXRequestTypeServiceChange},
      {"remove", &Handler::tagRemove, KXRequestTypeServiceChange},
  };
  return kMethods;
}

KXRequestType KXWebTagRequestHandler::methodEffect(std::string_view method) {
  const TagMethod* found = methods().find(method);
  return found ? found->effect : KXRequestTypeNotTaken;
}

void KXWebTagRequestHandler::tagList(Call& call) {
  const kx::Dictionary& params = call.params;
  const kx::URL& url = call.url;
  KXDataRequestController* sender = call.sender.get();
  const kx::Value* tagId = params.find("tagid");
  std::shared_ptr<Tag> tag = tagId ? client_.reads().objectForTagID(tagId->stringValue()) : nullptr;
  if (!tag) {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  KXFileMetaArray entries = client_.reads().objectsWithTagId(tagId->stringValue(), false);
  kx::Array page = fileHandler_.fileArrayWithMetas(entries, params);
  KXHandlerAnswer::json(*sender, url,
                        kx::Value::dict({{"entries", kx::Value(std::move(page))},
                                         {"count", static_cast<long long>(entries.size())}}));
}

void KXWebTagRequestHandler::tagGet(Call& call) {
  const kx::URL& url = call.url;
  KXDataRequestController* sender = call.sender.get();
  kx::Error error;
  std::optional<std::vector<std::shared_ptr<Tag>>> tags = client_.tags().readTagSyncForCondition(
      kx::Dictionary{{kKXQueryEntityKey, "Tag"},
                     {kKXQueryConditionKey, "isLocalRemoved = 0 AND tagId != nil"}},
      &error);
  if (!tags) {
    KXHandlerAnswer::error(*sender, error ? error : KXURLError::make(KXURLErrorBadURL));
    return;
  }
  kx::Array list;
  client_.reads().performSyncReadBlock([&] {
    for (const std::shared_ptr<Tag>& tag : *tags) {
      std::optional<kx::Dictionary> remote = KXNameDict::namesConvertFromLocalToRemote(
          kx::Value(KXTagUtil::dictOfTag(tag)), KXNameDict::kTagNamespace);
      if (remote) list.push_back(kx::Value(std::move(*remote)));
    }
  });
  KXHandlerAnswer::json(*sender, url,
                        kx::Value::dict({{"v", client_.state().dbTagVersion()},
                                         {"tags", kx::Value(std::move(list))}}));
}

KXDataCallback KXWebTagRequestHandler::changeAnswer(
    const std::shared_ptr<KXDataRequestController>& sender, const kx::URL& url) {
  return [this, sender, url](const KXResultInfo&, const kx::Error& error) {
    if (error) {
      KXHandlerAnswer::error(*sender, error);
      return;
    }
    KXHandlerAnswer::json(*sender, url, kx::Value::dict({{"v", client_.state().dbTagVersion()}}));
    if (saveAndSync_) saveAndSync_();
  };
}

void KXWebTagRequestHandler::tagUpdate(Call& call) {
  const kx::Dictionary& params = call.params;
  const kx::URL& url = call.url;
  const std::shared_ptr<KXDataRequestController>& sender = call.sender;
  const kx::Value* tagId = params.find("tagid");
  if (!tagId || tagId->stringValue().empty()) {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  // The page sends the tag's service names ("tagid", "name", "ptagid");
  // they are stored under the tag's own attribute names.
  std::optional<kx::Dictionary> fields =
      KXNameDict::namesConvertFromRemoteToLocal(kx::Value(params), KXNameDict::kTagNamespace);
  if (!fields) {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  if (std::shared_ptr<Tag> tag = client_.reads().objectForTagID(tagId->stringValue())) {
    kx::Array change{
        kx::Value::dict({{KXEntryWrites::kModifyIdentityKey, tag->objectID().toValue()},
                         {KXEntryWrites::kModifyFieldsKey, kx::Value(*fields)}})};
    client_.writes().modifyTags(change, changeAnswer(sender, url));
  } else {
    client_.writes().addTags(kx::Array{kx::Value(std::move(*fields))}, changeAnswer(sender, url));
  }
}

void KXWebTagRequestHandler::tagRemove(Call& call) {
  const kx::Dictionary& params = call.params;
  const kx::URL& url = call.url;
  const std::shared_ptr<KXDataRequestController>& sender = call.sender;
  const kx::Value* tagId = params.find("tagid");
  std::shared_ptr<Tag> tag = tagId ? client_.reads().objectForTagID(tagId->stringValue()) : nullptr;
  if (!tag) {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  client_.writes().deleteTags({tag->objectID()}, changeAnswer(sender, url));
}
