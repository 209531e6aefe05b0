#include "account/NSURLSessionZarvelNote.h"

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"

namespace {

std::mutex& starterMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}

NSURLSessionZarvelNote::DataTaskStarter& starterSlot() {
  static auto* slot = new NSURLSessionZarvelNote::DataTaskStarter();
  return *slot;
}

}  // namespace

void NSURLSessionZarvelNote::setDataTaskStarter(DataTaskStarter starter) {
  std::lock_guard<std::mutex> lock(starterMutex());
  starterSlot() = std::move(starter);
}

std::optional<kx::Bytes> NSURLSessionZarvelNote::syncDataTaskWith(const kx::URLRequest& request,
                                                                  kx::Error* /*error*/) {
  DataTaskStarter starter;
  {
    std::lock_guard<std::mutex> lock(starterMutex());
    starter = starterSlot();
  }
  if (!starter) {
    KXLOG("no network transport for %s", request.url().absoluteString().c_str());
    return std::nullopt;
  }

  // The box outlives the wait: a completion that comes after the wait gave
  // up writes into it and is dropped with it.
  auto box = std::make_shared<std::promise<std::optional<kx::Bytes>>>();
  auto once = std::make_shared<std::once_flag>();
  std::future<std::optional<kx::Bytes>> answer = box->get_future();
  starter(request, [box, once](std::optional<kx::HTTPURLResponse> response,
                               std::optional<kx::Bytes> body, kx::Error error) {
    std::call_once(*once, [&] {
      if (!error && response && response->statusCode() == 200) {
        box->set_value(body ? std::move(body) : kx::Bytes());
      } else {
        box->set_value(std::nullopt);
      }
    });
  });

  double limit = request.timeoutInterval() + kGraceSeconds;
  if (answer.wait_for(std::chrono::duration<double>(limit)) != std::future_status::ready) {
    KXLOG("no answer for %s within %.0f s", request.url().absoluteString().c_str(), limit);
    return std::nullopt;
  }
  return answer.get();
}

kx::Dictionary NSURLSessionZarvelNote::syncDataTaskDictWith(const kx::URLRequest& request,
                                                            kx::Error* /*error*/) {
  std::optional<kx::Bytes> body = syncDataTaskWith(request);
  if (!body) return kx::Dictionary();
  kx::Value parsed = objectFromJSONData(*body);
  if (parsed.isDictionary()) return parsed.dict();
  if (parsed.isArray()) {
    bool allObjects = true;
    for (const kx::Value& item : parsed.array()) allObjects = allObjects && item.isDictionary();
    if (allObjects) return kx::Dictionary{{"data", parsed}};
  }
  return kx::Dictionary();
}
