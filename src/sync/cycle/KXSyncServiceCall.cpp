#include "sync/cycle/KXSyncServiceCall.h"

#include <string>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXErrorDomain.h"
#include "platform/Semaphore.h"

kx::Error KXSyncAnswerError(const std::string& what) {
  return kx::Error(kKXErrorDomain, kKXSyncAnswerErrorCode,
                   kx::Value::dict({{kx::kLocalizedDescriptionKey, kx::Value(what)}}));
}

KXSyncServiceReply KXSyncServiceCall(const KXNetworkOperationOptions& options, bool parse,
                                     std::shared_ptr<KXNetworkOperation> operation) {
  if (!operation) operation = std::make_shared<KXNetworkOperation>();
  KXNetworkOperationOptions sent = options;
  // The raw body comes back; it is parsed here.
  sent.remove(kKXOptionDataType);
  operation->setOption(sent);
  operation->clearRuntimeData();

  struct Shared {
    kx::Semaphore done;
    KXSyncServiceReply reply;
  };
  auto shared = std::make_shared<Shared>();
  operation->asyncNetworkOperationWithCallback(
      [shared](const kx::Value& result, const kx::HTTPResponseHead& head, const kx::Error& error) {
        shared->reply.status = head.status;
        shared->reply.body = result;
        shared->reply.error = error;
        shared->done.signal();
      });
  // A cancelled operation (sign-out, sleep) never calls its block.
  while (!shared->done.wait(0.25)) {
    if (operation->isCancelled()) {
      return {0, {}, {}, kx::Error(kx::kURLErrorDomain, -999)};
    }
  }
  KXSyncServiceReply reply = shared->reply;
  if (reply.error) return reply;
  if (reply.status != 200) {
    reply.error = KXSyncAnswerError("status " + std::to_string(reply.status));
    return reply;
  }
  if (parse) {
    kx::Error parseError;
    if (reply.body.isData()) {
      reply.json = objectFromJSONDataWithParseOptions(reply.body.bytes(), 0, &parseError);
    } else if (reply.body.isString()) {
      reply.json = objectFromJSONStringWithParseOptions(reply.body.string(), 0, &parseError);
    }
    if (reply.json.isNull()) reply.error = KXSyncAnswerError("the answer is not JSON");
  }
  return reply;
}
