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
//   {tmp}/Temp/{n}-{u}.tmp    temporary files ({tmp}: KXAppTempDirectoryURL;
//                             {u} makes each name unique)
//   {tmp}/Resources/{fileId}/{title}  temporary copies of stored files
//   {appdata}/.writing, {scratch}/.writing  the writers' temporaries
//                             (KXWritersTemporaryDirectory)
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
// Content and resource files. The bytes of notes, normal files and
// resources live in the layout above; the store only names them. Every
// write goes through a new file with a unique hidden name that replaces the
// old one in one step (kx::FileSystem::writeFileAtomically), so a reader
// sees the old bytes or the new ones, and a failed write leaves the old file
// as it was. The temporary is made in the writers' own hidden folder of the
// data root ({appdata}/.writing, {scratch}/.writing:
// KXWritersTemporaryDirectory), on the file system of the file and never
// among the stored files, so that a lookup that lists a normal file's
// folder never meets it and no stored file is ever taken for one;
// removeStaleTemporaryFiles removes those whose writer died. A normal
// file's lookup passes over hidden items that are not the entry's own file
// (what older builds' writers or the user's tools left there). Every writer
// reports what really happened: synchronous ones return false with the
// error, queued ones hand their completion the error (empty when the
// bytes are on disk). Resource writers give the stored
// file's path and the MD5 of its bytes only to their completion, once the
// bytes are on disk, so that no entry names a file that is not there.
// Readers read text as UTF-8, and as GB18030 when it is not valid UTF-8;
// text that is neither is refused. Content that cannot be read reads as the
// localised "this note is missing" where the reader says so. Moves fall
// back to copy and rename across file systems (kx::FileSystem::moveItem).
//
// Creating the shared object installs the foundation layer's hooks for the
// current user's data directory and configuration file (KXHooks). The data
// directory hook is what the logger opens its file in, so nothing on that
// path logs.
//
// Thread safety: the path builders, readers and synchronous writers may be
// called from any thread; two callers that create the same directory at
// once both succeed. Synchronous writes do not use the queues, so a
// synchronous write and a queued write of the same file are not ordered
// against each other. Callbacks run on the queue that did the work. The
// copy handler and copiedResourceInfos are guarded by mu_.
#ifndef ZN_DATA_KXFILEMANAGER_H_
#define ZN_DATA_KXFILEMANAGER_H_

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Crypto.h"
#include "platform/Error.h"
#include "platform/ErrorOr.h"
#include "platform/FileSystem.h"
#include "platform/Mutex.h"
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

// Keys of a temporary copy request (KXTempResourceInfo): the file's name,
// the path of the stored file and the id of its entry or resource.
inline constexpr const char* kKXTempResourceInfoTitle = "title";
inline constexpr const char* kKXTempResourceInfoFile = "file";
inline constexpr const char* kKXTempResourceInfoFileId = "fileId";

class KXFileManager {
 public:
  using CopyCompleteHandler = std::function<void(const std::string& fileId, const kx::Error&)>;
  // Completion of a queued write, move or removal: an empty error when it
  // was done.
  using Completion = std::function<void(const kx::Error& error)>;
  using StringContentCallback =
      std::function<void(const std::optional<std::string>& text, const kx::Error& error)>;
  using DataContentCallback =
      std::function<void(const std::optional<kx::Bytes>& data, const kx::Error& error)>;
  // Completion of a resource write: the stored file's path and the MD5 (32
  // lower-case hex digits) of the bytes now in it; both "" on failure.
  using ResourceFileCompletion = std::function<void(
      const std::string& path, const std::string& dataHash, const kx::Error& error)>;
  // The path of a temporary copy, or "" when there is none.
  using TempFileHandler = std::function<void(const std::string& path)>;

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
  // The key of the text read in place of content that cannot be read.
  static constexpr const char* kMissingContentKey = "this note is missing";
  // Above this size (25 MiB) a temporary copy is not compared byte for byte.
  static constexpr std::uint64_t kTempCompareLimit = 26214400;

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
  // {appdata}/{userId}. Missing: created. A directory there: removed with
  // everything in it when wantToClean (and not created again here). A file
  // there: removed, no directory created. Fails with EINVAL for a user id
  // that cannot name a folder, and with the file system's error when making
  // or removing failed.
  kx::ErrorOr<std::string> cleanedUserDataDirectory(const std::string& userId, bool wantToClean);
  // The same with the older contract: the path is returned also when making
  // or removing failed (the error goes to *error); only for a user id that
  // cannot name a folder it is "" (and EINVAL).
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
  // The cache file of an icon image address or of a path on the service
  // host: IconImage/ + the lower-case SHA-1 of its path, "?" and its query
  // (so "https://host/p.png?a" and "/p.png?a" name one file).
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
  // Hidden items other than one of the given name are passed over: they
  // are never the entry's file.
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
  // A new temporary file's path, {tmp}/Temp/{n}-{unique}.tmp with n =
  // KXTimeUtil::currentTime(): no two calls, from any thread or process,
  // get the same path, and nothing is there when it is returned (the file is
  // not made). "Temp" is created (the path is returned even when that
  // failed).
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
  // Not implemented: raises "KXMethodNotImplemented".
  static std::string dataHashForResourceDataStream(std::istream& stream);

  // ---- Reading content ----

  // The localised text of kMissingContentKey, read in place of content that
  // cannot be read; and the error of domain "com.zarvel.note.Error", code
  // kKXErrorCodeContentFileMissing, with no user info.
  static std::string missingContentText();
  static kx::Error missingContentError();

  // The text of a note's content. For the editor, when the editor copy
  // ({fileId}.html) is not on disk yet, the plain content is read as UTF-8,
  // wrapped into the editor page (KXHtmlUtil::htmlForEditor), returned at
  // once, and written as the editor copy on the content queue. Otherwise the
  // file is read as UTF-8, or GB18030 when it is not UTF-8. nullopt when
  // there is no path or the file cannot be read or decoded.
  std::optional<std::string> originStringContentFileSync(const std::string& fileId,
                                                         bool isForEditor);
  // The same on the file-name path; without the editor flag, when nothing is
  // at that path, the note's plain content path is read instead.
  std::optional<std::string> originStringContentFileSync(const std::string& fileId,
                                                         bool isForEditor,
                                                         const std::string& fileName);
  // The text of a note's (or Markdown file's) plain content, for the index,
  // telling a file that is not there from one that cannot be read: the text
  // (UTF-8, or GB18030 when it is not UTF-8); isMissingContent errors when
  // no content file is stored (nothing to index but the title); any other
  // error (EIO, EACCES, bytes of neither encoding) when the file is there
  // but unreadable now, which a caller must not take for empty text. With a
  // file name, the file-name path is read, and the plain content path when
  // nothing is at the first.
  kx::ErrorOr<std::string> readContentTextSync(const std::string& fileId,
                                               const std::string& fileName = {});
  // Whether an error of readContentTextSync says that no content file is
  // stored (ENOENT, or an id that names no file).
  static bool isMissingContent(const kx::Error& error);
  // originStringContentFileSync, or the missing-content text.
  std::string readStringContentFileSync(const std::string& fileId, bool isForEditor);
  // On the content queue: the text of readStringContentFileSync, with the
  // missing-content error when it is the missing-content text; nullopt and
  // no error for an empty file id.
  void readStringContentFile(const std::string& fileId, StringContentCallback callback,
                             bool isForEditor);
  // The bytes of a note's content file, or the UTF-8 bytes of the
  // missing-content text when it cannot be read; nullopt when there is no
  // path.
  std::optional<kx::Bytes> readDataContentFileSync(const std::string& fileId);
  // For a normal file's name, the stored file's bytes, falling back to the
  // content file by id, then to the missing-content text; for other names
  // readDataContentFileSync(fileId).
  std::optional<kx::Bytes> readDataContentFileSync(const std::string& fileId,
                                                   const std::string& fileName);
  // On the content queue: readDataContentFileSync(fileId), with the
  // missing-content error when there are no bytes or they are the
  // missing-content text.
  void readDataContentFile(const std::string& fileId, DataContentCallback callback);

  // ---- Writing content ----

  // Writes a note's content file atomically. false (and *error) when there
  // is no path or the write failed; a failed write is logged and presented
  // as "Save Note Content Fail" and leaves the old file as it was.
  [[nodiscard]] bool writeContentFileSync(kx::ByteView data, const std::string& fileId,
                                          kx::Error* error = nullptr);
  // The same on the file-name path (a normal file's stored file).
  [[nodiscard]] bool writeContentFileSync(kx::ByteView data, const std::string& fileId,
                                          const std::string& fileName, kx::Error* error = nullptr);
  // The same on the ".tmp" sibling of the content file.
  [[nodiscard]] bool writeContentTmpFileSync(kx::ByteView data, const std::string& fileId,
                                             kx::Error* error = nullptr);
  // The synchronous writes, queued on the content queue (the bytes are
  // copied first); the completion, when given, runs there afterwards.
  void writeContentFile(kx::ByteView data, const std::string& fileId, Completion completion);
  void writeContentFile(kx::ByteView data, const std::string& fileId, const std::string& fileName,
                        Completion completion);
  void writeContentTmpFile(kx::ByteView data, const std::string& fileId, Completion completion);

  // ---- Renaming, removing, copying, moving ----

  // On the content queue, moves the file-name path for the title (a normal
  // file's one stored file, or a note's content file), as it is when the
  // queue gets to it, to Contents/{fileId}/{title}. Failures are logged.
  void renameContentFile(const std::string& fileId, const std::string& title,
                         Completion completion = nullptr);
  // On the content queue, removes the note's plain content file when there
  // is one; the editor copy and a normal file's directory stay.
  void removeContentFile(const std::string& fileId, Completion completion = nullptr);
  // On the caller's thread, copies the content of sourceId (its file-name
  // path, else its plain content file) to the file-name path of newNoteId.
  // A target parent "1" (the trash) is presented as "parent book has been
  // deleted!" and the copy still made; a missing path is presented as "copy
  // content File error"; a failed copy, also onto an existing file, as
  // "Save Note Content Fail". A source without content copies nothing and
  // succeeds. fromParentId is not used.
  [[nodiscard]] bool copyContentFile(const std::string& sourceId, const std::string& newNoteId,
                                     const std::string& fromParentId, const std::string& toParentId,
                                     const std::string& newFileName, kx::Error* error = nullptr);
  // On the content queue, moves a file into place, replacing what is at the
  // destination (a file in one step; a directory is removed first). The
  // completion, when given, gets the outcome: also a missing path or source
  // ("rename File error" is presented for a missing path), a destination
  // that cannot be removed ("Can not delete file") and a failed move ("Save
  // Note Content Fail").
  void moveFileFromPath(const std::string& fromPath, const std::string& toPath,
                        Completion completion);

  // ---- Resource files ----

  // Writes "resource-entry-data" (bytes or text) of a KXResourceFileInfo
  // atomically to resourceFileURL(info), formed now, on the resource-write
  // queue; the completion gets the path and the MD5 of the bytes once they
  // are on disk. The path is given nowhere else: record it from there.
  void writeResourceFile(const kx::Value& resourceFileInfo, ResourceFileCompletion completion);
  // The same for a copy of the file at "resource-entry-extern-file" (it must
  // be there and not be a directory), made through a unique temporary file
  // beside the target; the hash is that of the copied bytes, in the form of
  // datahashForResourceURL ("" for an empty file).
  void copyResourceFileFormExtern(const kx::Value& resourceFileInfo,
                                  ResourceFileCompletion completion);
  // Looks the resource up through the installed resource-file lookup (the
  // data client's, which waits for the store's read queue) and removes its
  // entry's stored file on the content queue when it is there. An unknown
  // resource, or one without a file, removes nothing and is no error.
  void removeResourceFile(const std::string& resourceId, Completion completion = nullptr);
  // Answers the stored file of a resource ("" when there is none). The data
  // client installs it when it is made, so that the file manager needs
  // nothing of the client; without one, removeResourceFile finds no file.
  using ResourceFileLookup = std::function<std::string(const std::string& resourceId)>;
  static void setResourceFileLookup(ResourceFileLookup lookup);
  // Not implemented: each raises "KXMethodNotImplemented".
  void writeResourceFileSync(const kx::Value& resourceFileInfo);
  std::string resourceURLForResource(const kx::Value& resource);

  // ---- Temporary copies for preview ----

  // When the stored file at "file" of a KXTempResourceInfo is newer than its
  // temporary copy (or there is none), queues on the resource-copy queue a
  // fresh copy to URLForTempResourceFileWithID("fileId", "title"), carrying
  // the stored file's modification time, as the only item in the id's
  // temporary directory. While it is made, copiedResourceInfos holds
  // fileId -> true. The check is made again on the queue, so requests that
  // pile up copy once.
  void copyResourceToTemp(const kx::Value& tempResourceInfo);
  // The first item of the id's temporary directory; "" when none.
  std::string tempFileURLForResourceID(const std::string& fileId);
  // tempFileURLForResourceID on the resource-copy queue, after every copy
  // queued before; the handler runs there.
  void tempFileForResourceID(const std::string& fileId, TempFileHandler handler);
  // Whether the temporary copy differs from the stored file: false without a
  // copy or when either cannot be read; true when the copy is newer; else,
  // when either is at most kTempCompareLimit bytes, whether the bytes
  // differ; false when both are larger.
  bool tempFileForResourceIDModified(const std::string& fileId, const std::string& original);
  // Removes every item in the id's temporary directory.
  void removeAllItemsInTempURL(const std::string& fileId);
  // Queues on the resource-copy queue the removal of the scratch directory.
  void clearTemp();

  // ---- Stale temporaries ----

  // On a background queue, removes the atomic writers' hidden temporaries
  // (kx::FileSystem::isTemporaryName) that a writer killed midway left:
  // those whose process is gone, and those untouched for a day. It looks
  // only into the writers' own folder of each data root
  // (KXWritersTemporaryDirectory), where every writer of this class makes
  // its temporaries, and, for what older builds and writers outside this
  // class leave beside their files, into the folders of the layout whose
  // items this program names itself: the application data root, each
  // user's directory, and Contents, Resources, Resources/{e}, Preivew and
  // Thumbnail in it. It never walks the stored files: a normal file's
  // folder, a content bucket, a resource's folder, the shared downloads and
  // the scratch copies hold names given by titles, ids or the service, so a
  // name there shaped like a temporary's may be a stored file (a user may
  // title a file ".notes.tmp-7ffffff0-5-0badf00d"). The temporaries older
  // builds left in such folders stay: they are hidden, and no lookup takes
  // them for a stored file. Nothing but temporaries is removed (a
  // "{fileId}.tmp" sibling is content) and links are not followed. Run
  // once per start, off the start-up path; the completion, when given,
  // gets the first failure (a folder that is not there is none) on that
  // queue.
  void removeStaleTemporaryFiles(Completion completion = nullptr);

  // The layout-version check, which nothing calls (so no ".version" file is
  // ever written): reads "<user dir>/.version"; a number below 1.0 is logged
  // and handed to the data client's upgrade (KXDataClient::updateFromVersion,
  // which raises: there is no older layout), whose completion writes "1.0";
  // a missing file gets "1.0". When that write fails the program quits
  // through the user-interface port.
  void checkVersion();

  // ---- Configuration ----

  // On the resource-write queue, saves the shared configuration
  // (KXConfiguration::save, which logs and presents a failure); the
  // completion, when given, gets the outcome there.
  void writeConfigurationFile(Completion completion = nullptr);

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
  // {tmp}/Resources/{fileId}, not created; "" when the id cannot name it.
  std::string tempResourceDirectory(const std::string& fileId);
  // The editor copy step of originStringContentFileSync: the page made from
  // the plain content at plainPath, with its write to editorPath queued.
  std::optional<std::string> editorPageFromPlainContent(const std::string& plainPath,
                                                        const std::string& editorPath);
  // Writes data atomically to path; a failure is logged and presented as
  // "Save Note Content Fail".
  [[nodiscard]] bool writeContentAt(const std::string& path, kx::ByteView data, kx::Error* error);
  // The copy step of copyResourceToTemp, on the resource-copy queue.
  void copyToTempNow(const std::string& fileId, const std::string& source,
                     const std::string& destination);
  // Copies the file `from` to `to` through a new file with a unique name in
  // tempFolder (on the file system of `to`): streamed, synced, given
  // *modificationTime when not null, then renamed over `to`. *md5Hex, when
  // not null, receives the MD5 of the copied bytes ("" for none).
  [[nodiscard]] static bool copyFileAtomically(const std::string& from, const std::string& to,
                                               const std::string& tempFolder,
                                               const kx::FileTime* modificationTime,
                                               std::string* md5Hex, kx::Error* error);
  // The folders removeStaleTemporaryFiles looks into (not below): the
  // writers' folders and the folders of the layout that hold no item named
  // by a title, an id or the service.
  static std::vector<std::string> staleTemporarySweepFolders();
  // The stale temporaries directly in one folder removed; their number.
  // The first failure goes to *error when it is empty.
  static std::size_t removeStaleTemporariesIn(const std::string& folder, std::int64_t now,
                                              kx::Error* error);
  // Removes the item when it may be removed (EPERM otherwise).
  [[nodiscard]] static bool removeOwnedItem(const std::string& path, kx::Error* error);

  kx::SerialQueue queueForContent_;
  kx::SerialQueue queueForWriteResource_;
  kx::SerialQueue queueForReadResource_;
  kx::SerialQueue queueForCopyResource_;

  mutable kx::Mutex mu_;
  CopyCompleteHandler copyCompleteHandler_ GUARDED_BY(mu_);
  kx::Dictionary copiedResourceInfos_ GUARDED_BY(mu_);
};

#endif  // ZN_DATA_KXFILEMANAGER_H_
