#include "support/FaultInjectingFileSystem.h"

#include <utility>

namespace kxtest {

namespace {

using Op = FaultInjectingFileSystem::Op;

bool failWith(const FaultInjectingFileSystem::Fault& fault, const std::string& path,
              kx::Error* error) {
  kx::SetError(error, kx::Error::posix(fault.error, path));
  return false;
}

class FaultySequentialFile final : public kx::SequentialFile {
 public:
  FaultySequentialFile(FaultInjectingFileSystem* fs, std::unique_ptr<kx::SequentialFile> file,
                       std::string path)
      : fs_(fs), file_(std::move(file)), path_(std::move(path)) {}

  bool read(void* buffer, std::size_t capacity, std::size_t* bytesRead, kx::Error* error) override {
    if (auto fault = fs_->check(Op::Read, path_)) {
      *bytesRead = 0;
      return failWith(*fault, path_, error);
    }
    return file_->read(buffer, capacity, bytesRead, error);
  }

 private:
  FaultInjectingFileSystem* fs_;
  std::unique_ptr<kx::SequentialFile> file_;
  std::string path_;
};

class FaultyWritableFile final : public kx::WritableFile {
 public:
  FaultyWritableFile(FaultInjectingFileSystem* fs, std::unique_ptr<kx::WritableFile> file,
                     std::string path)
      : fs_(fs), file_(std::move(file)), path_(std::move(path)) {}

  bool append(std::string_view data, kx::Error* error) override {
    if (auto fault = fs_->check(Op::Append, path_)) {
      if (fault->shortWrite) file_->append(data.substr(0, data.size() / 2), nullptr);
      return failWith(*fault, path_, error);
    }
    return file_->append(data, error);
  }

  bool sync(kx::Error* error) override {
    if (auto fault = fs_->check(Op::Sync, path_)) return failWith(*fault, path_, error);
    return file_->sync(error);
  }

  bool close(kx::Error* error) override {
    if (auto fault = fs_->check(Op::Close, path_)) {
      // The descriptor goes away even when close reports an error.
      file_->close(nullptr);
      return failWith(*fault, path_, error);
    }
    return file_->close(error);
  }

 private:
  FaultInjectingFileSystem* fs_;
  std::unique_ptr<kx::WritableFile> file_;
  std::string path_;
};

}  // namespace

FaultInjectingFileSystem::FaultInjectingFileSystem(kx::FileSystem& target) : target_(target) {}

void FaultInjectingFileSystem::inject(Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back(Armed{std::move(fault)});
}

void FaultInjectingFileSystem::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

int FaultInjectingFileSystem::calls(Op op) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = calls_.find(op);
  return it == calls_.end() ? 0 : it->second;
}

int FaultInjectingFileSystem::injectedFailures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return injectedFailures_;
}

std::vector<std::string> FaultInjectingFileSystem::openedForWriting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openedForWriting_;
}

std::optional<FaultInjectingFileSystem::Fault> FaultInjectingFileSystem::check(
    Op op, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_[op];
  for (Armed& armed : faults_) {
    const Fault& fault = armed.fault;
    if (fault.op != op) continue;
    if (!fault.pathContains.empty() && path.find(fault.pathContains) == std::string::npos) {
      continue;
    }
    if (fault.times >= 0 && armed.fired >= fault.times) continue;
    if (armed.seen++ < fault.skip) continue;
    ++armed.fired;
    ++injectedFailures_;
    return fault;
  }
  return std::nullopt;
}

bool FaultInjectingFileSystem::getInfo(const std::string& path, bool followSymlinks,
                                       kx::FileInfo* info, kx::Error* error) {
  if (auto fault = check(Op::GetInfo, path)) return failWith(*fault, path, error);
  return target_.getInfo(path, followSymlinks, info, error);
}

bool FaultInjectingFileSystem::makeDirectory(const std::string& path, std::uint32_t mode,
                                             kx::Error* error) {
  if (auto fault = check(Op::MakeDirectory, path)) return failWith(*fault, path, error);
  return target_.makeDirectory(path, mode, error);
}

bool FaultInjectingFileSystem::removeFile(const std::string& path, kx::Error* error) {
  if (auto fault = check(Op::RemoveFile, path)) return failWith(*fault, path, error);
  return target_.removeFile(path, error);
}

bool FaultInjectingFileSystem::removeDirectory(const std::string& path, kx::Error* error) {
  if (auto fault = check(Op::RemoveDirectory, path)) return failWith(*fault, path, error);
  return target_.removeDirectory(path, error);
}

bool FaultInjectingFileSystem::removeItem(const std::string& path, kx::Error* error) {
  if (auto fault = check(Op::RemoveItem, path)) return failWith(*fault, path, error);
  return target_.removeItem(path, error);
}

bool FaultInjectingFileSystem::listNames(const std::string& path, std::vector<std::string>* names,
                                         kx::Error* error) {
  if (auto fault = check(Op::ListNames, path)) return failWith(*fault, path, error);
  return target_.listNames(path, names, error);
}

bool FaultInjectingFileSystem::rename(const std::string& from, const std::string& to,
                                      kx::Error* error) {
  if (auto fault = check(Op::Rename, from)) return failWith(*fault, from, error);
  return target_.rename(from, to, error);
}

std::unique_ptr<kx::SequentialFile> FaultInjectingFileSystem::newSequentialFile(
    const std::string& path, kx::Error* error) {
  if (auto fault = check(Op::OpenRead, path)) {
    failWith(*fault, path, error);
    return nullptr;
  }
  std::unique_ptr<kx::SequentialFile> file = target_.newSequentialFile(path, error);
  if (!file) return nullptr;
  return std::make_unique<FaultySequentialFile>(this, std::move(file), path);
}

std::unique_ptr<kx::WritableFile> FaultInjectingFileSystem::newWritableFile(const std::string& path,
                                                                            WriteMode how,
                                                                            std::uint32_t mode,
                                                                            kx::Error* error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    openedForWriting_.push_back(path);
  }
  if (auto fault = check(Op::OpenWrite, path)) {
    failWith(*fault, path, error);
    return nullptr;
  }
  std::unique_ptr<kx::WritableFile> file = target_.newWritableFile(path, how, mode, error);
  if (!file) return nullptr;
  return std::make_unique<FaultyWritableFile>(this, std::move(file), path);
}

bool FaultInjectingFileSystem::syncDirectory(const std::string& path, kx::Error* error) {
  if (auto fault = check(Op::SyncDirectory, path)) return failWith(*fault, path, error);
  return target_.syncDirectory(path, error);
}

bool FaultInjectingFileSystem::syncFile(const std::string& path, kx::Error* error) {
  if (auto fault = check(Op::SyncFile, path)) return failWith(*fault, path, error);
  return target_.syncFile(path, error);
}

bool FaultInjectingFileSystem::setPermissions(const std::string& path, std::uint32_t mode,
                                              kx::Error* error) {
  if (auto fault = check(Op::SetPermissions, path)) return failWith(*fault, path, error);
  return target_.setPermissions(path, mode, error);
}

bool FaultInjectingFileSystem::setModificationTime(const std::string& path, kx::FileTime time,
                                                   kx::Error* error) {
  if (auto fault = check(Op::SetModificationTime, path)) return failWith(*fault, path, error);
  return target_.setModificationTime(path, time, error);
}

bool FaultInjectingFileSystem::readSymlink(const std::string& path, std::string* target,
                                           kx::Error* error) {
  if (auto fault = check(Op::ReadSymlink, path)) return failWith(*fault, path, error);
  return target_.readSymlink(path, target, error);
}

bool FaultInjectingFileSystem::createSymlink(const std::string& target, const std::string& path,
                                             kx::Error* error) {
  if (auto fault = check(Op::CreateSymlink, path)) return failWith(*fault, path, error);
  return target_.createSymlink(target, path, error);
}

}  // namespace kxtest
