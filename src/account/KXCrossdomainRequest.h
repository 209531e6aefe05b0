// KXCrossdomainRequest opens pages of the note service in the user's browser
// already signed in: it asks the account service for a one-time login ticket
// ("pci", a GET of "/login/acc/se/cross/first" that carries the client's
// session cookies from the transport's jar) and opens the service's
// "/login/acc/cross/second" address with the ticket and the wanted page
// (escaped into "ru") through the installed URL opener.
//
// One ticket request runs at a time: the kept network operation is reused,
// and a request made while it is running fails at once (nothing, false).
// A ticket answer counts only with status 200 and a JSON object holding
// "pci"; anything else ends with (nothing, false), and then nothing is
// opened and nothing is shown. Every request calls its callback once.
//
// Creating the shared object installs the login-info opener of the
// foundation layer (KXHooks), through which links to the service are opened.
//
// Thread safety: every member may be called from any thread. The ticket
// callback runs on the transport's executor (a global queue), or at once on
// the caller's thread when the request fails before it is sent.
#ifndef ZN_ACCOUNT_KXCROSSDOMAINREQUEST_H_
#define ZN_ACCOUNT_KXCROSSDOMAINREQUEST_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "account/KXNetworkOperation.h"
#include "platform/Mutex.h"

class KXCrossdomainRequest : public KXNetworkOperationDelegate,
                             public KXConcurrentDelegate,
                             public std::enable_shared_from_this<KXCrossdomainRequest> {
 public:
  using TicketCallback =
      std::function<void(const std::optional<std::string>& ticket, bool success)>;

  // The one object of the process, created on the first call and never
  // freed.
  static KXCrossdomainRequest& sharedRequest();

  // An object of its own (tests). Create with std::make_shared.
  KXCrossdomainRequest();
  KXCrossdomainRequest(const KXCrossdomainRequest&) = delete;
  KXCrossdomainRequest& operator=(const KXCrossdomainRequest&) = delete;

  void fetchCrosskeyWithCallBack(TicketCallback callback);
  // Opens the absolute address of a service page signed in.
  void openUrlWithLoginInfo(const std::string& absoluteURL);

  // KXNetworkOperationDelegate.
  void didNetworkOperationRecievedHttpCode(std::int64_t code,
                                           KXNetworkOperation& operation) override;
  void didNetworkOperationSuccessCompleted(const kx::Value& result,
                                           KXNetworkOperation& operation) override;
  void didNetworkOperationFailWithError(const kx::Error& error,
                                        KXNetworkOperation& operation) override;
  void didNetworkOperationClosed(KXNetworkOperation& operation, const kx::Error& error) override;
  bool handlesFailure() const override { return true; }
  // KXConcurrentDelegate: the operation has ended; the callback gets the
  // outcome, (nothing, false) when there was none (a 200 whose body is not
  // JSON).
  void completeWithOperator(KXNetworkOperation& operation) override;

 private:
  struct Verdict {
    std::optional<std::string> ticket;
    bool success = false;
  };

  // Keeps the first outcome of the running request; its callback gets it
  // when the operation has ended.
  void finish(const std::optional<std::string>& ticket, bool success);

  kx::Mutex mu_;
  std::shared_ptr<KXNetworkOperation> socket_ GUARDED_BY(mu_);
  TicketCallback callback_ GUARDED_BY(mu_);
  std::optional<Verdict> verdict_ GUARDED_BY(mu_);
};

#endif  // ZN_ACCOUNT_KXCROSSDOMAINREQUEST_H_
