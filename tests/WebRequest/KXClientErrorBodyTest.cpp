#include "WebRequest/KXClientErrorBody.h"

#include <gtest/gtest.h>

#include "CommonUtils/JSONKit/JSONKit.h"

namespace {

class Receiver : public KXDataRequestController {
 public:
  void localReceiveResponse(std::optional<kx::HTTPURLResponse> r, std::optional<kx::Bytes> d,
                            kx::Error) override {
    response = r;
    data = d;
  }
  std::optional<kx::HTTPURLResponse> response;
  std::optional<kx::Bytes> data;
};

TEST(KXClientErrorBody, ServiceShapedAnswers) {
  kx::URL url = *kx::URL::parse("https://note.zarvel.com/qrt/api/personal/sync");
  struct Case {
    const char* code;
    int status;
  };
  for (const Case& c : {Case{"NETWORK_UNREACHABLE", 500}, Case{"SHARE_BEFORE_SYNC", 500},
                        Case{"NOTE_NOT_EXIST", 404}, Case{"MOVE_PARENT_TO_CHILD", 500}}) {
    Receiver receiver;
    KXClientErrorBody::send(receiver, url, c.code);
    ASSERT_TRUE(receiver.response && receiver.data) << c.code;
    EXPECT_EQ(receiver.response->statusCode(), c.status) << c.code;
    EXPECT_EQ(receiver.response->httpVersion(), "HTTP/1.1");
    EXPECT_EQ(receiver.response->url(), url);
    kx::Value body = objectFromJSONData(*receiver.data);
    EXPECT_EQ(body["error"].stringValue(), c.code);
    EXPECT_EQ(body["message"].stringValue(), std::string("Message[CLIENT : ") + c.code + "]");
  }

  kx::Dictionary duplicate = KXClientErrorBody::duplicateFileName("u1", "F1", "F2", "a(1).note");
  EXPECT_EQ(duplicate.size(), 6u);
  EXPECT_EQ(duplicate["error"].stringValue(), "20108");
  EXPECT_EQ(duplicate["scope"].stringValue(), "CLIENT");
  EXPECT_TRUE(duplicate["canTryAgain"].isBool());
  EXPECT_FALSE(duplicate["canTryAgain"].boolValue());
  EXPECT_EQ(duplicate["duplicateFileId"].stringValue(), "F2");
  EXPECT_EQ(duplicate["adviceName"].stringValue(), "a(1).note");
  EXPECT_EQ(duplicate["message"].stringValue(),
            "Message[CLIENT : DUPLICATE_FILE_NAME]: Duplicate file name, userId=u1, fileId=F1, "
            "duplicateFileId=F2");
}

}  // namespace
