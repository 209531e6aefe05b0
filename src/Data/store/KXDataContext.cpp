#include "Data/store/KXDataContext.h"

#include "CommonUtils/KXErrorDomain.h"
#include "CommonUtils/KXLogger.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "platform/FileSystem.h"
#include "platform/QueueCheck.h"

KXDataContext& KXDataContext::defaultContext() {
  static KXDataContext* context = new KXDataContext(KXStoreEnvironment::defaultEnvironment());
  return *context;
}

KXDataContext::KXDataContext(std::shared_ptr<KXStoreEnvironment> environment)
    : environment_(std::move(environment)) {
  // Saves of any context of this store reach the read context: the merge is
  // queued on the read queue while the save is still running.
  didSaveObserver_ = kx::NotificationCenter::defaultCenter().addObserver(
      kKXContextDidSaveNotification, nullptr, nullptr, [this](const kx::Notification& n) {
        std::shared_ptr<KXManagedObjectContext> reader = readContext();
        if (!reader || reader.get() == n.object) return;
        kx::Value info = n.userInfo;
        readQueue_.async([reader, info] { reader->mergeChanges(info); });
      });

  std::shared_ptr<KXPersistentStore> store = openStore();
  auto writer = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Writer);
  auto reader = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Reader);
  kx::MutexLock lock(mutex_);
  store_ = std::move(store);
  writeContext_ = std::move(writer);
  readContext_ = std::move(reader);
  needRefresh_ = false;
}

KXDataContext::~KXDataContext() {
  kx::NotificationCenter::defaultCenter().removeObserver(didSaveObserver_);
  // Let every queued block finish with the contexts still in place.
  writeQueue_.sync([] {});
  readQueue_.sync([] {});
  cleanQueue_.sync([] {});
}

std::shared_ptr<KXManagedObjectContext> KXDataContext::readContext() const {
  kx::MutexLock lock(mutex_);
  return readContext_;
}

std::shared_ptr<KXManagedObjectContext> KXDataContext::writeContext() const {
  kx::MutexLock lock(mutex_);
  return writeContext_;
}

bool KXDataContext::setWriteContext(std::shared_ptr<KXManagedObjectContext> context) {
  if (!context || context->role() != KXManagedObjectContext::Role::Writer) {
    KXLOG("setWriteContext refused %s", context ? "a read context" : "no context");
    return false;
  }
  kx::MutexLock lock(mutex_);
  writeContext_ = std::move(context);
  return true;
}

std::string KXDataContext::storePath() const {
  kx::MutexLock lock(mutex_);
  return store_ ? store_->path() : std::string();
}

std::string KXDataContext::storeUserId() const {
  kx::MutexLock lock(mutex_);
  return storeUserId_;
}

void KXDataContext::performWriteBlock(Block block) {
  writeQueue_.async([this, block = std::move(block)] {
    if (!block) return;
    std::shared_ptr<KXManagedObjectContext> context = writeContext();
    block(*context);
  });
}

void KXDataContext::performSyncWriteBlock(const Block& block) {
  // The write queue may wait for the read queue, so the read queue must not
  // wait for it (unless this thread already holds the write queue).
  if (!writeQueue_.isCurrent()) KX_DCHECK_NOT_ON_QUEUE(readQueue_, "not from the read queue");
  writeQueue_.sync([&] {
    if (!block) return;
    std::shared_ptr<KXManagedObjectContext> context = writeContext();
    block(*context);
  });
}

void KXDataContext::performReadBlock(Block block) {
  readQueue_.async([this, block = std::move(block)] {
    if (!block) return;
    std::shared_ptr<KXManagedObjectContext> context = readContext();
    block(*context);
  });
}

void KXDataContext::performSyncReadBlock(const Block& block) {
  readQueue_.sync([&] {
    if (!block) return;
    std::shared_ptr<KXManagedObjectContext> context = readContext();
    block(*context);
  });
}

void KXDataContext::refreshContext() {
  bool expected = true;
  KX_DCHECK_NOT_ON_QUEUE(readQueue_, "not from the read queue");
  KX_DCHECK_NOT_ON_QUEUE(writeQueue_, "not from the write queue");
  if (!needRefresh_.compare_exchange_strong(expected, false)) return;
  KXLOG("refreshCoordinator");
  std::shared_ptr<KXPersistentStore> store = openStore();
  {
    kx::MutexLock lock(mutex_);
    store_ = store;
  }
  readQueue_.sync([&] {
    auto reader = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Reader);
    kx::MutexLock lock(mutex_);
    readContext_ = std::move(reader);
  });
  writeQueue_.sync([&] {
    auto writer = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Writer);
    kx::MutexLock lock(mutex_);
    writeContext_ = std::move(writer);
  });
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

void KXDataContext::checkApplicationDataDirectory() {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::string dir = environment_->applicationDataDirectory();
  bool isDirectory = false;
  if (fs.exists(dir, &isDirectory)) {
    if (!isDirectory) {
      char text[1024];
      std::snprintf(text, sizeof text,
                    "Expected a folder to store application data, found a file (%s).", dir.c_str());
      kx::Error e = kx::Error::make(kKXErrorDomain, kKXErrorCodeCannotOpenStore, text);
      e.mutableUserInfo().set(kx::kFilePathErrorKey, kx::Value(dir));
      environment_->presentError(e);
    }
    return;
  }
  kx::Error e;
  if (!fs.createDirectory(dir, &e)) environment_->presentError(e);
}

void KXDataContext::presentOpenError(const kx::Error& cause) {
  kx::Error e = kx::Error::make(kKXErrorDomain, kKXErrorCodeCannotOpenStore,
                                "Failed to initialize the store");
  e.mutableUserInfo().set("NSLocalizedFailureReason",
                          kx::Value("There was an error building up the data file."));
  if (cause) {
    kx::Dictionary underlying;
    underlying.set("domain", kx::Value(cause.domain()));
    underlying.set("code", kx::Value(static_cast<long long>(cause.code())));
    underlying.set("description", kx::Value(cause.localizedDescription()));
    e.mutableUserInfo().set(kx::kUnderlyingErrorKey, kx::Value(std::move(underlying)));
  }
  environment_->presentError(e);
}

void KXDataContext::adoptAnonymousStore(const std::string& userDirectory) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::Error e;
  std::string anonymous = environment_->userDataDirectory(kAnonymousUser, &e);
  if (anonymous.empty()) {
    KXLOG("the anonymous data directory is not available: %s", e.localizedDescription().c_str());
    return;
  }
  std::string source = anonymous + "/" + kStoreFileName;
  std::string target = userDirectory + "/" + kStoreFileName;
  if (fs.exists(source)) {
    // Committed data may still sit in the WAL: fold it into the database
    // file first, then move that one file. Any failure leaves the anonymous
    // store where it was, whole.
    if (!KXPersistentStore::checkpointIntoSingleFile(source, environment_->sqliteVfs(), &e)) {
      KXLOG("the anonymous store was not adopted: %s", e.localizedDescription().c_str());
    } else if (!fs.moveItem(source, target, &e)) {
      KXLOG("moving the anonymous store to %s failed: %s", target.c_str(),
            e.localizedDescription().c_str());
      // moveItem removes a partial copy itself; make sure none is left.
      if (fs.exists(source) && fs.exists(target)) kx::ignoreError(fs.removeFile(target, nullptr));
    } else {
      kx::ignoreError(fs.removeFile(source + "-shm", nullptr));
      KXLOG("adopted the anonymous store into %s", userDirectory.c_str());
    }
  }
  std::string index = anonymous + "/Index";
  std::string targetIndex = userDirectory + "/Index";
  if (fs.exists(index) && !fs.exists(targetIndex)) {
    if (!fs.moveItem(index, targetIndex, &e)) {
      KXLOG("moving the anonymous index failed: %s", e.localizedDescription().c_str());
    }
  }
}

std::shared_ptr<KXPersistentStore> KXDataContext::openStore() {
  KXLOG("persistentStoreCoordinator");
  checkApplicationDataDirectory();
  std::string user = environment_->currentUser();
  if (user == kAnonymousUser) {
    KXLOG("初始化数据库时存在emptyUser, currentUser 未被正确赋值 currentUser is %s", user.c_str());
  }
  environment_->setDbUserId(user);
  {
    kx::MutexLock lock(mutex_);
    storeUserId_ = user;
  }

  kx::Error e;
  std::string userDirectory = environment_->userDataDirectory(user, &e);
  if (userDirectory.empty()) {
    KXLOG("no data directory for the store: %s", e.localizedDescription().c_str());
    presentOpenError(e);
    return nullptr;
  }
  std::string path = userDirectory + "/" + kStoreFileName;
  kx::FileSystem& fs = kx::FileSystem::Default();
  bool contentIsDirectory = false;
  if (user != kAnonymousUser && environment_->loginType() != 1 && !fs.exists(path) &&
      fs.exists(userDirectory + "/Contents", &contentIsDirectory) && contentIsDirectory) {
    adoptAnonymousStore(userDirectory);
  }

  const std::string vfs = environment_->sqliteVfs();
  std::shared_ptr<KXPersistentStore> store = KXPersistentStore::open(path, vfs, &e);
  if (store) return store;
  KXLOG("opening the store %s failed: %s", path.c_str(), e.localizedDescription().c_str());
  if (!KXPersistentStore::isDamagedStoreError(e)) {
    presentOpenError(e);
    return nullptr;
  }
  // The file is unusable: keep it for inspection under another name and
  // start a new store, so that the client keeps working.
  std::string movedTo;
  kx::Error moveError;
  if (!KXPersistentStore::moveAside(path, &movedTo, &moveError)) {
    KXLOG("moving the damaged store aside failed: %s", moveError.localizedDescription().c_str());
    presentOpenError(e);
    return nullptr;
  }
  KXLOG("the damaged store was moved to %s", movedTo.c_str());
  kx::Error cause = e;
  cause.mutableUserInfo().set(kx::kFilePathErrorKey, kx::Value(movedTo));
  presentOpenError(cause);
  store = KXPersistentStore::open(path, vfs, &e);
  if (!store) {
    KXLOG("a new store could not be created at %s: %s", path.c_str(),
          e.localizedDescription().c_str());
  }
  return store;
}
