#include "WebRequest/KXClientErrorBody.h"

#include "WebRequest/KXLocalResponse.h"

kx::Dictionary KXClientErrorBody::body(const std::string& code) {
  return kx::Dictionary{{"error", code}, {"message", "Message[CLIENT : " + code + "]"}};
}

int KXClientErrorBody::statusCode(const std::string& code) {
  return code == kKXClientErrorNoteNotExist ? 404 : 500;
}

kx::Dictionary KXClientErrorBody::duplicateFileName(const std::string& userId,
                                                    const std::string& fileId,
                                                    const std::string& duplicateFileId,
                                                    const std::string& adviceName) {
  std::string message =
      "Message[CLIENT : DUPLICATE_FILE_NAME]: Duplicate file name, userId=" + userId +
      ", fileId=" + fileId + ", duplicateFileId=" + duplicateFileId;
  return kx::Dictionary{{"error", kKXClientErrorDuplicateFileName},
                        {"scope", "CLIENT"},
                        {"canTryAgain", false},
                        {"duplicateFileId", duplicateFileId},
                        {"adviceName", adviceName},
                        {"message", message}};
}

void KXClientErrorBody::send(KXDataRequestController& sender, const kx::URL& url,
                             const std::string& code) {
  KXLocalResponse::sendJSON(sender, url, statusCode(code), kx::Value(body(code)));
}
