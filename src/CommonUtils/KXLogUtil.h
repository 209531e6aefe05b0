// KXLogUtil is a second logging object beside KXLogger, kept for the
// operations other code may name: gathering, listing, sending, writing and
// formatting log records, and making their store. None of them does
// anything yet and no caller depends on them; the diagnostic log is
// KXLogger. The object owns the serial queue "com.zarvel.note.queue.log",
// on which such work would run, and a store context that nothing sets.
//
// Thread safety: every member may be called from any thread; none touches
// shared state.
#ifndef ZN_COMMONUTILS_KXLOGUTIL_H_
#define ZN_COMMONUTILS_KXLOGUTIL_H_

#include <memory>

#include "platform/SerialQueue.h"
#include "platform/Value.h"

class KXManagedObjectContext;  // the note store's context (a higher layer)

class KXLogUtil {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.log";

  // The shared object, created once and never freed.
  static KXLogUtil& defaultLogger();

  KXLogUtil(const KXLogUtil&) = delete;
  KXLogUtil& operator=(const KXLogUtil&) = delete;

  // These do nothing.
  void mergeLogData() {}
  void allLog(const kx::Value& /*argument*/) {}
  void pushLog(const kx::Value& /*argument*/) {}
  void writeLog() {}
  void formatLog(const kx::Value& /*argument*/) {}
  void createCoreDataStack() {}

  // Always null: nothing sets it.
  std::shared_ptr<KXManagedObjectContext> managedObjectContext() const { return nullptr; }
  kx::SerialQueue& workQueue() { return workQueue_; }

 private:
  KXLogUtil() : workQueue_(kQueueLabel) {}

  kx::SerialQueue workQueue_;
};

#endif  // ZN_COMMONUTILS_KXLOGUTIL_H_
