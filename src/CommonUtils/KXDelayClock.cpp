#include "CommonUtils/KXDelayClock.h"

#include <utility>

namespace {

class SystemDelayClock final : public KXDelayClock {
 public:
  void after(double seconds, kx::Queue& queue, std::function<void()> task) override {
    queue.after(seconds, std::move(task));
  }
};

}  // namespace

std::shared_ptr<KXDelayClock> KXDelayClock::systemClock() {
  static std::shared_ptr<KXDelayClock>* clock =
      new std::shared_ptr<KXDelayClock>(std::make_shared<SystemDelayClock>());
  return *clock;
}
