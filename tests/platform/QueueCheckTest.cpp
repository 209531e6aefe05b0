#include "platform/QueueCheck.h"

#include <gtest/gtest.h>

#include "platform/SerialQueue.h"

namespace {

using kx::SerialQueue;

// A check holds on the queue it names, also through a nested sync() onto
// another queue, and stops the program with the rule and both labels when
// it is broken.
TEST(QueueCheckTest, HoldsOnTheNamedQueueAndStopsTheProgramElsewhere) {
  SerialQueue owner("test.owner");
  SerialQueue other("test.other");
  owner.sync([&] {
    KX_DCHECK_ON_QUEUE(owner, "on the owner");
    KX_DCHECK_NOT_ON_QUEUE(other, "not on the other");
    other.sync([&] {
      KX_DCHECK_ON_QUEUE(owner, "still on the owner");
      KX_DCHECK_ON_QUEUE(other, "on the other");
    });
  });
  KX_DCHECK_NOT_ON_QUEUE(owner, "not on the owner");
#if KX_QUEUE_CHECKS_ENABLED
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(KX_DCHECK_ON_QUEUE(owner, "on the queue that owns this context"),
               "on the queue that owns this context \\(expected on \"test.owner\"; running on "
               "\"no queue\"\\)");
  EXPECT_DEATH(owner.sync([&] {
    other.sync([&] { KX_DCHECK_NOT_ON_QUEUE(owner, "not from the read queue"); });
  }),
               "not from the read queue \\(expected not on \"test.owner\"; running on "
               "\"test.other\"\\)");
#endif
}

}  // namespace
