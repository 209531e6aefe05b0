#include "CommonUtils/KXLogger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "CommonUtils/KXHooks.h"
#include "platform/Path.h"
#include "platform/Time.h"

namespace {

std::atomic<KXLogger::SettingReader> gWriteLogReader{nullptr};

std::atomic<kx::FileSystem*> gTestFileSystem{nullptr};

kx::FileSystem& loggerFileSystem() {
  kx::FileSystem* fs = gTestFileSystem.load();
  return fs ? *fs : kx::FileSystem::Posix();
}

}  // namespace

KXLogger::KXLogger() : workQueue_(kQueueLabel) {
  workQueue_.async([this] { open(); });
}

KXLogger& KXLogger::sharedLogger() {
  static KXLogger* logger = new KXLogger();
  return *logger;
}

void KXLogger::setFileSystemForTesting(kx::FileSystem* fileSystem) {
  gTestFileSystem.store(fileSystem);
}

std::string KXLogger::stampedLine(std::int64_t secondsSince1970, const std::string& text) {
  return "[" + kx::Time::formatLocal(secondsSince1970, "%Y/%m/%d %H:%M:%S") + "]" + text;
}

void KXLogger::log(const std::string& text) {
  std::string line = stampedLine(kx::Time::nowSeconds(), text);
  workQueue_.async([this, line = std::move(line)] { write(line); });
}

void KXLogger::logSync(const std::string& line) {
  workQueue_.sync([this, &line] { write(line); });
}

void KXLogger::reset() {
  workQueue_.sync([this] {
    opened_ = false;
    open();
  });
}

void KXLogger::drain() {
  workQueue_.sync([] {});
}

std::string KXLogger::logFilePath() {
  std::string path;
  workQueue_.sync([this, &path] { path = file_ ? path_ : std::string(); });
  return path;
}

void KXLogger::open() {
  if (file_) {
    file_->close(nullptr);
    file_.reset();
  }
  path_.clear();
  // Nothing here may log: a line logged now would only queue behind this.
  const std::string directory = KXHooks::currentUserDataDirectory();
  if (directory.empty()) return;  // tried again at the next write
  opened_ = true;
  path_ = kx::Path::appendingPathComponent(directory, kLogFileName);
  kx::FileSystem& fs = loggerFileSystem();
  file_ = fs.newWritableFile(path_, kx::FileSystem::WriteMode::TruncateAppend, 0644, nullptr);
  if (!file_) {
    fs.setPermissions(path_, 0600, nullptr);
    file_ = fs.newWritableFile(path_, kx::FileSystem::WriteMode::TruncateAppend, 0644, nullptr);
  }
}

void KXLogger::setWriteLogReader(SettingReader reader) {
  gWriteLogReader.store(reader, std::memory_order_release);
}

void KXLogger::write(const std::string& line) {
  if (!opened_) open();
  if (!file_) return;
  // "write-log" is consulted before each write, but whatever it holds the
  // line is written. The logger never creates the configuration itself.
  if (SettingReader reader = gWriteLogReader.load(std::memory_order_acquire)) reader();
  kx::Error error;
  if (!file_->append(line, &error)) {
    std::printf("%d", static_cast<int>(error.code()));
    std::fflush(stdout);
  }
}

void KXLogger::logFormatted(const char* function, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message;
  if (n > 0) {
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, args);
    message.assign(buf.data(), static_cast<size_t>(n));
  }
  va_end(args);
  char number[32];
  std::snprintf(number, sizeof number, ":%d){", line);
  sharedLogger().log(std::string("(") + function + number + kx::Queue::currentLabel() + "}  " +
                     message + "\n");
}
