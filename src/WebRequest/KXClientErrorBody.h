// KXClientErrorBody is the JSON object the local side answers in the note
// service's own error shape, so that the web interface shows the refusal as
// a service error:
//   {"error": <code>, "message": "Message[CLIENT : <code>]"}
// with status 500, or 404 for "NOTE_NOT_EXIST". The duplicate-name answer
// "20108" carries six keys (see duplicateFileName).
//
// Thread safety: pure functions.
#ifndef ZN_WEBREQUEST_KXCLIENTERRORBODY_H_
#define ZN_WEBREQUEST_KXCLIENTERRORBODY_H_

#include <string>

#include "WebRequest/KXDataRequestController.h"
#include "platform/URL.h"
#include "platform/Value.h"

inline constexpr const char* kKXClientErrorNetworkUnreachable = "NETWORK_UNREACHABLE";
inline constexpr const char* kKXClientErrorShareBeforeSync = "SHARE_BEFORE_SYNC";
inline constexpr const char* kKXClientErrorNoteNotExist = "NOTE_NOT_EXIST";
inline constexpr const char* kKXClientErrorMoveParentToChild = "MOVE_PARENT_TO_CHILD";
inline constexpr const char* kKXClientErrorDuplicateFileName = "20108";

class KXClientErrorBody {
 public:
  KXClientErrorBody() = delete;

  // {"error": code, "message": "Message[CLIENT : <code>]"}.
  static kx::Dictionary body(const std::string& code);
  // 404 for "NOTE_NOT_EXIST", 500 for every other code.
  static int statusCode(const std::string& code);

  // The "20108" body: "error", "scope" ("CLIENT"), "canTryAgain" (false),
  // "duplicateFileId", "adviceName" and "message" ("Message[CLIENT :
  // DUPLICATE_FILE_NAME]: Duplicate file name, userId=..., fileId=...,
  // duplicateFileId=...").
  static kx::Dictionary duplicateFileName(const std::string& userId, const std::string& fileId,
                                          const std::string& duplicateFileId,
                                          const std::string& adviceName);

  // Answers `sender` with body(code) under statusCode(code).
  static void send(KXDataRequestController& sender, const kx::URL& url, const std::string& code);
};

#endif  // ZN_WEBREQUEST_KXCLIENTERRORBODY_H_
