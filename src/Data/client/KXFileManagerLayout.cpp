// KXFileManager's layout: what every folder and file is called and where
// it lives, and the creation of folders on demand. Pure path functions
// apart from createNonExistsDir and the builders that call it.

#include "Data/client/KXFileManager.h"

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXAppTempDirectory.h"
#include "CommonUtils/KXErrorDomain.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "CommonUtils/KXTimeUtil.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXFileManagerInternal.h"
#include "account/KXSession.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "platform/URL.h"

namespace {

constexpr std::uint32_t kDirectoryMode = 0700;

// The last UTF-8 character of a non-empty text.
std::string lastCharacter(const std::string& text) {
  std::size_t start = text.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return text.substr(start);
}

}  // namespace

using kx::file_manager_internal::join;
using kx::file_manager_internal::storedFileCandidatesIn;
using kx::file_manager_internal::temporaryFolderFor;

// ---------------------------------------------------------------------------
// Path components
// ---------------------------------------------------------------------------

bool KXFileManager::isSafePathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
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
  if (imageURL.empty()) return {};
  // An absolute address or a path on the service host ("/photo/u.png"): both
  // name the same file by their path and query.
  std::string key;
  std::optional<kx::URL> url = kx::URL::parse(imageURL);
  if (url && !url->scheme().empty()) {
    key = url->path() + "?" + url->query().value_or("");
  } else if (imageURL.front() == '/') {
    std::string_view text(imageURL);
    text = text.substr(0, text.find('#'));
    const std::size_t mark = text.find('?');
    key = std::string(text.substr(0, mark)) + "?" +
          (mark == std::string_view::npos ? std::string() : std::string(text.substr(mark + 1)));
  } else {
    return {};
  }
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

std::string KXFileManager::contentBucket(const std::string& fileId, std::string* contentDirectory) {
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
  const std::string ownName = encodedPathComponent(fileName);
  const std::vector<kx::DirectoryEntry> entries = storedFileCandidatesIn(directory, ownName);
  if (entries.empty()) return join(directory, ownName);
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
