// KXWebFileRequestHandler answers, from the local store, the web
// interface's calls that list and read entries: resource thumbnails, one
// entry by id or path, a folder's children (a page or whole), an entry's
// ancestors, the recent list, the user's shares, the trash, the encrypted
// children and name path checks, note text and file bytes. Nothing leaves
// the machine and nothing in the store changes.
//
// Accepted: paths /qrt/mapi/file... and /qrt/api/personal/{file,trash}...
// (except a shared file's download: "shareKey" with "method=download" goes
// to the service), and /qrt/<any>/personal/myshare... with "method=list".
//
// Parameters come from the query and the form body (a body pair wins over
// a query pair of the same key, except "method", where the query's wins).
// Entries are answered as web file entries (KXFileMetaWebUtil): listings in
// the entire form unless "entire" says otherwise, single lookups in the
// short form. Every answer is 200 "HTTP/1.1" with pretty-printed JSON or
// raw bytes, or a URL error: -1000 for a missing method, parameter or
// entry and for a method this handler does not serve; -1008 for a lookup
// that gives nothing and note text that cannot be read.
//
// Every request is answered once. All answers but one come before
// handleRequest returns; note text above 1 MiB is answered later from the
// main queue, after one second per 4 MiB.
//
// Thread safety: no state besides the data client; both methods may be
// called from any thread at once.
#ifndef ZN_WEBREQUEST_KXWEBFILEREQUESTHANDLER_H_
#define ZN_WEBREQUEST_KXWEBFILEREQUESTHANDLER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "WebRequest/KXHandlerMethods.h"
#include "WebRequest/KXRequestType.h"
#include "platform/Value.h"

class KXFileMetaWebUtil;

class KXWebFileRequestHandler : public KXDataRequestDelegate {
 public:
  // Note text longer than this is answered after a pause.
  static constexpr std::size_t kLargeTextBytes = 1048576;
  // One second of pause per this many bytes.
  static constexpr double kLargeTextBytesPerSecond = 4194304;
  // Default page length of "listPage..." calls.
  static constexpr std::int64_t kDefaultPageLength = 20;
  // How many recent entries are read before paging.
  static constexpr std::int64_t kRecentLimit = 1000;

  // The program's handler, over KXDataClient::defaultDataClient().
  static KXWebFileRequestHandler& sharedHandler();
  // A handler over another client (tests, benchmarks).
  KXWebFileRequestHandler(KXDataClient& client, KXFileMetaWebUtil& webUtil)
      : client_(client), webUtil_(webUtil) {}

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

  // Filters ("dirOnly"), sorts ("sort" 0 none, 1 by latest time, 2 created,
  // 3 title or size, 4 title; folders first, then pinned entries; newest,
  // largest, last first unless "isReverse"), cuts after "lastId", keeps the
  // first "len" and converts ("entire", default true).
  kx::Array fileArrayWithMetas(const KXFileMetaArray& metas, const kx::Dictionary& params);
  // The same over rows (KXStoredRow): the one way both are answered; a
  // folder's children come as rows without an object each.
  kx::Array fileArrayWithRows(std::vector<KXStoredRow> rows, const kx::Dictionary& params);
  // The later of the entry's modify and stick times, in seconds.
  static std::int64_t getMaxTime(const FileMeta& entry);

  // What `method` does to the store: KXRequestTypeServiceRead for every
  // method served here, KXRequestTypeNotTaken for a name not served.
  static KXRequestType methodEffect(std::string_view method);

  static constexpr std::string_view kThumbnailScope = "/qrt/mapi/file";

 private:
  // One request on its way through a method, and a method of the tables.
  struct Call;
  using FileMethod = KXHandlerMethod<KXWebFileRequestHandler, Call>;

  // The methods of "/qrt/mapi/file" (kThumbnailScope), or of the folder
  // named by path component 3 ("file", "myshare", "trash"); none for
  // another folder.
  static KXHandlerMethods<FileMethod> methodsOf(std::string_view scope);
  // The method that answers `method` on the path `c`, or null.
  static const FileMethod* methodFor(const std::vector<std::string>& c, const std::string& method);

  // The methods of the tables (each sets the call's answer; -1000 stays
  // when what was asked for is missing).
  void thumbnail(Call& call);
  void myshareList(Call& call);
  void getEntry(Call& call);
  void listChildren(Call& call);
  void listPath(Call& call);
  void listRecent(Call& call);
  void checkChildrenEncrypted(Call& call);
  void checkNamePath(Call& call);
  void getNamePath(Call& call);
  void readBytes(Call& call);
  void readText(Call& call);
  void trashList(Call& call);
  void trashGet(Call& call);

  KXFileMetaPtr lookup(const std::string& id);
  // A folder named by "path" (the ...ByParentPath forms) or component 4.
  KXFileMetaPtr folderOf(const Call& call, bool byPath);

  KXDataClient& client_;
  KXFileMetaWebUtil& webUtil_;
};

#endif  // ZN_WEBREQUEST_KXWEBFILEREQUESTHANDLER_H_
