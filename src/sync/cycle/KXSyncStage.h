// The stages of one sync cycle (KXSyncOperation). There is no stage 4.
#ifndef ZN_SYNC_KXSYNCSTAGE_H_
#define ZN_SYNC_KXSYNCSTAGE_H_

#include <cstdint>

enum KXSyncStage : std::int64_t {
  kKXSyncStageBegun = 0,
  kKXSyncStagePull = 1,
  kKXSyncStagePush = 2,
  kKXSyncStagePullAfterPush = 3,
  kKXSyncStageEnded = 5,
};

#endif  // ZN_SYNC_KXSYNCSTAGE_H_
