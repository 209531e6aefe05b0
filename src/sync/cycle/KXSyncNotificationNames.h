// Names and keys of the sync engine's notifications. Every one is posted on
// the main queue, through kx::NotificationCenter::defaultCenter() unless a
// test gives the manager its own centre.
//
//   sync-start        the manager; a cycle was added to an empty sync queue
//   sync-end          the manager ({"sync-result": false}: asked to sync while
//                     asleep, or the network was lost) or a cycle ({"sync-result":
//                     whether it ended well})
//   sync-push         a cycle; its push stage begins
//   sync-pullFileMeta a cycle; the metadata of its first pull is applied
#ifndef ZN_SYNC_KXSYNCNOTIFICATIONNAMES_H_
#define ZN_SYNC_KXSYNCNOTIFICATIONNAMES_H_

inline constexpr const char* kKXSyncStartNotification = "com.zarvel.note.notification.sync-start";
inline constexpr const char* kKXSyncEndNotification = "com.zarvel.note.notification.sync-end";
inline constexpr const char* kKXSyncPushNotification = "com.zarvel.note.notification.sync-push";
inline constexpr const char* kKXSyncPullFileMetaNotification =
    "com.zarvel.note.notification.sync-pullFileMeta";
inline constexpr const char* kKXSyncResultKey = "sync-result";

#endif  // ZN_SYNC_KXSYNCNOTIFICATIONNAMES_H_
