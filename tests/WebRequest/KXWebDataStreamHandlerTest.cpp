#include "WebRequest/KXWebDataStreamHandler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "Data/StoreTestSupport.h"
#include "Data/store/KXDataContext.h"
#include "WebRequest/KXURLError.h"
#include "platform/InputStream.h"
#include "support/TempAppRoot.h"

namespace {

// A generated body of `total` bytes of one value; fails with a read error
// after `failAfter` bytes when that is set.
class GeneratedStream : public kx::InputStream {
 public:
  explicit GeneratedStream(std::int64_t total, std::uint8_t value = 'z',
                           std::int64_t failAfter = -1)
      : left_(total), value_(value), failAfter_(failAfter) {}
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength, kx::Error* error) override {
    EXPECT_LE(maxLength, KXWebDataStreamHandler::kChunkSize);
    if (failAfter_ >= 0 && sent_ >= failAfter_) {
      (void)error;
      return -1;
    }
    std::int64_t n = std::min<std::int64_t>(left_, (std::int64_t)maxLength);
    if (failAfter_ >= 0) n = std::min(n, failAfter_ - sent_);
    std::memset(buffer, value_, (std::size_t)n);
    left_ -= n;
    sent_ += n;
    return (std::ptrdiff_t)n;
  }

 private:
  std::int64_t left_;
  std::uint8_t value_;
  std::int64_t failAfter_;
  std::int64_t sent_ = 0;
};

std::int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size = 0;
  std::int64_t resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class WebDataStreamHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_shared<kxtest::TestStoreEnvironment>(root_.path() + "/appdata");
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    reader_ = std::make_unique<KXWebDataStreamHandler>(*client_, root_.path() + "/upload.tmp");
  }
  void TearDown() override {
    reader_.reset();
    client_.reset();
    KXHooks::setRootEntryIdProvider(nullptr);
    KXCrashLogger::setUserRecordProvider(nullptr);
  }
  kx::Error Receive(kx::InputStream& stream, std::int64_t length) {
    kx::Error result;
    int calls = 0;
    reader_->obtainData(stream, length, [&](std::int64_t, const kx::Error& error) {
      result = error;
      ++calls;
    });
    EXPECT_EQ(calls, 1);
    return result;
  }
  static std::string Status(const kx::Error& error) {
    return error.userInfo()["status"].stringValue();
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<kxtest::TestStoreEnvironment> env_;
  std::shared_ptr<KXDataContext> data_;
  std::unique_ptr<KXDataClient> client_;
  std::unique_ptr<KXWebDataStreamHandler> reader_;
};

TEST_F(WebDataStreamHandlerTest, RangeTellsWhereTheNextBodyGoes) {
  GeneratedStream small(4999999, 'a');
  ASSERT_FALSE(Receive(small, 4999999));
  EXPECT_EQ(reader_->dataRange(), "bytes=0-");
  // Told "bytes=0-", the page sends again from 0: nothing is doubled.
  GeneratedStream again(5000000, 'b');
  ASSERT_FALSE(Receive(again, 5000000));
  EXPECT_EQ(reader_->bytesRead(), 5000000);
  EXPECT_EQ(reader_->dataRange(), "bytes=0-4999999");
  GeneratedStream more(10, 'c');
  ASSERT_FALSE(Receive(more, 10));
  const std::string bytes = ReadAll(reader_->tempPath());
  ASSERT_EQ(bytes.size(), 5000010u);
  EXPECT_EQ(bytes.find_first_not_of('b'), 5000000u);
  EXPECT_TRUE(reader_->lastBodyWhole());
}

TEST_F(WebDataStreamHandlerTest, FailuresEndTheBodyWithTheirStatus) {
  GeneratedStream broken(100000, 'x', 40000);
  kx::Error read = Receive(broken, 100000);
  EXPECT_TRUE(KXURLError::is(read, KXURLErrorStreamFailed));
  EXPECT_EQ(Status(read), "Network read error");
  EXPECT_FALSE(reader_->lastBodyWhole());

  reader_->setWriteFunctionForTesting([](int, const void*, std::size_t) -> ssize_t {
    errno = ENOSPC;
    return -1;
  });
  GeneratedStream body(100, 'y');
  kx::Error write = Receive(body, 100);
  EXPECT_EQ(Status(write), "File write error");
  // A write that takes nothing ends the body instead of looping.
  reader_->setWriteFunctionForTesting([](int, const void*, std::size_t) -> ssize_t { return 0; });
  GeneratedStream stuck(100, 'y');
  EXPECT_EQ(Status(Receive(stuck, 100)), "File write error");

  // Bytes are not bound after a body that was cut short.
  kx::Error error;
  EXPECT_FALSE(reader_->writeContentFile("F1", "a.bin", &error));
  reader_->removeTemporary();
  EXPECT_NE(access(reader_->tempPath().c_str(), F_OK), 0);
}

TEST_F(WebDataStreamHandlerTest, ASecondBodyWhileOneIsReadIsRefused) {
  kx::Error second;
  class Reentrant : public kx::InputStream {
   public:
    Reentrant(KXWebDataStreamHandler& r, kx::Error& out) : reader(r), result(out) {}
    std::ptrdiff_t read(std::uint8_t* buffer, std::size_t, kx::Error*) override {
      if (done) return 0;
      done = true;
      kx::BytesInputStream other(kx::Bytes{1});
      reader.obtainData(other, 1, [&](std::int64_t, const kx::Error& e) { result = e; });
      buffer[0] = 7;
      return 1;
    }
    KXWebDataStreamHandler& reader;
    kx::Error& result;
    bool done = false;
  };
  Reentrant first(*reader_, second);
  EXPECT_FALSE(Receive(first, 1));
  EXPECT_TRUE(KXURLError::is(second, KXURLErrorResourceUnavailable));
  EXPECT_EQ(ReadAll(reader_->tempPath()), std::string(1, '\7'));
}

TEST_F(WebDataStreamHandlerTest, AHugeBodyIsNeverHeldInMemory) {
  const std::int64_t size = 500ll * 1000 * 1000;
  const std::int64_t before = ResidentBytes();
  GeneratedStream huge(size);
  ASSERT_FALSE(Receive(huge, size));
  const std::int64_t growth = ResidentBytes() - before;
  EXPECT_EQ(reader_->bytesRead(), size);
  EXPECT_LT(growth, 64ll * 1024 * 1024) << growth;
}

}  // namespace
