#include "WebRequest/KXRequestDelegateRegistry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class NamedHandler : public KXDataRequestDelegate {
 public:
  NamedHandler(std::string name, std::string path, std::vector<std::string>* log)
      : name_(std::move(name)), path_(std::move(path)), log_(log) {}
  bool acceptRequest(const kx::URLRequest& request) const override {
    return request.url().path() == path_;
  }
  void handleRequest(const kx::URLRequest&, std::shared_ptr<KXDataRequestController>) override {
    log_->push_back(name_);
  }

 private:
  std::string name_, path_;
  std::vector<std::string>* log_;
};

kx::URLRequest requestFor(const char* text) { return kx::URLRequest(*kx::URL::parse(text)); }

TEST(KXRequestDelegateRegistry, FirstRegisteredAcceptorOwnsTheRequest) {
  std::vector<std::string> log;
  KXRequestDelegateRegistry registry;
  EXPECT_FALSE(registry.offer(requestFor("https://h/a"), nullptr)) << "empty list";

  NamedHandler first("first", "/a", &log);
  auto second = std::make_shared<NamedHandler>("second", "/a", &log);
  auto other = std::make_shared<NamedHandler>("other", "/b", &log);
  registry.add(first);
  registry.add(second);
  registry.add(other);
  registry.add(first);  // the same handler twice is allowed
  registry.add(std::shared_ptr<KXDataRequestDelegate>());

  ASSERT_EQ(registry.handlers()->size(), 4u);
  EXPECT_TRUE(registry.offer(requestFor("https://h/a"), nullptr));
  EXPECT_TRUE(registry.offer(requestFor("https://h/b"), nullptr));
  EXPECT_FALSE(registry.offer(requestFor("https://h/c"), nullptr));
  EXPECT_EQ(log, (std::vector<std::string>{"first", "other"}));
}

}  // namespace
