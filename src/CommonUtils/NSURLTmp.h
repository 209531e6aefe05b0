// NSURLTmp holds the two helpers that the client adds to URLs:
//  - tmpURL: the sibling path through which a file is written before it is
//    moved into place ("/a/b/content" -> "/a/b/content.tmp");
//  - outterOpen: how every link that leaves the client is opened. A link to
//    the note service's own host (compared without regard to case) is opened
//    signed in, through the login-info opener (KXHooks); for the service's
//    plan page "/charge/setMeal.html" (path compared without regard to case)
//    "username=" and the current user's id, percent-encoded, are first added
//    to the query (after "&" when it has one, else after "?"; a fragment
//    stays at the end). Any other link goes to the installed KXURLOpener.
//
// Thread safety: pure helpers and calls into thread-safe openers; callable
// from any thread.
#ifndef ZN_COMMONUTILS_NSURLTMP_H_
#define ZN_COMMONUTILS_NSURLTMP_H_

#include <string>

#include "platform/URL.h"

class NSURLTmp {
 public:
  NSURLTmp() = delete;

  static std::string tmpURL(const std::string& path);
  static void outterOpen(const kx::URL& url);

  // The address that outterOpen hands to the login-info opener for a link to
  // the service host (the link unchanged, or with the user name added).
  static std::string loginInfoAddress(const kx::URL& url);
};

#endif  // ZN_COMMONUTILS_NSURLTMP_H_
