#include "sync/cycle/KXSyncMyshareServiceFetcher.h"

#include <memory>
#include <utility>

#include "CommonUtils/KXServiceBaseURL.h"
#include "account/KXNetworkOperation.h"
#include "sync/cycle/KXSyncServiceCall.h"

KXSyncMyshareServiceFetcher::KXSyncMyshareServiceFetcher(std::string serviceBaseURL)
    : serviceBaseURL_(std::move(serviceBaseURL)) {}

void KXSyncMyshareServiceFetcher::fetchContent(const std::string& fileId, const kx::Value& version,
                                               Completion completion) {
  const std::string base = serviceBaseURL_.empty() ? KXServiceBaseURL() : serviceBaseURL_;
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(KXNetworkOperationOptions{
      {kKXOptionURL, kx::Value(base + kDownloadPath)},
      {kKXOptionParams, kx::Value::dict({{"entryId", kx::Value(fileId)}, {"version", version}})}});
  // The block keeps the operation alive until it has answered.
  operation->asyncNetworkOperationWithCallback(
      [operation, completion = std::move(completion)](
          const kx::Value& result, const kx::HTTPResponseHead& head, const kx::Error& error) {
        if (error || head.status != 200) {
          completion(std::nullopt,
                     error ? error : KXSyncAnswerError("status " + std::to_string(head.status)));
          return;
        }
        std::string text;
        if (result.isData()) {
          text.assign(result.bytes().begin(), result.bytes().end());
        } else if (result.isString()) {
          text = result.string();
        }
        completion(text, kx::Error());
      });
}
