// KXFileManager's content files: reading with the encoding fallback and the
// missing-content text, the editor copy, atomic writes, renames, copies and
// moves on the content queue, and the configuration file's write.

#include "Data/client/KXFileManager.h"

#include <iconv.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "CommonUtils/KXConfiguration.h"
#include "CommonUtils/KXErrorDomain.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "CommonUtils/NSURLTmp.h"
#include "Data/DataUtil/KXHtmlUtil.h"
#include "Data/client/KXFileManagerInternal.h"
#include "platform/FileSystem.h"
#include "platform/LocalizedStrings.h"
#include "platform/Path.h"
#include "platform/Text.h"

namespace {

// Message keys presented by the content file operations.
constexpr const char* kParentBookDeleted = "parent book has been deleted!";
constexpr const char* kCopyContentFileError = "copy content File error";
constexpr const char* kRenameFileError = "rename File error";

// The parent id of entries in the trash.
constexpr const char* kTrashParentId = "1";

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

// The text of a file: UTF-8, else GB18030 when allowed. A file that is not
// there (or no path) fails with ENOENT, one that cannot be read with the
// reader's error, bytes of neither encoding with EILSEQ.
kx::ErrorOr<std::string> readText(const std::string& path, bool allowGB18030) {
  if (path.empty()) return kx::Error::posix(ENOENT, path);
  std::string bytes;
  kx::Error error;
  if (!kx::FileSystem::Default().readFile(path, &bytes, &error)) {
    if (!error) error = kx::Error::posix(EIO, path);
    return error;
  }
  if (kx::Text::isValidUtf8(bytes)) return bytes;
  std::optional<std::string> decoded;
  if (allowGB18030) decoded = decodeGB18030(bytes);
  if (!decoded) return kx::Error::posix(EILSEQ, path);
  return std::move(*decoded);
}

// The text, or nullopt for every failure (readers that show a placeholder
// in place of content that cannot be had).
std::optional<std::string> textOrNothing(kx::ErrorOr<std::string> text) {
  if (!text) return std::nullopt;
  return text.releaseValue();
}

kx::Bytes toBytes(std::string_view text) { return kx::Bytes(text.begin(), text.end()); }

// The error for an id that gives no content path: EINVAL when it cannot
// name a file, ENOENT when its folder could not be had.
kx::Error noPathError(const std::string& fileId) {
  return kx::Error::posix(KXFileManager::isSafePathComponent(fileId) ? ENOENT : EINVAL, fileId);
}

}  // namespace

using kx::file_manager_internal::join;
using kx::file_manager_internal::temporaryFolderFor;

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
  std::optional<std::string> content = textOrNothing(readText(plainPath, /*allowGB18030=*/false));
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
  return textOrNothing(readText(path, /*allowGB18030=*/true));
}

std::optional<std::string> KXFileManager::originStringContentFileSync(const std::string& fileId,
                                                                      bool isForEditor,
                                                                      const std::string& fileName) {
  const std::string path = URLForContentFile(fileId, isForEditor, fileName);
  if (path.empty()) return std::nullopt;
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (isForEditor) {
    if (!fs.exists(path)) {
      return editorPageFromPlainContent(URLForContentFile(fileId, false, fileName), path);
    }
    return textOrNothing(readText(path, /*allowGB18030=*/true));
  }
  return textOrNothing(readContentTextSync(fileId, fileName));
}

kx::ErrorOr<std::string> KXFileManager::readContentTextSync(const std::string& fileId,
                                                            const std::string& fileName) {
  if (fileName.empty()) return readText(URLForContentFile(fileId, false), /*allowGB18030=*/true);
  const std::string path = URLForContentFile(fileId, false, fileName);
  if (path.empty()) return kx::Error::posix(ENOENT, fileId);
  // A file that is there but cannot be looked at is not taken for a
  // missing one: only "nothing at that path" falls back to the plain path.
  kx::Error lookError;
  if (!kx::FileSystem::Default().getInfo(path, /*followSymlinks=*/true, nullptr, &lookError)) {
    if (!isMissingContent(lookError)) return lookError;
    return readText(URLForContentFile(fileId, false), /*allowGB18030=*/true);
  }
  return readText(path, /*allowGB18030=*/true);
}

bool KXFileManager::isMissingContent(const kx::Error& error) {
  return error.domain() == kx::kPosixErrorDomain &&
         (error.code() == ENOENT || error.code() == ENOTDIR);
}

std::string KXFileManager::readStringContentFileSync(const std::string& fileId, bool isForEditor) {
  std::optional<std::string> text = originStringContentFileSync(fileId, isForEditor);
  return text ? std::move(*text) : missingContentText();
}

void KXFileManager::readStringContentFile(const std::string& fileId, StringContentCallback callback,
                                          bool isForEditor) {
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
    const bool isMissing = !data || std::string_view(reinterpret_cast<const char*>(data->data()),
                                                     data->size()) == missingContentText();
    callback(data, isMissing ? missingContentError() : kx::Error());
  });
}

// ---------------------------------------------------------------------------
// Writing content
// ---------------------------------------------------------------------------

bool KXFileManager::writeContentAt(const std::string& path, kx::ByteView data, kx::Error* error) {
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
        kx::ignoreError(fs.moveItem(from, to, temporaryFolderFor(to), &error));
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
                                    const std::string& toParentId, const std::string& newFileName,
                                    kx::Error* error) {
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
