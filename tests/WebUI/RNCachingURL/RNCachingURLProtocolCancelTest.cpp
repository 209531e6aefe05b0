// A request a local handler holds open (the push server's long poll) is let
// go when the load stops: the handler learns it through whenCancelled. And
// the shared handlers are registered in their fixed order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXWebBgImageHandler.h"
#include "WebRequest/KXWebEditorHandler.h"
#include "WebRequest/KXWebFileRequestHandler.h"
#include "WebRequest/KXWebLocalFileHandler.h"
#include "WebRequest/KXWebPenNoteHandler.h"
#include "WebRequest/KXWebPreviewRequestHandler.h"
#include "WebRequest/KXWebPushServerHandler.h"
#include "WebRequest/KXWebResourceDataHandler.h"
#include "WebRequest/KXWebSearchRequestHandler.h"
#include "WebRequest/KXWebTagRequestHandler.h"
#include "WebRequest/KXWebUserRequestHandler.h"
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

namespace {

// The shared handlers are offered requests in their fixed order.
TEST(SharedHandlerOrderTest, RegistersTheSharedHandlersInOrder) {
  RNCachingURLProtocol::requestDelegatesRegister();
  std::vector<std::string> names;
  for (const auto& handler : *KXRequestDelegateRegistry::sharedRegistry().handlers()) {
    const KXDataRequestDelegate* h = handler.get();
    if (dynamic_cast<const KXWebUserRequestHandler*>(h))
      names.push_back("User");
    else if (dynamic_cast<const KXWebFileRequestHandler*>(h))
      names.push_back("File");
    else if (dynamic_cast<const KXWebResourceDataHandler*>(h))
      names.push_back("ResourceData");
    else if (dynamic_cast<const KXWebTagRequestHandler*>(h))
      names.push_back("Tag");
    else if (dynamic_cast<const KXWebPushServerHandler*>(h))
      names.push_back("PushServer");
    else if (dynamic_cast<const KXWebSearchRequestHandler*>(h))
      names.push_back("Search");
    else if (dynamic_cast<const KXWebPreviewRequestHandler*>(h))
      names.push_back("Preview");
    else if (dynamic_cast<const KXWebBgImageHandler*>(h))
      names.push_back("BgImage");
    else if (dynamic_cast<const KXWebLocalFileHandler*>(h))
      names.push_back("LocalFile");
    else if (dynamic_cast<const KXWebEditorHandler*>(h))
      names.push_back("Editor");
    else if (dynamic_cast<const KXWebPenNoteHandler*>(h))
      names.push_back("PenNote");
    else
      names.push_back("other");
  }
  // The sync handler's place (third) is filled where it is built.
  std::vector<std::string> expected{"User",       "File",   "ResourceData", "Tag",
                                    "PushServer", "Search", "Preview",      "BgImage",
                                    "LocalFile",  "Editor", "PenNote"};
  names.erase(std::remove(names.begin(), names.end(), "other"), names.end());
  EXPECT_EQ(names, expected);
}

}  // namespace
