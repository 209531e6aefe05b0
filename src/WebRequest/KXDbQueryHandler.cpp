#include "WebRequest/KXDbQueryHandler.h"

#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "platform/MainQueue.h"

std::shared_ptr<KXDbQueryHandler> KXDbQueryHandler::handlerWithCallback(Callback callback,
                                                                        kx::Queue* queue) {
  return std::make_shared<KXDbQueryHandler>(std::move(callback), queue);
}

KXDbQueryHandler::KXDbQueryHandler(Callback callback, kx::Queue* queue)
    : queue_(queue ? *queue : kx::MainQueue::shared()), callback_(std::move(callback)) {}

KXDbQueryHandler::Callback KXDbQueryHandler::callback() const {
  kx::MutexLock lock(mu_);
  return callback_;
}

void KXDbQueryHandler::setCallback(Callback callback) {
  kx::MutexLock lock(mu_);
  callback_ = std::move(callback);
}

std::string KXDbQueryHandler::headerJSON(const kx::HTTPHeaderFields& headers) {
  kx::Dictionary fields;
  for (const auto& field : headers.fields()) fields.set(field.first, field.second);
  return JSONString(fields);
}

void KXDbQueryHandler::localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                                            std::optional<kx::Bytes> data, kx::Error error) {
  if (error) {
    KXLOG("query answer dropped: %s", error.localizedDescription().c_str());
    return;
  }
  if (!data || data->empty()) {
    KXLOG("query answer without a body dropped (status %d)", response ? response->statusCode() : 0);
    return;
  }
  Callback callback = this->callback();
  if (!callback) return;
  std::string headers = headerJSON(response ? response->allHeaderFields() : kx::HTTPHeaderFields());
  queue_.async([callback = std::move(callback), body = std::move(*data),
                headers = std::move(headers)] { callback(body, headers); });
}
