#include "Data/KXFileManager.h"

#include <iconv.h>
#include <signal.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "CommonUtils/KXAppTempDirectory.h"
#include "CommonUtils/KXConfiguration.h"
#include "CommonUtils/KXErrorDomain.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "CommonUtils/KXTimeUtil.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "CommonUtils/NSURLTmp.h"
#include "Data/DataUtil/KXHtmlUtil.h"
#include "Data/Resource.h"
#include "Data/ResourceEntry.h"
#include "account/KXSession.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/LocalizedStrings.h"
#include "platform/Mutex.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "platform/URL.h"

namespace {

constexpr std::uint32_t kDirectoryMode = 0700;

std::string join(const std::string& folder, std::string_view component) {
  return kx::Path::appendingPathComponent(folder, component);
}

// The last UTF-8 character of a non-empty text.
std::string lastCharacter(const std::string& text) {
  std::size_t start = text.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return text.substr(start);
}

// Message keys presented by the content file operations.
constexpr const char* kParentBookDeleted = "parent book has been deleted!";
constexpr const char* kCopyContentFileError = "copy content File error";
constexpr const char* kRenameFileError = "rename File error";

// The parent id of entries in the trash.
constexpr const char* kTrashParentId = "1";

// Copies are streamed in pieces of this size.
constexpr std::size_t kCopyChunkSize = 256 * 1024;

std::string_view asChars(kx::ByteView data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// Decodes GB18030 text into UTF-8 with the C library's converter. Input
// that is not GB18030 (an invalid or unfinished sequence) gives nullopt,
// never a partial or guessed text.
std::optional<std::string> decodeGB18030(std::string_view bytes) {
  iconv_t converter = ::iconv_open("UTF-8", "GB18030");
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  // A GB18030 character of n bytes becomes at most 1.5 n bytes of UTF-8.
  std::string out(bytes.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  std::size_t produced = 0;
  bool ok = true;
  while (ok) {
    char* outPtr = out.data() + produced;
    std::size_t outLeft = out.size() - produced;
    // The final call (no input) ends the conversion in the initial state.
    std::size_t result = inLeft > 0 ? ::iconv(converter, &in, &inLeft, &outPtr, &outLeft)
                                    : ::iconv(converter, nullptr, nullptr, &outPtr, &outLeft);
    produced = out.size() - outLeft;
    if (result != static_cast<std::size_t>(-1)) {
      if (inLeft == 0) break;
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {
      ok = false;  // EILSEQ: not GB18030; EINVAL: cut off inside a character
    }
  }
  ::iconv_close(converter);
  if (!ok) return std::nullopt;
  out.resize(produced);
  if (!kx::Text::isValidUtf8(out)) return std::nullopt;
  return out;
}

// The text of a file: UTF-8, else GB18030 when allowed; nullopt when the
// file cannot be read or is neither.
std::optional<std::string> readText(const std::string& path, bool allowGB18030) {
  std::string bytes;
  if (path.empty() || !kx::FileSystem::Default().readFile(path, &bytes, nullptr)) {
    return std::nullopt;
  }
  if (kx::Text::isValidUtf8(bytes)) return bytes;
  if (!allowGB18030) return std::nullopt;
  return decodeGB18030(bytes);
}

kx::Bytes toBytes(std::string_view text) { return kx::Bytes(text.begin(), text.end()); }

// The error for an id that gives no content path: EINVAL when it cannot
// name a file, ENOENT when its folder could not be had.
kx::Error noPathError(const std::string& fileId) {
  return kx::Error::posix(KXFileManager::isSafePathComponent(fileId) ? ENOENT : EINVAL, fileId);
}

// Removes a file id from the copy bookkeeping when it goes out of scope, so
// that an exception from a completion handler cannot leave the mark behind.
class CopyMark {
 public:
  CopyMark(KXFileManager& manager, std::string fileId)
      : manager_(manager), fileId_(std::move(fileId)) {
    manager_.updateCopiedResourceInfos([this](kx::Dictionary& d) { d.set(fileId_, true); });
  }
  ~CopyMark() {
    manager_.updateCopiedResourceInfos([this](kx::Dictionary& d) { d.remove(fileId_); });
  }
  CopyMark(const CopyMark&) = delete;
  CopyMark& operator=(const CopyMark&) = delete;

 private:
  KXFileManager& manager_;
  std::string fileId_;
};

// Where the atomic writers make the temporary of a file at `path`: beside
// the file's folder, in that folder's parent, which is on the same file
// system. A lookup that lists the file's folder (a normal file's, or a
// temporary copy's) then never meets a file that is still being written.
std::string temporaryFolderFor(const std::string& path) {
  const std::string folder = kx::Path::deletingLastPathComponent(path);
  const std::string parent = kx::Path::deletingLastPathComponent(folder);
  return parent.empty() ? folder : parent;
}

// The items of a folder that readers may be given: the hidden temporaries
// of the atomic writers (in flight, or left by a process that died) are
// left out. Empty when the folder cannot be listed.
std::vector<kx::DirectoryEntry> storedItemsIn(const std::string& directory) {
  std::vector<kx::DirectoryEntry> entries;
  if (!kx::FileSystem::Default().listDirectory(directory, &entries, nullptr)) return {};
  std::erase_if(entries, [](const kx::DirectoryEntry& entry) {
    return kx::FileSystem::isTemporaryName(entry.name);
  });
  return entries;
}

// A writer's temporary is stale when the process that made it is gone, or
// when nothing has touched it for a day: no write of ours leaves its
// temporary alone that long, and an old one whose process id was taken by
// another process would otherwise stay for good.
constexpr std::int64_t kStaleTemporaryAgeSeconds = 24 * 60 * 60;

bool isWriterGone(std::uint32_t pid) {
  // Ids that kill(2) reads as "my group" or as a group name no writer.
  if (pid == 0 || pid > 0x7fffffffu) return true;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Whether the temporary copy at `copy` is at least as new as the stored
// file described by `source`.
bool isCurrentCopy(const std::string& copy, const kx::FileInfo& source) {
  kx::FileInfo info;
  return kx::FileSystem::Default().getInfo(copy, true, &info, nullptr) &&
         !(info.modificationTime < source.modificationTime);
}

}  // namespace

KXFileManager::KXFileManager()
    : queueForContent_("com.zarvel.note.contentFile"),
      queueForWriteResource_("com.zarvel.note.resFile.write"),
      queueForReadResource_("com.zarvel.note.resFile.read"),
      queueForCopyResource_("com.zarvel.note.resFile.copy") {}

KXFileManager& KXFileManager::defaultManauger() {
  static KXFileManager* manager = [] {
    auto* created = new KXFileManager();
    KXHooks::setCurrentUserDataDirectoryProvider(
        [created] { return created->URLForCurrentUserDataDirectory(); });
    KXHooks::setConfigurationFilePathProvider(
        [created] { return created->URLForConfigurationFile(); });
    return created;
  }();
  return *manager;
}

KXFileManager::CopyCompleteHandler KXFileManager::copyCompleteHandler() const {
  kx::MutexLock lock(mu_);
  return copyCompleteHandler_;
}

void KXFileManager::setCopyCompleteHandler(CopyCompleteHandler handler) {
  kx::MutexLock lock(mu_);
  copyCompleteHandler_ = std::move(handler);
}

kx::Dictionary KXFileManager::copiedResourceInfos() const {
  kx::MutexLock lock(mu_);
  return copiedResourceInfos_;
}

void KXFileManager::updateCopiedResourceInfos(
    const std::function<void(kx::Dictionary&)>& change) {
  kx::MutexLock lock(mu_);
  change(copiedResourceInfos_);
}

// ---------------------------------------------------------------------------
// Path components
// ---------------------------------------------------------------------------

bool KXFileManager::isSafePathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string KXFileManager::encodedPathComponent(std::string_view name) {
  if (name == ".") return "%2E";
  if (name == "..") return "%2E%2E";
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '/') {
      out += "%2F";
    } else if (c == '\0') {
      out += "%00";
    } else {
      out += c;
    }
  }
  return out;
}

bool KXFileManager::isStrictlyBelow(const std::string& path, const std::string& root) {
  if (root.empty() || root[0] != '/' || path.empty()) return false;
  const std::string p = kx::Path::standardizingPath(path);
  const std::string r = kx::Path::standardizingPath(root);
  const std::string prefix = r == "/" ? r : r + "/";
  if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) return false;
  for (const std::string& component : kx::Path::pathComponents(p)) {
    if (component == "." || component == "..") return false;
  }
  for (const std::string& component : kx::Path::pathComponents(r)) {
    if (component == "." || component == "..") return false;
  }
  return true;
}

bool KXFileManager::isRemovable(const std::string& path) {
  return isStrictlyBelow(path, kx::Places::applicationDataRoot()) ||
         isStrictlyBelow(path, kx::Places::scratchRoot());
}

// ---------------------------------------------------------------------------
// Directories
// ---------------------------------------------------------------------------

bool KXFileManager::createNonExistsDir(const std::string& path) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::Error error;
  bool ok = false;
  if (!path.empty()) {
    if (fs.isDirectory(path)) return true;
    // Creation succeeds when another caller made the folder meanwhile, so
    // the folder is never taken for something in the way and removed with
    // what that caller has put in it.
    ok = fs.createDirectory(path, true, kDirectoryMode, &error);
    kx::FileInfo info;
    if (!ok && !fs.isDirectory(path) &&
        fs.getInfo(path, /*followSymlinks=*/false, &info, nullptr) && !info.isDirectory()) {
      // A file, or a link that leads nowhere, stands in the way. Unlinking
      // it can never remove a folder.
      if (!isRemovable(path)) {
        error = kx::Error::posix(EPERM, path);
      } else if (fs.removeFile(path, &error)) {
        ok = fs.createDirectory(path, true, kDirectoryMode, &error);
      }
    }
    if (!ok && fs.isDirectory(path)) ok = true;
  }
  if (ok) return true;
  KXLOG("create directory %s fail: %s", path.c_str(), error.localizedDescription().c_str());
  KXPresentError(kKXErrCannotCreateFileOrDirectory);
  return false;
}

std::string KXFileManager::URLForApplicationDataDirectory() {
  return kx::Places::applicationDataRoot();
}

kx::ErrorOr<std::string> KXFileManager::cleanedUserDataDirectory(const std::string& userId,
                                                                 bool wantToClean) {
  // Nothing on this path logs: the logger opens its file through it.
  const std::string root = URLForApplicationDataDirectory();
  if (!isSafePathComponent(userId) || root.empty()) return kx::Error::posix(EINVAL, userId);
  kx::FileSystem& fs = kx::FileSystem::Default();
  const std::string path = join(root, userId);
  bool isDirectory = false;
  kx::Error error;
  if (!fs.exists(path, &isDirectory)) {
    if (kx::Places::ensureApplicationDataRoot(&error)) {
      kx::ignoreError(fs.createDirectory(path, true, kDirectoryMode, &error));
    }
  } else if (!isDirectory || wantToClean) {
    kx::ignoreError(fs.removeItem(path, &error));
  }
  if (error) return error;
  return path;
}

std::string KXFileManager::URLForCleanedUserDataDirectory(const std::string& userId,
                                                          bool wantToClean, kx::Error* error) {
  kx::ErrorOr<std::string> made = cleanedUserDataDirectory(userId, wantToClean);
  if (made) return made.releaseValue();
  kx::SetError(error, made.error());
  const std::string root = URLForApplicationDataDirectory();
  if (!isSafePathComponent(userId) || root.empty()) return {};
  return join(root, userId);
}

std::string KXFileManager::URLForCurrentUserDataDirectory() {
  return URLForUserDataDirectory(KXSession::defaultSession().currentUser(), nullptr);
}

std::string KXFileManager::currentUserSubdirectory(const char* name) {
  const std::string userDirectory = URLForCurrentUserDataDirectory();
  if (userDirectory.empty()) return {};
  std::string path = join(userDirectory, name);
  return createNonExistsDir(path) ? path : std::string();
}

std::string KXFileManager::currentUserFile(const char* name) {
  const std::string userDirectory = URLForCurrentUserDataDirectory();
  return userDirectory.empty() ? std::string() : join(userDirectory, name);
}

std::string KXFileManager::URLForCurrentUserContentDirectory() {
  return currentUserSubdirectory(kContentDirectoryName);
}

std::string KXFileManager::URLForCurrentUserResourceDirectory() {
  return currentUserSubdirectory(kResourceDirectoryName);
}

std::string KXFileManager::URLForCurrentUserPreviewDirectory() {
  return currentUserSubdirectory(kPreviewDirectoryName);
}

std::string KXFileManager::URLForCurrentUserThumbnailDirectory() {
  return currentUserSubdirectory(kThumbnailDirectoryName);
}

std::string KXFileManager::URLForCurrentUserPreviewDictoryWithSubDirectory(long subDirectory) {
  const std::string parent = URLForCurrentUserPreviewDirectory();
  if (parent.empty()) return {};
  std::string path = join(parent, kx::Text::toString(subDirectory));
  return createNonExistsDir(path) ? path : std::string();
}

std::string KXFileManager::URLForCurrentUserThumbnailDictoryWithSubDirectory(long subDirectory) {
  const std::string parent = URLForCurrentUserThumbnailDirectory();
  if (parent.empty()) return {};
  std::string path = join(parent, kx::Text::toString(subDirectory));
  return createNonExistsDir(path) ? path : std::string();
}

std::string KXFileManager::URLForCurrentUserIconImageWithPath(const std::string& imageURL) {
  std::optional<kx::URL> url = kx::URL::parse(imageURL);
  if (imageURL.empty() || !url) return {};
  const std::string key = url->path() + "?" + url->query().value_or("");
  const std::string directory = currentUserSubdirectory(kIconImageDirectoryName);
  if (directory.empty()) return {};
  return join(directory, kx::Crypto::sha1Hex(key));
}

std::string KXFileManager::URLForCurrentUserFulltextInexDirectory() {
  const std::string userDirectory = URLForCurrentUserDataDirectory();
  if (userDirectory.empty()) return {};
  std::string path = join(userDirectory, kIndexDirectoryName);
  createNonExistsDir(path);
  return path;
}

std::string KXFileManager::URLForConfigurationFile() {
  return currentUserFile(kConfigurationFileName);
}

std::string KXFileManager::URLForHistoryDataFile() { return currentUserFile(kHistoryFileName); }

std::string KXFileManager::URLForLatestStateFile() { return currentUserFile(kStateFileName); }

std::string KXFileManager::URLForBgImageFile() {
  const std::string root = URLForApplicationDataDirectory();
  if (root.empty()) return {};
  kx::ignoreError(kx::Places::ensureApplicationDataRoot(nullptr));
  std::string path = join(root, kBgImageDirectoryName);
  createNonExistsDir(path);
  return path;
}

std::string KXFileManager::URLForEditorFile() {
  const std::string root = URLForApplicationDataDirectory();
  if (root.empty()) return {};
  kx::ignoreError(kx::Places::ensureApplicationDataRoot(nullptr));
  std::string path = join(root, kEditorDirectoryName);
  createNonExistsDir(path);
  return path;
}

// ---------------------------------------------------------------------------
// Content and resource files
// ---------------------------------------------------------------------------

std::string KXFileManager::contentBucket(const std::string& fileId,
                                         std::string* contentDirectory) {
  if (!isSafePathComponent(fileId)) return {};
  *contentDirectory = URLForCurrentUserContentDirectory();
  if (contentDirectory->empty()) return {};
  std::string bucket = join(*contentDirectory, encodedPathComponent(lastCharacter(fileId)));
  if (!createNonExistsDir(bucket)) {
    KXLOG("Create folder  %s fail", bucket.c_str());
    return {};
  }
  return bucket;
}

std::string KXFileManager::URLForContentFile(const std::string& fileId, bool isForEditor) {
  std::string contentDirectory;
  const std::string bucket = contentBucket(fileId, &contentDirectory);
  if (bucket.empty()) return {};
  std::string path = join(bucket, fileId);
  return isForEditor ? path + ".html" : path;
}

std::string KXFileManager::URLForContentFile(const std::string& fileId, bool isForEditor,
                                             const std::string& fileName) {
  std::string contentDirectory;
  const std::string bucket = contentBucket(fileId, &contentDirectory);
  if (bucket.empty()) return {};
  if (isForEditor) return join(bucket, fileId) + ".html";
  if (!NSStringDupTitle::isNormalFile(fileName)) return join(bucket, fileId);

  const std::string directory = join(contentDirectory, fileId);
  if (!createNonExistsDir(directory)) return {};
  const std::vector<kx::DirectoryEntry> entries = storedItemsIn(directory);
  if (entries.empty()) return join(directory, encodedPathComponent(fileName));
  if (entries.size() == 1) return join(directory, entries[0].name);
  const kx::DirectoryEntry& first = entries[0];
  const kx::DirectoryEntry& second = entries[1];
  return join(directory, first.size >= second.size ? first.name : second.name);
}

std::string KXFileManager::resourceFileURL(const kx::Value& resourceFileInfo) {
  const std::string& title = resourceFileInfo[kKXResourceFileInfoTitle].string();
  const std::int64_t entryId = resourceFileInfo[kKXResourceFileInfoEntryId].intValue();
  const std::string& fileId = resourceFileInfo[kKXResourceFileInfoFileId].string();
  const std::string& uuid = resourceFileInfo[kKXResourceFileInfoEntryUuid].string();

  const bool isOffice = NSStringDupTitle::isOfficeFile(title);
  if (isOffice ? !isSafePathComponent(fileId) : !isSafePathComponent(uuid)) return {};

  const std::string resources = URLForCurrentUserResourceDirectory();
  if (resources.empty()) return {};
  const std::string first = kx::Text::toString(entryId % 9);
  const std::string second = kx::Text::toString(kx::Time::nowSeconds() % 9);
  const std::string bucket = join(join(resources, first), second);
  if (!createNonExistsDir(bucket)) return {};
  if (!isOffice) return join(bucket, uuid);
  const std::string directory = join(bucket, fileId);
  if (!createNonExistsDir(directory)) return {};
  return join(directory, encodedPathComponent(title));
}

// ---------------------------------------------------------------------------
// Shipped files and temporary files
// ---------------------------------------------------------------------------

std::string KXFileManager::URLForNameDict() {
  const std::string resources = kx::Places::resourcesDirectory();
  if (resources.empty()) return {};
  std::string path = join(resources, kNameDictFileName);
  return kx::FileSystem::Default().exists(path) ? path : std::string();
}

std::string KXFileManager::URLForFulltextStopWordsFile() {
  const std::string resources = kx::Places::resourcesDirectory();
  std::string path = resources.empty() ? std::string() : join(resources, kStopWordsFileName);
  if (!path.empty() && kx::FileSystem::Default().exists(path)) return path;
  KXLOG("%s", kKXErrApplicationIsCorrupt);
  KXPresentError(kKXErrApplicationIsCorrupt);
  return {};
}

std::string KXFileManager::URLForTempFile() {
  const std::string tmp = KXAppTempDirectoryURL();
  if (tmp.empty()) return {};
  const std::string directory = join(tmp, kTempDirectoryName);
  createNonExistsDir(directory);
  // The time alone repeats (it is the microseconds of the clock): the unique
  // part keeps callers on other threads or in other processes apart.
  const std::string prefix = kx::Text::toString(KXTimeUtil::currentTime()) + "-";
  return kx::FileSystem::Default().temporaryPathIn(directory, prefix) + ".tmp";
}

std::string KXFileManager::URLForTempResourceFileWithID(const std::string& fileId,
                                                        const std::string& title) {
  const std::string tmp = KXAppTempDirectoryURL();
  if (tmp.empty() || !isSafePathComponent(fileId) || title.empty()) return {};
  const std::string directory = join(join(tmp, kResourceDirectoryName), fileId);
  createNonExistsDir(directory);
  return join(directory, encodedPathComponent(title));
}

// ---------------------------------------------------------------------------
// Digests
// ---------------------------------------------------------------------------

std::string KXFileManager::dataHashForResourceData(kx::ByteView data) {
  return kx::Crypto::md5Hex(data);
}

std::optional<std::string> KXFileManager::datahashForResourceURL(const std::string& path) {
  kx::Digest digest(kx::Digest::Algorithm::MD5);
  std::uint64_t total = 0;
  bool read = kx::FileSystem::Default().readChunks(
      path, kHashChunkSize,
      [&](const std::uint8_t* data, std::size_t size) {
        digest.update(kx::ByteView(data, size));
        total += size;
        return true;
      },
      nullptr);
  if (!read) return std::nullopt;
  if (total == 0) return std::string();
  std::string hex = digest.finishHex();
  if (hex.empty()) return std::nullopt;
  return hex;
}

// ---------------------------------------------------------------------------
// Helpers of the file operations
// ---------------------------------------------------------------------------

bool KXFileManager::removeOwnedItem(const std::string& path, kx::Error* error) {
  if (!isRemovable(path)) {
    kx::SetError(error, kx::Error::posix(EPERM, path));
    return false;
  }
  return kx::FileSystem::Default().removeItem(path, error);
}

bool KXFileManager::copyFileAtomically(const std::string& from, const std::string& to,
                                       const std::string& tempFolder,
                                       const kx::FileTime* modificationTime, std::string* md5Hex,
                                       kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::string tempPath;
  std::unique_ptr<kx::WritableFile> file = fs.createTemporaryFile(
      tempFolder, kx::FileSystem::temporaryPrefixFor(kx::Path::lastPathComponent(to)), 0666,
      &tempPath, error);
  if (!file) return false;

  kx::Digest digest(kx::Digest::Algorithm::MD5);
  std::uint64_t total = 0;
  kx::Error failure;
  bool appendFailed = false;
  bool ok = fs.readChunks(
      from, kCopyChunkSize,
      [&](const std::uint8_t* data, std::size_t size) {
        if (!file->append(std::string_view(reinterpret_cast<const char*>(data), size),
                          &failure)) {
          appendFailed = true;
          return false;
        }
        if (md5Hex) digest.update(kx::ByteView(data, size));
        total += size;
        return true;
      },
      &failure);
  ok = ok && !appendFailed && file->sync(&failure) && file->close(&failure);
  file.reset();
  if (ok && modificationTime) ok = fs.setModificationTime(tempPath, *modificationTime, &failure);
  if (ok) ok = fs.rename(tempPath, to, &failure);
  if (!ok) {
    kx::ignoreError(fs.removeFile(tempPath, nullptr));
    kx::SetError(error, std::move(failure));
    return false;
  }
  if (!fs.syncDirectory(kx::Path::deletingLastPathComponent(to), &failure)) {
    kx::SetError(error, std::move(failure));
    return false;
  }
  if (md5Hex) *md5Hex = total == 0 ? std::string() : digest.finishHex();
  return true;
}

// ---------------------------------------------------------------------------
// Reading content
// ---------------------------------------------------------------------------

std::string KXFileManager::missingContentText() {
  return kx::LocalizedStrings::localized(kMissingContentKey);
}

kx::Error KXFileManager::missingContentError() {
  return kx::Error(kKXErrorDomain, kKXErrorCodeContentFileMissing);
}

std::optional<std::string> KXFileManager::editorPageFromPlainContent(
    const std::string& plainPath, const std::string& editorPath) {
  // The editor copy is made from UTF-8 content only.
  std::optional<std::string> content = readText(plainPath, /*allowGB18030=*/false);
  if (!content) return std::nullopt;
  std::string page = KXHtmlUtil::htmlForEditor(*content);
  // The caller has the page now; the copy on disk only spares the next
  // reader the wrapping, so a failed write is logged and nothing more.
  queueForContent_.async([page, editorPath] {
    kx::Error error;
    if (!kx::FileSystem::Default().writeFileAtomically(editorPath, page,
                                                       temporaryFolderFor(editorPath), &error)) {
      KXLOG("write editor copy %s fail: %s", editorPath.c_str(),
            error.localizedDescription().c_str());
    }
  });
  return page;
}

std::optional<std::string> KXFileManager::originStringContentFileSync(const std::string& fileId,
                                                                      bool isForEditor) {
  const std::string path = URLForContentFile(fileId, isForEditor);
  if (path.empty()) return std::nullopt;
  if (isForEditor && !kx::FileSystem::Default().exists(path)) {
    return editorPageFromPlainContent(URLForContentFile(fileId, false), path);
  }
  return readText(path, /*allowGB18030=*/true);
}

std::optional<std::string> KXFileManager::originStringContentFileSync(
    const std::string& fileId, bool isForEditor, const std::string& fileName) {
  const std::string path = URLForContentFile(fileId, isForEditor, fileName);
  if (path.empty()) return std::nullopt;
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (isForEditor) {
    if (!fs.exists(path)) {
      return editorPageFromPlainContent(URLForContentFile(fileId, false, fileName), path);
    }
    return readText(path, /*allowGB18030=*/true);
  }
  if (!fs.exists(path)) return readText(URLForContentFile(fileId, false), /*allowGB18030=*/true);
  return readText(path, /*allowGB18030=*/true);
}

std::string KXFileManager::readStringContentFileSync(const std::string& fileId,
                                                     bool isForEditor) {
  std::optional<std::string> text = originStringContentFileSync(fileId, isForEditor);
  return text ? std::move(*text) : missingContentText();
}

void KXFileManager::readStringContentFile(const std::string& fileId,
                                          StringContentCallback callback, bool isForEditor) {
  queueForContent_.async([this, fileId, callback = std::move(callback), isForEditor] {
    if (!callback) return;
    if (fileId.empty()) {
      callback(std::nullopt, kx::Error());
      return;
    }
    std::string text = readStringContentFileSync(fileId, isForEditor);
    const kx::Error error = text == missingContentText() ? missingContentError() : kx::Error();
    callback(text, error);
  });
}

std::optional<kx::Bytes> KXFileManager::readDataContentFileSync(const std::string& fileId) {
  const std::string path = URLForContentFile(fileId, false);
  if (path.empty()) return std::nullopt;
  kx::Bytes data;
  if (kx::FileSystem::Default().readFile(path, &data, nullptr)) return data;
  return toBytes(missingContentText());
}

std::optional<kx::Bytes> KXFileManager::readDataContentFileSync(const std::string& fileId,
                                                                const std::string& fileName) {
  if (!NSStringDupTitle::isNormalFile(fileName)) return readDataContentFileSync(fileId);
  const std::string path = URLForContentFile(fileId, false, fileName);
  if (path.empty()) return std::nullopt;
  kx::Bytes data;
  if (kx::FileSystem::Default().readFile(path, &data, nullptr)) return data;
  std::optional<kx::Bytes> byId = readDataContentFileSync(fileId);
  if (byId) return byId;
  return toBytes(missingContentText());
}

void KXFileManager::readDataContentFile(const std::string& fileId, DataContentCallback callback) {
  queueForContent_.async([this, fileId, callback = std::move(callback)] {
    if (!callback) return;
    std::optional<kx::Bytes> data = readDataContentFileSync(fileId);
    const bool isMissing =
        !data || std::string_view(reinterpret_cast<const char*>(data->data()), data->size()) ==
                     missingContentText();
    callback(data, isMissing ? missingContentError() : kx::Error());
  });
}

// ---------------------------------------------------------------------------
// Writing content
// ---------------------------------------------------------------------------

bool KXFileManager::writeContentAt(const std::string& path, kx::ByteView data,
                                   kx::Error* error) {
  kx::Error failure;
  if (kx::FileSystem::Default().writeFileAtomically(path, asChars(data), temporaryFolderFor(path),
                                                    &failure)) {
    return true;
  }
  KXLOG("write content %s fail: %s", path.c_str(), failure.localizedDescription().c_str());
  KXPresentError(kKXErrSaveNoteContentFail);
  kx::SetError(error, std::move(failure));
  return false;
}

bool KXFileManager::writeContentFileSync(kx::ByteView data, const std::string& fileId,
                                         kx::Error* error) {
  const std::string path = URLForContentFile(fileId, false);
  if (path.empty()) {
    kx::SetError(error, noPathError(fileId));
    return false;
  }
  return writeContentAt(path, data, error);
}

bool KXFileManager::writeContentFileSync(kx::ByteView data, const std::string& fileId,
                                         const std::string& fileName, kx::Error* error) {
  const std::string path = URLForContentFile(fileId, false, fileName);
  if (path.empty()) {
    kx::SetError(error, noPathError(fileId));
    return false;
  }
  KXLOG("write content %s", path.c_str());
  return writeContentAt(path, data, error);
}

bool KXFileManager::writeContentTmpFileSync(kx::ByteView data, const std::string& fileId,
                                            kx::Error* error) {
  const std::string path = URLForContentFile(fileId, false);
  if (path.empty()) {
    kx::SetError(error, noPathError(fileId));
    return false;
  }
  return writeContentAt(NSURLTmp::tmpURL(path), data, error);
}

void KXFileManager::writeContentFile(kx::ByteView data, const std::string& fileId,
                                     Completion completion) {
  queueForContent_.async(
      [this, bytes = std::string(asChars(data)), fileId, completion = std::move(completion)] {
        kx::Error error;
        kx::ignoreError(writeContentFileSync(bytes, fileId, &error));
        if (completion) completion(error);
      });
}

void KXFileManager::writeContentFile(kx::ByteView data, const std::string& fileId,
                                     const std::string& fileName, Completion completion) {
  queueForContent_.async([this, bytes = std::string(asChars(data)), fileId, fileName,
                          completion = std::move(completion)] {
    kx::Error error;
    kx::ignoreError(writeContentFileSync(bytes, fileId, fileName, &error));
    if (completion) completion(error);
  });
}

void KXFileManager::writeContentTmpFile(kx::ByteView data, const std::string& fileId,
                                        Completion completion) {
  queueForContent_.async(
      [this, bytes = std::string(asChars(data)), fileId, completion = std::move(completion)] {
        kx::Error error;
        kx::ignoreError(writeContentTmpFileSync(bytes, fileId, &error));
        if (completion) completion(error);
      });
}

// ---------------------------------------------------------------------------
// Renaming, removing, copying, moving
// ---------------------------------------------------------------------------

void KXFileManager::renameContentFile(const std::string& fileId, const std::string& title,
                                      Completion completion) {
  // The file to move is looked up on the queue, so that writes and renames
  // queued before this one have happened.
  queueForContent_.async([this, fileId, title, completion = std::move(completion)] {
    kx::FileSystem& fs = kx::FileSystem::Default();
    const std::string from = URLForContentFile(fileId, false, title);
    const std::string contentDirectory =
        from.empty() ? std::string() : URLForCurrentUserContentDirectory();
    kx::Error error;
    std::string to;
    if (from.empty() || contentDirectory.empty() || title.empty()) {
      error = noPathError(fileId);
    } else if (!fs.exists(from)) {
      error = kx::Error::posix(ENOENT, from);
    } else {
      const std::string directory = join(contentDirectory, fileId);
      to = join(directory, encodedPathComponent(title));
      if (from == to) {
        // Already so named.
      } else if (!createNonExistsDir(directory)) {
        // A note's content moves out of its bucket into a folder of its own.
        error = kx::Error::posix(ENOENT, directory);
      } else {
        kx::ignoreError(fs.moveItem(from, to, &error));
      }
    }
    if (error) {
      KXLOG("rename content file of %s to %s fail: %s", fileId.c_str(), title.c_str(),
            error.localizedDescription().c_str());
    }
    if (completion) completion(error);
  });
}

void KXFileManager::removeContentFile(const std::string& fileId, Completion completion) {
  const std::string path = URLForContentFile(fileId, false);
  queueForContent_.async([path, fileId, completion = std::move(completion)] {
    kx::Error error;
    if (path.empty()) {
      error = noPathError(fileId);
    } else if (kx::FileSystem::Default().getInfo(path, false, nullptr, nullptr)) {
      kx::ignoreError(removeOwnedItem(path, &error));
    }
    if (error) {
      KXLOG("remove content file %s fail: %s", path.c_str(), error.localizedDescription().c_str());
    }
    if (completion) completion(error);
  });
}

bool KXFileManager::copyContentFile(const std::string& sourceId, const std::string& newNoteId,
                                    const std::string& /*fromParentId*/,
                                    const std::string& toParentId,
                                    const std::string& newFileName, kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (toParentId == kTrashParentId) {
    KXLOG("%s", kParentBookDeleted);
    KXPresentError(kParentBookDeleted);
  }
  const std::string destination = URLForContentFile(newNoteId, false, newFileName);
  std::string source = URLForContentFile(sourceId, false, newFileName);
  if (!source.empty() && !fs.exists(source)) source = URLForContentFile(sourceId, false);
  if (destination.empty() || source.empty()) {
    KXLOG("%s: %s -> %s", kCopyContentFileError, sourceId.c_str(), newNoteId.c_str());
    KXPresentError(kCopyContentFileError);
    kx::SetError(error, noPathError(destination.empty() ? newNoteId : sourceId));
    return false;
  }
  // A source without stored content leaves the copy without content too.
  if (!fs.exists(source)) return true;

  kx::Error failure;
  bool ok = false;
  if (fs.getInfo(destination, false, nullptr, nullptr)) {
    failure = kx::Error::posix(EEXIST, destination);
  } else {
    ok = copyFileAtomically(source, destination, temporaryFolderFor(destination), nullptr, nullptr,
                            &failure);
  }
  if (ok) return true;
  KXLOG("copy content %s to %s fail: %s", source.c_str(), destination.c_str(),
        failure.localizedDescription().c_str());
  KXPresentError(kKXErrSaveNoteContentFail);
  kx::SetError(error, std::move(failure));
  return false;
}

void KXFileManager::moveFileFromPath(const std::string& fromPath, const std::string& toPath,
                                     Completion completion) {
  if (fromPath.empty() || toPath.empty()) {
    KXLOG("%s: %s -> %s", kRenameFileError, fromPath.c_str(), toPath.c_str());
    KXPresentError(kRenameFileError);
    queueForContent_.async([fromPath, completion = std::move(completion)] {
      if (completion) completion(kx::Error::posix(EINVAL, fromPath));
    });
    return;
  }
  queueForContent_.async([fromPath, toPath, completion = std::move(completion)] {
    kx::FileSystem& fs = kx::FileSystem::Default();
    kx::Error error;
    bool sourceIsDirectory = false;
    if (!fs.exists(fromPath, &sourceIsDirectory)) {
      KXLOG("move %s: nothing there", fromPath.c_str());
      if (completion) completion(kx::Error::posix(ENOENT, fromPath));
      return;
    }
    // A file at the destination is replaced by the move in one step; what a
    // rename cannot replace (a folder, or anything when a folder moves) is
    // removed first.
    kx::FileInfo destination;
    if (fs.getInfo(toPath, false, &destination, nullptr) &&
        (destination.isDirectory() || sourceIsDirectory)) {
      if (!removeOwnedItem(toPath, &error)) {
        KXLOG("%s %s: %s", kKXErrCannotDeleteFile, toPath.c_str(),
              error.localizedDescription().c_str());
        KXPresentError(kKXErrCannotDeleteFile);
        if (completion) completion(error);
        return;
      }
    }
    if (!fs.moveItem(fromPath, toPath, temporaryFolderFor(toPath), &error)) {
      KXLOG("move %s to %s fail: %s", fromPath.c_str(), toPath.c_str(),
            error.localizedDescription().c_str());
      KXPresentError(kKXErrSaveNoteContentFail);
    }
    if (completion) completion(error);
  });
}

// ---------------------------------------------------------------------------
// Resource files
// ---------------------------------------------------------------------------

void KXFileManager::writeResourceFile(const kx::Value& resourceFileInfo,
                                      ResourceFileCompletion completion) {
  // The second bucket is the second of the clock now, as the path is formed.
  const std::string path = resourceFileURL(resourceFileInfo);
  const kx::Value& data = resourceFileInfo[kKXResourceFileInfoEntryData];
  const bool hasData = data.isData() || data.isString();
  std::string bytes;
  if (data.isData()) {
    bytes.assign(reinterpret_cast<const char*>(data.bytes().data()), data.bytes().size());
  } else if (data.isString()) {
    bytes = data.string();
  }
  queueForWriteResource_.async(
      [path, hasData, bytes = std::move(bytes), completion = std::move(completion)] {
        kx::Error error;
        std::string hash;
        if (path.empty()) {
          error = kx::Error::posix(ENOENT, path);
        } else if (!hasData) {
          error = kx::Error::posix(EINVAL, path);
        } else if (kx::FileSystem::Default().writeFileAtomically(path, bytes,
                                                                 temporaryFolderFor(path), &error)) {
          hash = dataHashForResourceData(bytes);
        }
        if (error) {
          KXLOG("write resource file %s fail: %s", path.c_str(),
                error.localizedDescription().c_str());
        }
        if (completion) completion(error ? std::string() : path, hash, error);
      });
}

void KXFileManager::copyResourceFileFormExtern(const kx::Value& resourceFileInfo,
                                               ResourceFileCompletion completion) {
  const std::string path = resourceFileURL(resourceFileInfo);
  const std::string source = resourceFileInfo[kKXResourceFileInfoExternFile].string();
  queueForWriteResource_.async([path, source, completion = std::move(completion)] {
    kx::FileSystem& fs = kx::FileSystem::Default();
    kx::Error error;
    std::string hash;
    bool isDirectory = false;
    if (path.empty()) {
      error = kx::Error::posix(ENOENT, path);
    } else if (source.empty() || !fs.exists(source, &isDirectory)) {
      error = kx::Error::posix(ENOENT, source);
    } else if (isDirectory) {
      error = kx::Error::posix(EISDIR, source);
    } else {
      kx::ignoreError(copyFileAtomically(source, path, temporaryFolderFor(path), nullptr, &hash, &error));
    }
    if (error) {
      KXLOG("copy resource file %s to %s fail: %s", source.c_str(), path.c_str(),
            error.localizedDescription().c_str());
      hash.clear();
    }
    if (completion) completion(error ? std::string() : path, hash, error);
  });
}

namespace {

struct ResourceFileLookupSlot {
  kx::Mutex mu;
  KXFileManager::ResourceFileLookup lookup GUARDED_BY(mu);
};

ResourceFileLookupSlot& resourceFileLookupSlot() {
  static ResourceFileLookupSlot* slot = new ResourceFileLookupSlot();
  return *slot;
}

}  // namespace

void KXFileManager::setResourceFileLookup(ResourceFileLookup lookup) {
  ResourceFileLookupSlot& slot = resourceFileLookupSlot();
  kx::MutexLock lock(slot.mu);
  slot.lookup = std::move(lookup);
}

void KXFileManager::removeResourceFile(const std::string& resourceId, Completion completion) {
  ResourceFileLookup lookup;
  {
    ResourceFileLookupSlot& slot = resourceFileLookupSlot();
    kx::MutexLock lock(slot.mu);
    lookup = slot.lookup;
  }
  // Called outside the lock: the lookup waits for the store's read queue.
  const std::string path = lookup ? lookup(resourceId) : std::string();
  queueForContent_.async([path, resourceId, completion = std::move(completion)] {
    kx::Error error;
    if (!path.empty() && kx::FileSystem::Default().getInfo(path, false, nullptr, nullptr)) {
      kx::ignoreError(removeOwnedItem(path, &error));
    }
    if (error) {
      KXLOG("remove resource file %s of %s fail: %s", path.c_str(), resourceId.c_str(),
            error.localizedDescription().c_str());
    }
    if (completion) completion(error);
  });
}

void KXFileManager::writeResourceFileSync(const kx::Value& /*resourceFileInfo*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

std::string KXFileManager::resourceURLForResource(const kx::Value& /*resource*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

std::string KXFileManager::dataHashForResourceDataStream(std::istream& /*stream*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

// ---------------------------------------------------------------------------
// Temporary copies for preview
// ---------------------------------------------------------------------------

std::string KXFileManager::tempResourceDirectory(const std::string& fileId) {
  const std::string tmp = KXAppTempDirectoryURL();
  if (tmp.empty() || !isSafePathComponent(fileId)) return {};
  return join(join(tmp, kResourceDirectoryName), fileId);
}

void KXFileManager::copyResourceToTemp(const kx::Value& tempResourceInfo) {
  const std::string source = tempResourceInfo[kKXTempResourceInfoFile].string();
  const std::string fileId = tempResourceInfo[kKXTempResourceInfoFileId].string();
  const std::string title = tempResourceInfo[kKXTempResourceInfoTitle].string();
  kx::FileInfo sourceInfo;
  if (source.empty() || !kx::FileSystem::Default().getInfo(source, true, &sourceInfo, nullptr)) {
    return;
  }
  const std::string destination = URLForTempResourceFileWithID(fileId, title);
  if (destination.empty() || isCurrentCopy(destination, sourceInfo)) return;
  queueForCopyResource_.async([this, fileId, source, destination] {
    copyToTempNow(fileId, source, destination);
  });
}

void KXFileManager::copyToTempNow(const std::string& fileId, const std::string& source,
                                  const std::string& destination) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::FileInfo sourceInfo;
  if (!fs.getInfo(source, true, &sourceInfo, nullptr)) {
    KXLOG("temp copy of %s: the stored file %s is gone", fileId.c_str(), source.c_str());
    return;
  }
  // Requests queued before this one may have made the copy already.
  if (isCurrentCopy(destination, sourceInfo)) return;

  CopyMark mark(*this, fileId);
  const std::string directory = kx::Path::deletingLastPathComponent(destination);
  const std::string name = kx::Path::lastPathComponent(destination);
  kx::Error error;
  bool ok = createNonExistsDir(directory);
  if (!ok) error = kx::Error::posix(ENOENT, directory);
  if (ok) {
    // One copy per id, also when the title changed. A copy under the same
    // name is replaced in one step, so its readers never see it missing.
    for (const kx::DirectoryEntry& entry : storedItemsIn(directory)) {
      if (entry.name != name) kx::ignoreError(removeOwnedItem(join(directory, entry.name), nullptr));
    }
    // The copy is made beside the id's folder, so that a lookup of the
    // folder never finds a half-made copy.
    ok = copyFileAtomically(source, destination, kx::Path::deletingLastPathComponent(directory),
                            &sourceInfo.modificationTime, nullptr, &error);
  }
  if (!ok) {
    KXLOG("write temp file %s fail ,error is %s", destination.c_str(),
          error.localizedDescription().c_str());
    // A stale copy must not pass for the stored file.
    if (fs.getInfo(destination, false, nullptr, nullptr)) kx::ignoreError(removeOwnedItem(destination, nullptr));
  }
  CopyCompleteHandler handler = copyCompleteHandler();
  if (handler) handler(fileId, ok ? kx::Error() : error);
}

std::string KXFileManager::tempFileURLForResourceID(const std::string& fileId) {
  const std::string directory = tempResourceDirectory(fileId);
  if (directory.empty()) return {};
  const std::vector<kx::DirectoryEntry> entries = storedItemsIn(directory);
  if (entries.empty()) return {};
  return join(directory, entries.front().name);
}

void KXFileManager::tempFileForResourceID(const std::string& fileId, TempFileHandler handler) {
  queueForCopyResource_.async([this, fileId, handler = std::move(handler)] {
    const std::string path = tempFileURLForResourceID(fileId);
    if (handler) handler(path);
  });
}

bool KXFileManager::tempFileForResourceIDModified(const std::string& fileId,
                                                  const std::string& original) {
  const std::string copy = tempFileURLForResourceID(fileId);
  if (copy.empty()) return false;
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::FileInfo copyInfo;
  kx::FileInfo originalInfo;
  if (!fs.getInfo(copy, true, &copyInfo, nullptr) ||
      !fs.getInfo(original, true, &originalInfo, nullptr)) {
    return false;
  }
  if (copyInfo.modificationTime > originalInfo.modificationTime) return true;
  if (copyInfo.size > kTempCompareLimit && originalInfo.size > kTempCompareLimit) return false;
  if (copyInfo.size != originalInfo.size) return true;
  std::string a;
  std::string b;
  if (!fs.readFile(copy, &a, nullptr) || !fs.readFile(original, &b, nullptr)) return false;
  return a != b;
}

void KXFileManager::removeAllItemsInTempURL(const std::string& fileId) {
  const std::string directory = tempResourceDirectory(fileId);
  if (directory.empty()) return;
  std::vector<kx::DirectoryEntry> entries;
  kx::ignoreError(kx::FileSystem::Default().listDirectory(directory, &entries, nullptr));
  for (const kx::DirectoryEntry& entry : entries) {
    kx::Error error;
    if (!removeOwnedItem(join(directory, entry.name), &error)) {
      KXLOG("remove temp item %s fail: %s", entry.name.c_str(),
            error.localizedDescription().c_str());
    }
  }
}

void KXFileManager::clearTemp() {
  queueForCopyResource_.async([] {
    const std::string tmp = KXAppTempDirectoryURL();
    kx::Error error;
    if (!tmp.empty() && kx::FileSystem::Default().exists(tmp) && !removeOwnedItem(tmp, &error)) {
      KXLOG("clear temp %s fail: %s", tmp.c_str(), error.localizedDescription().c_str());
    }
  });
}

// ---------------------------------------------------------------------------
// Stale temporaries
// ---------------------------------------------------------------------------

void KXFileManager::removeStaleTemporaryFiles(Completion completion) {
  kx::GlobalQueue::get(kx::QueuePriority::Background).async(
      [completion = std::move(completion)] {
        const std::int64_t now = kx::Time::nowSeconds();
        kx::Error error;
        std::size_t removed = 0;
        for (const std::string& root :
             {kx::Places::applicationDataRoot(), kx::Places::scratchRoot()}) {
          if (!root.empty()) removed += removeStaleTemporariesUnder(root, now, &error);
        }
        if (removed > 0 || error) {
          KXLOG("removed %zu stale temporary files%s%s", removed, error ? ": " : "",
                error ? error.localizedDescription().c_str() : "");
        }
        if (completion) completion(error);
      });
}

std::size_t KXFileManager::removeStaleTemporariesUnder(const std::string& root, std::int64_t now,
                                                       kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::size_t removed = 0;
  // An explicit stack: a deep tree cannot exhaust the thread's stack.
  std::vector<std::string> folders{root};
  while (!folders.empty()) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    std::vector<kx::DirectoryEntry> entries;
    kx::Error listError;
    if (!fs.listDirectory(folder, &entries, &listError)) {
      // A folder removed meanwhile (the scratch folder is emptied at start)
      // is no failure.
      if (!(listError.domain() == kx::kPosixErrorDomain && listError.code() == ENOENT) && !*error) {
        *error = std::move(listError);
      }
      continue;
    }
    for (const kx::DirectoryEntry& entry : entries) {
      const std::string path = join(folder, entry.name);
      std::uint32_t writer = 0;
      if (kx::FileSystem::isTemporaryName(entry.name, &writer)) {
        kx::FileInfo info;
        if (!fs.getInfo(path, /*followSymlinks=*/false, &info, nullptr)) continue;
        const bool old = info.modificationTime.seconds < now - kStaleTemporaryAgeSeconds;
        if (!old && !isWriterGone(writer)) continue;
        kx::Error removeError;
        if (removeOwnedItem(path, &removeError)) {
          ++removed;
        } else if (!(removeError.domain() == kx::kPosixErrorDomain &&
                     removeError.code() == ENOENT) &&
                   !*error) {
          *error = std::move(removeError);
        }
      } else if (entry.isDirectory) {
        // Links are never followed: nothing outside the roots is looked at.
        folders.push_back(path);
      }
    }
  }
  return removed;
}

// ---------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------

void KXFileManager::writeConfigurationFile(Completion completion) {
  queueForWriteResource_.async([completion = std::move(completion)] {
    kx::Error error;
    // save() logs and presents its own failure.
    kx::ignoreError(KXConfiguration::sharedConfiguration().save(&error));
    if (completion) completion(error);
  });
}
