// A request a local handler holds open (the push server's long poll) is let
// go when the load stops: the handler learns it through whenCancelled.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXWebPushServerHandler.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"

namespace {

class CountingClient : public RNURLProtocolClient {
 public:
  void didReceiveResponse(const kx::HTTPURLResponse&, RNURLCacheStoragePolicy) override {
    ++events;
  }
  void didFinishLoading() override { ++events; }
  void didFailWithError(const kx::Error&) override { ++events; }
  std::atomic<int> events{0};
};

class ProtocolCancelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto env = std::make_shared<RNCachingURLProtocol::Environment>();
    env->registry = &registry_;
    previous_ = RNCachingURLProtocol::setEnvironment(env);
    registry_.add(handler_);
  }
  void TearDown() override { RNCachingURLProtocol::setEnvironment(previous_); }

  std::shared_ptr<RNCachingURLProtocol> Poll(const std::shared_ptr<CountingClient>& client) {
    auto protocol = RNCachingURLProtocol::create(
        kx::URLRequest(*kx::URL::parse("https://note.zarvel.com/pushserver3/client")), client);
    protocol->startLoading();
    return protocol;
  }

  KXRequestDelegateRegistry registry_;
  std::shared_ptr<KXWebPushServerHandler> handler_ =
      std::make_shared<KXWebPushServerHandler>([] { return nullptr; });
  std::shared_ptr<const RNCachingURLProtocol::Environment> previous_;
};

TEST_F(ProtocolCancelTest, StoppingAHeldLoadLetsTheHandlerGoOfIt) {
  auto firstClient = std::make_shared<CountingClient>();
  Poll(firstClient)->stopLoading();
  EXPECT_EQ(firstClient->events.load(), 2) << "the first poll is answered";

  auto heldClient = std::make_shared<CountingClient>();
  std::weak_ptr<RNCachingURLProtocol> held;
  {
    std::shared_ptr<RNCachingURLProtocol> protocol = Poll(heldClient);
    held = protocol;
    EXPECT_EQ(handler_->openRequestCount(), 1u);
    protocol->stopLoading();
  }
  EXPECT_EQ(handler_->openRequestCount(), 0u);
  EXPECT_TRUE(held.expired()) << "nothing keeps the stopped load";
  EXPECT_EQ(heldClient->events.load(), 0) << "a stopped load reports nothing";
}

}  // namespace
