// KXPresentError is the one way in which the client tells the user that a
// storage or file operation failed. It takes a message key, and on the main
// queue localises it (a key without a translation is shown as it stands),
// wraps the text in an error of the application's domain with the code
// kKXErrorCodePresented, and hands it to the installed KXErrorPresenter.
// Callers log the same key just before presenting it.
//
// The message keys below are keys of the application's string table; the
// English text is the key itself (typos included: the table is keyed by
// them).
//
// Thread safety: KXPresentError may be called from any thread or queue and
// returns at once; the error is always presented on the main queue.
#ifndef ZN_COMMONUTILS_KXPRESENTERROR_H_
#define ZN_COMMONUTILS_KXPRESENTERROR_H_

#include <string>

#include "platform/Error.h"

inline constexpr const char* kKXErrQueryDatabaseFail = "Query Database Fail";
inline constexpr const char* kKXErrSaveDatabaseFail = "Save Database Fail";
inline constexpr const char* kKXErrSaveUserConfigurationFileFail =
    "Save User Configruation File Fail";
inline constexpr const char* kKXErrSaveNoteContentFail = "Save Note Content Fail";
inline constexpr const char* kKXErrSaveNoteAttachmentFail = "Save Note Attachment Fail";
inline constexpr const char* kKXErrSyncFail = "Sync Fail";
inline constexpr const char* kKXErrIndexNoteFail = "Index Note Fail";
inline constexpr const char* kKXErrApplicationIsCorrupt = "Application is corrupt.";
inline constexpr const char* kKXErrDatabaseOperationFail = "database operation fail.";
inline constexpr const char* kKXErrFullTextSearchFail = "full text search fail.";
inline constexpr const char* kKXErrCannotWriteInTempDirectory = "Can not write in temp directory";
inline constexpr const char* kKXErrCannotCreateFileOrDirectory = "Can not create file or directory";
inline constexpr const char* kKXErrCannotDeleteFile = "Can not delete file";
inline constexpr const char* kKXErrNetworkErrorCheckConnection =
    "Network Error, Please check you connection";
inline constexpr const char* kKXErrNetworkError = "Network Error";
inline constexpr const char* kKXErrNoteIsNotSynced = "note isn't synced";
inline constexpr const char* kKXErrSomeFilesUnreadable = "Some files you selected are unreadable";
inline constexpr const char* kKXErrFilesWillNotBeUploaded = "Those files will not be uploaded";

// Queues the presentation of the message key on the main queue.
void KXPresentError(const std::string& messageKey);

// The error that KXPresentError presents for a key (the localisation is
// looked up at the call).
kx::Error KXPresentedErrorForKey(const std::string& messageKey);

#endif  // ZN_COMMONUTILS_KXPRESENTERROR_H_
