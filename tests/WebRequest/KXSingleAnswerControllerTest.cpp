#include "WebRequest/KXSingleAnswerController.h"

#include <gtest/gtest.h>

#include <vector>

#include "WebRequest/KXURLError.h"

namespace {

class Receiver : public KXDataRequestController {
 public:
  void localReceiveResponse(std::optional<kx::HTTPURLResponse> response, std::optional<kx::Bytes>,
                            kx::Error error) override {
    statuses.push_back(response ? response->statusCode() : 0);
    errors.push_back(error);
  }
  std::vector<int> statuses;
  std::vector<kx::Error> errors;
};

TEST(KXSingleAnswerController, OneAnswerReachesTheReceiver) {
  auto receiver = std::make_shared<Receiver>();
  {
    KXSingleAnswerController once(receiver, "https://h/a");
    once.localReceiveResponse(kx::HTTPURLResponse(kx::URL(), 200, "HTTP/1.1", {}), std::nullopt,
                              kx::Error());
    once.localReceiveResponse(kx::HTTPURLResponse(kx::URL(), 500, "HTTP/1.1", {}), std::nullopt,
                              kx::Error());
  }
  EXPECT_EQ(receiver->statuses, std::vector<int>{200})
      << "second answer and destruction add nothing";

  { KXSingleAnswerController dropped(receiver, "https://h/b"); }
  ASSERT_EQ(receiver->errors.size(), 2u);
  EXPECT_TRUE(KXURLError::is(receiver->errors[1], -1000))
      << "an unanswered request ends with -1000";
}

}  // namespace
