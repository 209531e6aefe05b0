// kxtest::TestUserEndpoints adds the user endpoints to a TestNoteService:
//   "/qrt/mapi/user"          the user meta (a JSON object set by the test),
//                             or the next queued order
//   "/qrt/api/self"           the self info (a JSON object set by the test)
//   photo paths               bytes set by the test per path
//   "/qrt/device_open/delete" the wipe confirmation: 200 with the body set
//                             by the test (empty by default)
// An order is one failed user meta answer: {"error": error, "ecode": ecode}
// (and "userid" when given), with HTTP status `error` when it is not 0, else
// 403. Orders are answered first in, first out, one per request.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_TESTUSERENDPOINTS_H_
#define ZN_TESTS_SUPPORT_TESTUSERENDPOINTS_H_

#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "support/TestNoteService.h"

namespace kxtest {

class TestUserEndpoints {
 public:
  static constexpr const char* kUserMetaPath = "/qrt/mapi/user";
  static constexpr const char* kSelfInfoPath = "/qrt/api/self";
  static constexpr const char* kDeletePath = "/qrt/device_open/delete";

  // Installs the routes; `service` must outlive this object's use.
  explicit TestUserEndpoints(TestNoteService& service);

  void setUserMeta(const std::string& json);
  void order(int error, int ecode, const std::string& userid = {});
  void setSelfInfo(const std::string& json);
  void setPhoto(const std::string& path, const std::string& bytes);
  void setDeleteReply(int status, const std::string& body);

 private:
  TestNoteService& service_;
  std::mutex mu_;
  std::deque<Reply> orders_;                   // guarded by mu_
  std::string userMeta_ = "{}";                // guarded by mu_
  std::string selfInfo_ = "{}";                // guarded by mu_
  std::map<std::string, std::string> photos_;  // guarded by mu_
  Reply deleteReply_;                          // guarded by mu_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTUSERENDPOINTS_H_
