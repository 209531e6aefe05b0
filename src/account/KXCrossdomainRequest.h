// KXCrossdomainRequest opens pages of the note service in the user's browser
// already signed in: it asks the account service for a one-time cross-domain
// login ticket and opens the service's second-step login address with the
// ticket and the page.
//
// The ticket request belongs to the account service's HTTP operation, which
// this client does not have yet; until it does, openUrlWithLoginInfo() opens
// nothing and reports nothing, which is also what it does when the ticket
// cannot be had.
//
// Creating the shared object installs the login-info opener of the
// foundation layer (KXHooks), through which links to the service are opened.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_ACCOUNT_KXCROSSDOMAINREQUEST_H_
#define ZN_ACCOUNT_KXCROSSDOMAINREQUEST_H_

#include <string>

class KXCrossdomainRequest {
 public:
  // The one object of the process, created on the first call and never
  // freed.
  static KXCrossdomainRequest& sharedRequest();

  KXCrossdomainRequest(const KXCrossdomainRequest&) = delete;
  KXCrossdomainRequest& operator=(const KXCrossdomainRequest&) = delete;

  // Opens the absolute address of a service page signed in. Opens nothing
  // for now (see above).
  void openUrlWithLoginInfo(const std::string& absoluteURL);

 private:
  KXCrossdomainRequest() = default;
};

#endif  // ZN_ACCOUNT_KXCROSSDOMAINREQUEST_H_
