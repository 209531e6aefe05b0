// KXFileManager knows where everything of the application lives on disk:
//
//   {appdata}                 kx::Places::applicationDataRoot()
//   {appdata}/bgImage         background images, shared by all users
//   {appdata}/editor          the downloaded web editor, shared by all users
//   {appdata}/{user}          the user's data directory ("EmptyUser" when
//                             nobody is signed in), holding the store
//                             "ZarvelNote.db", the log "ZarvelNote.log",
//     Contents/{c}/{fileId}        a note's content ({c}: the id's last
//     Contents/{c}/{fileId}.html   character) and its editor copy
//     Contents/{fileId}/{name}     the stored file of a normal file
//     Resources/{e}/{t}/{uuid}     a resource's file ({e}: entry number
//     Resources/{e}/{t}/{fileId}/{title}  modulo 9, {t}: the current second
//                                  modulo 9); office documents keep a title
//     Preivew/{n}, Thumbnail/{n}   previews and thumbnails ("Preivew" is the
//                                  name on disk)
//     IconImage/{sha1}             cached icon images
//     Index                        the full-text index
//     config, history, state       configuration, history and window state
//   {tmp}/Temp/{n}.tmp        temporary files ({tmp}: KXAppTempDirectoryURL)
//   {tmp}/Resources/{fileId}/{title}  temporary copies of stored files
//   {resources}/names.dat, {resources}/stopwords.dat  shipped read-only
//
// Paths are returned as file-system paths; an empty path means there is
// none (the directory could not be created, or an argument cannot name a
// file). Builders that create their directory do so on demand
// (createNonExistsDir); a directory that cannot be created is logged and
// presented as "Can not create file or directory".
//
// Ids and user ids that name a folder or file must be one plain path
// component: an empty one, ".", "..", or one that holds "/" or NUL is
// refused (the path is empty). Titles and file names are the user's own
// text, so they are encoded instead: "/" and NUL as "%2F" and "%00", and a
// name that is all "." or ".." as "%2E" / "%2E%2E". Nothing outside the
// application data root and the scratch root is ever removed.
//
// The four serial queues order the file work done on this class: content
// files, resource writes (and the configuration file), resource reads and
// temporary copies of stored files.
//
// Creating the shared object installs the foundation layer's hooks for the
// current user's data directory and configuration file (KXHooks). The data
// directory hook is what the logger opens its file in, so nothing on that
// path logs.
//
// Thread safety: the path builders may be called from any thread; two
// callers that create the same directory at once both succeed. The copy
// handler and copiedResourceInfos are guarded by mu_.
#ifndef ZN_DATA_KXFILEMANAGER_H_
#define ZN_DATA_KXFILEMANAGER_H_

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Crypto.h"
#include "platform/Error.h"
#include "platform/SerialQueue.h"
#include "platform/Value.h"

// Keys of a resource file description (KXResourceFileInfo), the dictionary
// that names a resource's stored file.
inline constexpr const char* kKXResourceFileInfoTitle = "title";
inline constexpr const char* kKXResourceFileInfoEntryId = "resource-entry-id";
inline constexpr const char* kKXResourceFileInfoFileId = "file-id";
inline constexpr const char* kKXResourceFileInfoEntryUuid = "resource-entry-uuid";
inline constexpr const char* kKXResourceFileInfoEntryData = "resource-entry-data";
inline constexpr const char* kKXResourceFileInfoExternFile = "resource-entry-extern-file";

class KXFileManager {
 public:
  using CopyCompleteHandler = std::function<void(const std::string& fileId, const kx::Error&)>;

  static constexpr const char* kBgImageDirectoryName = "bgImage";
  static constexpr const char* kEditorDirectoryName = "editor";
  static constexpr const char* kContentDirectoryName = "Contents";
  static constexpr const char* kResourceDirectoryName = "Resources";
  static constexpr const char* kPreviewDirectoryName = "Preivew";
  static constexpr const char* kThumbnailDirectoryName = "Thumbnail";
  static constexpr const char* kIconImageDirectoryName = "IconImage";
  static constexpr const char* kIndexDirectoryName = "Index";
  static constexpr const char* kConfigurationFileName = "config";
  static constexpr const char* kHistoryFileName = "history";
  static constexpr const char* kStateFileName = "state";
  static constexpr const char* kTempDirectoryName = "Temp";
  static constexpr const char* kNameDictFileName = "names.dat";
  static constexpr const char* kStopWordsFileName = "stopwords.dat";
  static constexpr std::size_t kHashChunkSize = 16384;

  // The shared object, created on the first call and never freed.
  static KXFileManager& defaultManauger();

  KXFileManager(const KXFileManager&) = delete;
  KXFileManager& operator=(const KXFileManager&) = delete;

  kx::SerialQueue& queueForContent() { return queueForContent_; }
  kx::SerialQueue& queueForWriteResource() { return queueForWriteResource_; }
  kx::SerialQueue& queueForReadResource() { return queueForReadResource_; }
  kx::SerialQueue& queueForCopyResource() { return queueForCopyResource_; }

  // Called after each temporary copy of a stored file when set.
  CopyCompleteHandler copyCompleteHandler() const;
  void setCopyCompleteHandler(CopyCompleteHandler handler);

  // File id -> true while a temporary copy of that file is being made.
  kx::Dictionary copiedResourceInfos() const;
  // Changes the dictionary in place under the lock.
  void updateCopiedResourceInfos(const std::function<void(kx::Dictionary&)>& change);

  // ---- The application's and the users' directories ----

  // {appdata}; not created here.
  std::string URLForApplicationDataDirectory();
  // {appdata}/{userId}. Missing: created (the error goes to *error). A
  // directory there: removed with everything in it when wantToClean (and
  // not created again here). A file there: removed, no directory created.
  // The path is returned in every case, except for a user id that cannot
  // name a folder: then "" and EINVAL.
  std::string URLForCleanedUserDataDirectory(const std::string& userId, bool wantToClean,
                                             kx::Error* error);
  std::string URLForCleanedUserDataDirectory(const std::string& userId, kx::Error* error) {
    return URLForCleanedUserDataDirectory(userId, true, error);
  }
  std::string URLForUserDataDirectory(const std::string& userId, kx::Error* error) {
    return URLForCleanedUserDataDirectory(userId, false, error);
  }
  // The session's current user's directory, created when missing.
  std::string URLForCurrentUserDataDirectory();

  std::string URLForCurrentUserContentDirectory();
  std::string URLForCurrentUserResourceDirectory();
  std::string URLForCurrentUserPreviewDirectory();
  std::string URLForCurrentUserThumbnailDirectory();
  std::string URLForCurrentUserPreviewDictoryWithSubDirectory(long subDirectory);
  std::string URLForCurrentUserThumbnailDictoryWithSubDirectory(long subDirectory);
  // The cache file of an icon image address: IconImage/ + the lower-case
  // SHA-1 of the address's path, "?" and its query.
  std::string URLForCurrentUserIconImageWithPath(const std::string& imageURL);
  // Created; the path is returned even when creation failed.
  std::string URLForCurrentUserFulltextInexDirectory();
  // Not created.
  std::string URLForConfigurationFile();
  std::string URLForHistoryDataFile();
  std::string URLForLatestStateFile();
  // Created; the path is returned even when creation failed.
  std::string URLForBgImageFile();
  std::string URLForEditorFile();

  // ---- Content and resource files ----

  // Contents/{c}/{fileId}, or the editor copy Contents/{c}/{fileId}.html.
  std::string URLForContentFile(const std::string& fileId, bool isForEditor);
  // As above, except that a normal file's name (one with an extension that
  // is not a note format) gives the file in Contents/{fileId}/: the given
  // name while that directory is empty, else the one file in it, or the
  // larger of the first two (by name order; the first when not smaller).
  std::string URLForContentFile(const std::string& fileId, bool isForEditor,
                                const std::string& fileName);
  // The stored file of a resource (see KXResourceFileInfo above).
  std::string resourceFileURL(const kx::Value& resourceFileInfo);

  // ---- Shipped files and temporary files ----

  // "" when the file is not among the resources.
  std::string URLForNameDict();
  // "" when missing, which is also logged and presented as "Application is
  // corrupt.".
  std::string URLForFulltextStopWordsFile();
  // {tmp}/Temp/{n}.tmp with n = KXTimeUtil::currentTime(); "Temp" is
  // created (the path is returned even when that failed).
  std::string URLForTempFile();
  // {tmp}/Resources/{fileId}/{title}; the {fileId} directory is created (the
  // path is returned even when that failed).
  std::string URLForTempResourceFileWithID(const std::string& fileId, const std::string& title);

  // YES when a directory is at the path afterwards. A file in the way is
  // removed first (only below the application data or scratch root).
  bool createNonExistsDir(const std::string& path);

  // ---- Digests of resource data ----

  // 32 lower-case hex digits of the MD5 of the bytes.
  static std::string dataHashForResourceData(kx::ByteView data);
  // The MD5 of a file, read in chunks of kHashChunkSize bytes, as 32
  // lower-case hex digits; "" for an empty file; nullopt when the file
  // cannot be opened or read.
  static std::optional<std::string> datahashForResourceURL(const std::string& path);

  // ---- Path components ----

  // True for one plain path component (not empty, ".", "..", no "/" or NUL).
  static bool isSafePathComponent(std::string_view name);
  // The name as a path component: "/" -> "%2F", NUL -> "%00", "." -> "%2E",
  // ".." -> "%2E%2E"; "" stays "" (no component).
  static std::string encodedPathComponent(std::string_view name);
  // True when `path` lies strictly below the folder `root` (textually, after
  // collapsing slashes; a path with a "." or ".." component never does).
  static bool isStrictlyBelow(const std::string& path, const std::string& root);

 private:
  KXFileManager();

  // {user dir}/name, created; "" when that fails.
  std::string currentUserSubdirectory(const char* name);
  // {user dir}/name, not created ("" when there is no user directory).
  std::string currentUserFile(const char* name);
  // The bucket directory of a file id's content, created; "" when it cannot
  // be had.
  std::string contentBucket(const std::string& fileId, std::string* contentDirectory);
  // Whether the item at path may be removed by this class.
  static bool isRemovable(const std::string& path);

  kx::SerialQueue queueForContent_;
  kx::SerialQueue queueForWriteResource_;
  kx::SerialQueue queueForReadResource_;
  kx::SerialQueue queueForCopyResource_;

  mutable std::mutex mu_;
  CopyCompleteHandler copyCompleteHandler_;  // guarded by mu_
  kx::Dictionary copiedResourceInfos_;       // guarded by mu_
};

#endif  // ZN_DATA_KXFILEMANAGER_H_
