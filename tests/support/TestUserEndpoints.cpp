#include "support/TestUserEndpoints.h"

namespace kxtest {

TestUserEndpoints::TestUserEndpoints(TestNoteService& service) : service_(service) {
  deleteReply_ = Reply::json(200, "");
  service_.route("GET", kUserMetaPath, [this](const RecordedRequest&) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!orders_.empty()) {
        Reply reply = orders_.front();
        orders_.pop_front();
        return reply;
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    return Reply::json(200, userMeta_);
  });
  service_.route("GET", kSelfInfoPath, [this](const RecordedRequest&) {
    std::lock_guard<std::mutex> lock(mu_);
    return Reply::json(200, selfInfo_);
  });
  service_.route("GET", kDeletePath, [this](const RecordedRequest&) {
    std::lock_guard<std::mutex> lock(mu_);
    return deleteReply_;
  });
}

void TestUserEndpoints::setUserMeta(const std::string& json) {
  std::lock_guard<std::mutex> lock(mu_);
  userMeta_ = json;
}

void TestUserEndpoints::order(int error, int ecode, const std::string& userid) {
  std::string body = "{\"error\":" + std::to_string(error) + ",\"ecode\":" + std::to_string(ecode);
  if (!userid.empty()) body += ",\"userid\":\"" + userid + "\"";
  body += "}";
  std::lock_guard<std::mutex> lock(mu_);
  orders_.push_back(Reply::json(error != 0 ? error : 403, body));
}

void TestUserEndpoints::setSelfInfo(const std::string& json) {
  std::lock_guard<std::mutex> lock(mu_);
  selfInfo_ = json;
}

void TestUserEndpoints::setPhoto(const std::string& path, const std::string& bytes) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    photos_[path] = bytes;
  }
  service_.route("GET", path, [this, path](const RecordedRequest&) {
    std::lock_guard<std::mutex> lock(mu_);
    Reply reply;
    reply.headers.emplace_back("Content-Type", "image/png");
    reply.body = photos_[path];
    return reply;
  });
}

void TestUserEndpoints::setDeleteReply(int status, const std::string& body) {
  std::lock_guard<std::mutex> lock(mu_);
  deleteReply_ = Reply::json(status, body);
}

}  // namespace kxtest
