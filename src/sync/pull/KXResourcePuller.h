// KXResourcePuller fetches the resources a pulled note expects, for its
// object puller:
//
//   metas     one POST "/qrt/api/personal/resource?method=batchMetas" with
//             "idversions" ("<id>:<version>" joined by ";"); the answer's
//             elements are matched to the expected resources by their
//             "resourceId", whatever their order. An expected resource the
//             answer does not hold, an element that is not usable, or an
//             id that could not name a request path fails the pull: a note
//             is never stored as complete with a resource missing;
//   files     every resource the store does not hold in that version (with
//             its file on disk) is downloaded with GET
//             "/qrt/api/personal/resource/<id>?method=getResource" ("v": the
//             version) into a temporary file of its own, all through the
//             pull controller. Each record gets "dataHash", "mimeType" (the
//             service's, else sniffed from the bytes), "imageSize" ("WxH"
//             of an image, else "") and "modifiedInLocal" (entirePull).
//
// Nothing is written to the store here: the answer hands each record with
// its downloaded file ("tmpFile") to the object puller, which stores the
// note first and then the resources through the store's resource writes,
// so that a cancelled or failed pull leaves no resource behind. The
// service's "fileName" becomes the record's title only; the store never
// uses it as a path unencoded.
//
// With entirePull (a conflict copy of a note) every file is downloaded and
// each record gets a new "resourceID", so the copy holds resources of its
// own.
//
// The block is called once: {"resourceInfos": service resource id →
// record} and no error, or the error ("com.zarvel.note.Error",
// 0x400000002, or the transport's). One failed download fails the whole
// pull at once, cancels the others and removes every file downloaded for
// it. After clearEnvironment() (a failed or cancelled pull) nothing is
// called and every downloaded file is removed.
//
// Thread safety: every member may be called from any thread; the steps run
// on the threads of the request callbacks.
#ifndef ZN_SYNC_KXRESOURCEPULLER_H_
#define ZN_SYNC_KXRESOURCEPULLER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXConcurrentController;
class KXDataClient;

class KXResourcePuller : public std::enable_shared_from_this<KXResourcePuller> {
 public:
  static constexpr const char* kBatchMetasPath = "/qrt/api/personal/resource?method=batchMetas";
  static constexpr const char* kResourcePath = "/qrt/api/personal/resource/";
  static constexpr const char* kResourceInfosKey = "resourceInfos";
  // The record's downloaded file (not a store field); missing when the
  // store already holds the resource's file.
  static constexpr const char* kTmpFileKey = "tmpFile";

  using Callback = std::function<void(const kx::Value& result, const kx::Error& error)>;

  // Empty members take the program's: the data client of whoever is
  // signed in, KXServiceBaseURL(), the pull controller, the file manager's
  // temporary files.
  struct Services {
    KXDataClient* client = nullptr;
    std::string serviceBaseURL;
    KXConcurrentController* controller = nullptr;
    std::function<std::string()> tempFile;
  };

  // `resourceIdents`: dictionaries with "resourceId" and "version".
  static std::shared_ptr<KXResourcePuller> pullerWithResourceIdents(kx::Array resourceIdents,
                                                                    Services services);
  static std::shared_ptr<KXResourcePuller> pullerWithResourceIdents(kx::Array resourceIdents);
  KXResourcePuller(kx::Array resourceIdents, Services services);

  void setEntirePull(bool entirePull);
  void pullWithCallback(Callback callback);
  void clearEnvironment();

  // "r1:3;r2:5" of the expected resources.
  static std::string idVersions(const kx::Array& resourceIdents);
  // The store record of one answer element's "value" for the expected item
  // (nullopt when the value is not a dictionary).
  static std::optional<kx::Dictionary> recordFromReply(const kx::Value& value,
                                                       const kx::Dictionary& expected);
  // Whether a resource id may name a request path and a stored file.
  static bool isUsableResourceId(const std::string& resourceId);

 private:
  void metasAnswered(const kx::Value& result, const kx::Error& error);
  void pullResourceFiles(std::vector<std::string> ids);
  void fileAnswered(const std::string& resourceId, const std::string& tmpFile,
                    const kx::Error& error);
  void checkForResourceFiles();
  // Ends once; a failure removes every downloaded file.
  void finish(const kx::Error& error);
  bool heldInVersion(const std::string& resourceId, std::int64_t version);

  const kx::Array resourceIdents_;
  const Services services_;

  mutable kx::Mutex mu_;
  Callback callback_ GUARDED_BY(mu_);
  bool entirePull_ GUARDED_BY(mu_) = false;
  kx::Dictionary resourceInfos_ GUARDED_BY(mu_);
  std::shared_ptr<KXNetworkOperation> operator_ GUARDED_BY(mu_);
  std::vector<std::shared_ptr<KXNetworkOperation>> resourceFilePullers_ GUARDED_BY(mu_);
  std::vector<std::string> tmpFiles_ GUARDED_BY(mu_);
  std::size_t pending_ GUARDED_BY(mu_) = 0;
  bool started_ GUARDED_BY(mu_) = false;
  bool cleared_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXRESOURCEPULLER_H_
