#include "account/KXCrossdomainRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXURLOpener.h"
#include "account/KXNetworkOperation.h"
#include "platform/URL.h"
#include "support/TestNoteService.h"
#include "support/TestNoteServiceAccountRoutes.h"

namespace {

using kxtest::Fault;
using kxtest::Reply;
using kxtest::TestNoteServiceAccountRoutes;

class RecordingOpener : public KXURLOpener {
 public:
  void openURL(const kx::URL& url) override {
    std::lock_guard<std::mutex> lock(mu_);
    opened.push_back(url.absoluteString());
    cv_.notify_all();
  }
  bool waitForOne() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return !opened.empty(); });
  }
  std::vector<std::string> all() {
    std::lock_guard<std::mutex> lock(mu_);
    return opened;
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> opened;  // guarded by mu_
};

struct Ticket {
  std::optional<std::string> ticket;
  bool success = false;
};

class KXCrossdomainRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start(nullptr));
    service_.attach(KXNetworkOperation::sharedTransport());
    KXNetworkOperation::sharedTransport().clearCookies();
    KXURLOpener::install(opener_);
  }
  void TearDown() override {
    KXURLOpener::install(nullptr);
    KXNetworkOperation::sharedTransport().clearCookies();
  }

  // Puts a live service session's cookie into the jar.
  void signIn() {
    std::string value = routes_.startSession("alice@zarvel.com");
    KXNetworkOperation::sharedTransport().setCookie(
        {"note.zarvel.com", false, "/", true, true, 0, "QOPAL_SESS", value});
  }

  static Ticket fetch(KXCrossdomainRequest& request) {
    auto done = std::make_shared<std::promise<Ticket>>();
    auto future = done->get_future();
    request.fetchCrosskeyWithCallBack(
        [done](const std::optional<std::string>& ticket, bool success) {
          done->set_value(Ticket{ticket, success});
        });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return future.get();
  }

  kxtest::TestNoteService service_;
  TestNoteServiceAccountRoutes routes_{service_};
  std::shared_ptr<RecordingOpener> opener_ = std::make_shared<RecordingOpener>();
};

TEST_F(KXCrossdomainRequestTest, OpensTheTicketPageWithTheTargetEscaped) {
  signIn();
  // Through the foundation's hook, as links to the service are opened.
  KXCrossdomainRequest::sharedRequest();
  KXHooks::openUrlWithLoginInfo("https://note.zarvel.com/charge/setMeal.html?a=1&b=2");
  ASSERT_TRUE(opener_->waitForOne());
  ASSERT_EQ(opener_->all().size(), 1u);
  EXPECT_EQ(opener_->all()[0],
            std::string("https://note.zarvel.com/login/acc/cross/second?pci=") +
                TestNoteServiceAccountRoutes::kTicket +
                "&ru=https%3A%2F%2Fnote.zarvel.com%2Fcharge%2FsetMeal.html%3Fa%3D1%26b%3D2");
  kxtest::RecordedRequest sent = service_.requests("/login/acc/se/cross/first").at(0);
  EXPECT_NE(sent.query.find("product=QOPAL"), std::string::npos);
  EXPECT_EQ(kxtest::requestCookie(sent, "QOPAL_SESS"),
            TestNoteServiceAccountRoutes::sessionFor("alice@zarvel.com"))
      << "the ticket is asked for with the client's session cookie";
}

TEST_F(KXCrossdomainRequestTest, AnythingButAPciIn200EndsWithoutATicket) {
  struct Case {
    const char* name;
    bool signedIn;
    int status;  // 0: the service's own route
    std::string body;
  };
  const Case cases[] = {
      {"not signed in", false, 0, ""},        {"206", true, 206, "{\"pci\":\"partial\"}"},
      {"no pci", true, 200, "{\"other\":1}"}, {"not an object", true, 200, "[\"pci\"]"},
      {"not JSON", true, 200, "pci"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = std::make_shared<KXCrossdomainRequest>();
    KXNetworkOperation::sharedTransport().clearCookies();
    if (c.signedIn) signIn();
    if (c.status) {
      service_.route("GET", "/login/acc/se/cross/first",
                     [c](const kxtest::RecordedRequest&) { return Reply::json(c.status, c.body); });
    }
    Ticket ticket = fetch(*request);
    EXPECT_FALSE(ticket.success);
    EXPECT_EQ(ticket.ticket, std::nullopt);
  }
  EXPECT_TRUE(opener_->all().empty());
}

TEST_F(KXCrossdomainRequestTest, OneTicketRequestAtATime) {
  signIn();
  auto request = std::make_shared<KXCrossdomainRequest>();
  service_.setFault("/login/acc/se/cross/first", Fault::held());
  auto first = std::make_shared<std::promise<Ticket>>();
  request->fetchCrosskeyWithCallBack(
      [first](const std::optional<std::string>& ticket, bool success) {
        first->set_value(Ticket{ticket, success});
      });
  ASSERT_TRUE(service_.waitForInFlight(1));
  Ticket refused;
  bool called = false;
  request->fetchCrosskeyWithCallBack([&](const std::optional<std::string>& ticket, bool success) {
    called = true;
    refused = Ticket{ticket, success};
  });
  EXPECT_TRUE(called) << "refused at once";
  EXPECT_FALSE(refused.success);

  service_.clearFault("/login/acc/se/cross/first");
  service_.releaseHeld();
  auto future = first->get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  Ticket ticket = future.get();
  EXPECT_TRUE(ticket.success);
  EXPECT_EQ(ticket.ticket.value_or(""), TestNoteServiceAccountRoutes::kTicket);
  // The kept operation is used again once it has answered.
  EXPECT_TRUE(fetch(*request).success);
}

}  // namespace
