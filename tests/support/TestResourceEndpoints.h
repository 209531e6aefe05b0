// kxtest::TestResourceEndpoints adds the resource side of the note service
// to a TestNoteService, beside the pull (TestSyncEndpoints) and push
// (TestPushEndpoints) endpoints whose upload sessions it reads:
//
//   POST "/qrt/api/personal/resource?method=batchMetas"  form "idversions"
//        ("<id>:<version>;..."): [{"value": {"resourceId", "fileName",
//        "fileSize", "version", "mimeType", "md5", "metaProps":
//        {"restype", "resowner"}}}, ...] in the request's order, for the
//        resources the service holds.
//   GET "/qrt/api/personal/resource/<id>?method=getResource"  the bytes.
//   GET "/src/<id>"  the bytes (the address a note's text refers to).
//   GET "/qrt/api/personal/share/qp"  query "fileId": {"url": link} for an
//        entry given a publish link, else 404.
//   POST "/qrt/api/personal/sync?method=putResource"  a stream body (the
//        parameters as JSON, "parameters-length" bytes) with "resourceId",
//        "resourceName", "transmitId", "metaProps": the bytes of the upload
//        session become the resource (a new version); the answer carries
//        the headers "url", "src" ("//<host>/src/<id>") and "ROOT-VERSION"
//        (the resource's version) and {"fileSize": n}.
//
// Faults: the batch answer reversed or without one id, an answer to
// putResource without "url" and "src", and per-resource download faults
// set on the service (Fault::truncated() drops the connection after half
// the bytes; Fault::withStatus(416)). It counts the downloads of each
// resource and keeps the parameters of every putResource.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_TESTRESOURCEENDPOINTS_H_
#define ZN_TESTS_SUPPORT_TESTRESOURCEENDPOINTS_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "support/TestNoteService.h"
#include "support/TestPushEndpoints.h"
#include "support/TestSyncEndpoints.h"

namespace kxtest {

class TestResourceEndpoints {
 public:
  static constexpr const char* kResourcePath = "/qrt/api/personal/resource";
  static constexpr const char* kSharePath = "/qrt/api/personal/share/qp";

  struct StoredResource {
    std::string bytes;
    std::int64_t version = 1;
    std::string fileName;
    std::string mimeType;  // "" leaves it out of the metas
    std::int64_t restype = 1;
    std::string resowner;
  };

  // `push` may be null (no putResource then). All must outlive this object,
  // and this object the service's last request: its routes stay installed
  // (destroy it after the service has stopped).
  TestResourceEndpoints(TestNoteService& service, TestSyncEndpoints& sync, TestPushEndpoints* push);
  ~TestResourceEndpoints();

  // ---- The service side ----------------------------------------------------
  void putResource(const std::string& id, StoredResource resource);
  // Gives `noteId`'s meta the list of `ids` with their current versions (a
  // change of the note, as when it was saved with them).
  std::int64_t attachToNote(const std::string& noteId, const std::vector<std::string>& ids);
  bool hasResource(const std::string& id) const;
  StoredResource resource(const std::string& id) const;
  void setPublishLink(const std::string& fileId, const std::string& url);

  // ---- Faults ---------------------------------------------------------------
  void setBatchReversed(bool reversed);
  void setBatchLeavesOut(const std::string& id);
  void setPutAnswersWithoutAddress(bool without);
  // The path of a resource's download, for TestNoteService::setFault.
  static std::string downloadPath(const std::string& id);

  // ---- What the service received ----------------------------------------------
  int downloadsOf(const std::string& id) const;
  std::size_t batchRequests() const;
  std::size_t shareRequests() const;
  std::vector<kx::Dictionary> putResourceParams() const;

 private:
  Reply batchMetas(const RecordedRequest& request);
  Reply bytesOf(const std::string& id, bool counted);
  Reply share(const RecordedRequest& request);
  Reply putFromUpload(const RecordedRequest& request);
  void routeResource(const std::string& id);

  TestNoteService& service_;
  TestSyncEndpoints& sync_;
  TestPushEndpoints* const push_;
  mutable std::mutex mu_;
  std::map<std::string, StoredResource> resources_;  // guarded by mu_
  std::map<std::string, std::string> links_;         // guarded by mu_
  std::map<std::string, int> downloads_;             // guarded by mu_
  std::vector<kx::Dictionary> puts_;                 // guarded by mu_
  std::string leftOut_;                              // guarded by mu_
  std::size_t batches_ = 0;                          // guarded by mu_
  std::size_t shares_ = 0;                           // guarded by mu_
  bool reversed_ = false;                            // guarded by mu_
  bool withoutAddress_ = false;                      // guarded by mu_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTRESOURCEENDPOINTS_H_
