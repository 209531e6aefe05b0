#include "platform/Queue.h"

#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "platform/Mutex.h"

namespace kx {

namespace {

struct Frame {
  Queue* queue;
  const std::string* label;
};

// The calling thread's stack of running queues, innermost last.
thread_local std::vector<Frame> tFrames;

Mutex& handlerMutex() {
  static Mutex* mu = new Mutex;
  return *mu;
}

Queue::ExceptionHandler& handlerSlot() REQUIRES(handlerMutex()) {
  static Queue::ExceptionHandler* handler = new Queue::ExceptionHandler;
  return *handler;
}

void defaultHandler(const std::string& where, const std::string& description) {
  std::fprintf(stderr, "kx: uncaught exception on \"%s\": %s\n", where.c_str(),
               description.c_str());
}

}  // namespace

Queue::~Queue() = default;

bool Queue::isCurrent() const {
  for (const Frame& frame : tFrames) {
    if (frame.queue == this) return true;
  }
  return false;
}

Queue* Queue::current() { return tFrames.empty() ? nullptr : tFrames.back().queue; }

std::string Queue::currentLabel() {
  return tFrames.empty() ? std::string() : *tFrames.back().label;
}

void Queue::setExceptionHandler(ExceptionHandler handler) {
  MutexLock lock(handlerMutex());
  handlerSlot() = std::move(handler);
}

void Queue::reportException(const std::string& where, const std::string& description) {
  ExceptionHandler handler;
  {
    MutexLock lock(handlerMutex());
    handler = handlerSlot();
  }
  try {
    if (handler) {
      handler(where, description);
    } else {
      defaultHandler(where, description);
    }
  } catch (...) {
    // A handler that throws has nowhere left to report to.
  }
}

bool Queue::invokeGuarded(const std::function<void()>& fn, const std::string& where) {
  try {
    if (fn) fn();
    return true;
  } catch (const std::exception& e) {
    reportException(where, e.what());
  } catch (...) {
    reportException(where, "unknown exception");
  }
  return false;
}

Queue::Scope::Scope(Queue* queue, const std::string* label) {
  tFrames.push_back(Frame{queue, label});
}

Queue::Scope::~Scope() { tFrames.pop_back(); }

void Queue::forgetOnThisThread(const Queue* queue) {
  for (Frame& frame : tFrames) {
    if (frame.queue == queue) frame.queue = nullptr;
  }
}

}  // namespace kx
