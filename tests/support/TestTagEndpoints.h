// kxtest::TestTagEndpoints adds the tag list endpoints to a TestNoteService:
//
//   GET  "/qrt/mapi/tag?method=get"  {"v": version, "tags": [tag...]}
//   POST "/qrt/mapi/tag?method=set"  multipart, part "tags": the client's
//        whole list as JSON. The list replaces the service's (parsed by the
//        parser the test installs; without one only the text is kept), the
//        version rises by one and the answer is {"v": version}.
//
// A tag is the service's object {"tagid", "name", "ptagid", "createTime",
// "modifyTime"}. putTag and removeTag change the list as another client
// would: each raises the version, and putTag stamps "modifyTime" later than
// any stamp before.
//
// Faults: the next `n` set requests answer 500 and change nothing.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_TESTTAGENDPOINTS_H_
#define ZN_TESTS_SUPPORT_TESTTAGENDPOINTS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "support/TestNoteService.h"

namespace kxtest {

class TestTagEndpoints {
 public:
  static constexpr const char* kTagPath = "/qrt/mapi/tag";
  using Parser = std::function<kx::Value(const std::string& json)>;

  // Installs the routes; `service` must outlive this object's use.
  explicit TestTagEndpoints(TestNoteService& service, Parser parser = nullptr);

  // ---- The service side, edited as another client would ----------------
  void putTag(const std::string& tagId, const std::string& name);
  void removeTag(const std::string& tagId);
  std::int64_t version() const;
  // The service's tags by id.
  std::map<std::string, kx::Value> tags() const;
  std::string name(const std::string& tagId) const;

  void failNextSets(int n);
  // The "tags" part of each set request, in order (failed ones included).
  std::vector<std::string> pushedLists() const;
  std::size_t getRequests() const;

 private:
  Reply get();
  Reply set(const RecordedRequest& request);

  TestNoteService& service_;
  const Parser parser_;
  mutable std::mutex mu_;
  std::map<std::string, kx::Value> tags_;  // guarded by mu_
  std::int64_t version_ = 1;               // guarded by mu_
  std::int64_t clock_ = 1000;              // guarded by mu_; the last "modifyTime"
  int failSets_ = 0;                       // guarded by mu_
  std::vector<std::string> pushed_;        // guarded by mu_
  std::size_t gets_ = 0;                   // guarded by mu_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTTAGENDPOINTS_H_
