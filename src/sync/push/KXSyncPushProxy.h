// KXSyncPushProxy sends the store's local changes to the service for one sync
// cycle, in an order in which the service always knows a notebook before
// anything placed in it and drops what lies in a notebook before the
// notebook, and reports to its delegate (the cycle) exactly once:
//
//   tags     the tag step (KXSyncPushTagStep); its outcome is not looked at;
//   collect  every entry marked as changed here whose parent is neither "0"
//            nor "-2" (readForUnpushedFilemeta), parents first
//            (KXTopoSeqUtil; entries on a parent cycle are left out and
//            logged), in four lists; a note or file whose pulled body is
//            still owed (in the pull-failure list) is held back, so that its
//            text here never goes over the service's before the pull has
//            kept that as a conflict copy;
//   1        live notebooks, one at a time; one refused with the service's
//            code 20102 or 225 is parked, and the parked ones are pushed
//            once more, one at a time and in order, before phase 2 (parked
//            again, they keep their marks for a later cycle); save;
//   2        erases of removed notes and files, parents first; save;
//   3        live notes and files; save;
//   4        erases of removed notebooks, children first; save;
//   end      didPushSuccess, or didPushFail with the first entry failure.
//
// Each entry is pushed by its own KXObjectPusher; in phases 2 to 4 a window
// of pushers is started and the push controller runs at most 3 requests at
// a time. A failure that belongs to one entry (KXMetaPusher::failsEntryOnly:
// a malformed reply, a refusal the service explained, a name still taken
// after the renames, resources still to upload) fails that entry only: it
// keeps its marks and the push goes on; the push then ends with
// didPushFail. Any other failure (no answer, a server failure, a full space)
// ends the push: nothing more starts, requests still waiting for a slot are
// not sent, and once the running ones have answered (their answers are
// stored) the store is saved and didPushFail follows.
//
// clearEnvironment() (a cancelled cycle) stops the push the same way but
// reports nothing; answers the service is already giving are still stored.
// A sign-out also clears the push controller and closes the store, so late
// answers write nothing.
//
// Thread safety: every public member may be called from any thread; the
// steps run on the threads of the pushers' callbacks and the store's queues.
#ifndef ZN_SYNC_KXSYNCPUSHPROXY_H_
#define ZN_SYNC_KXSYNCPUSHPROXY_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Mutex.h"
#include "sync/push/KXSyncPushProxyDelegate.h"
#include "sync/push/KXSyncPushServices.h"

class KXObjectPusher;
class KXSyncPushTagStep;

class KXSyncPushProxy : public std::enable_shared_from_this<KXSyncPushProxy> {
 public:
  // Service codes that park a notebook in phase 1.
  static constexpr std::int64_t kParkCodes[] = {20102, 225};
  // Pushers started at once in phases 2 to 4.
  static constexpr std::size_t kPhaseWindow = 8;

  // One entry to push, as collected.
  struct Item {
    std::string fileId;
    std::string parentId;
    std::string title;
    bool notebook = false;
    bool removed = false;
  };

  // The program's services and tag step.
  explicit KXSyncPushProxy(std::weak_ptr<KXSyncPushProxyDelegate> delegate);
  // `tagStep` nullptr: the installed one.
  KXSyncPushProxy(std::weak_ptr<KXSyncPushProxyDelegate> delegate, KXSyncPushServices services,
                  std::shared_ptr<KXSyncPushTagStep> tagStep = nullptr);
  virtual ~KXSyncPushProxy();
  KXSyncPushProxy(const KXSyncPushProxy&) = delete;
  KXSyncPushProxy& operator=(const KXSyncPushProxy&) = delete;

  virtual void push();
  // Stops the push: nothing more starts and nothing is reported.
  virtual void clearEnvironment();
  // false stops the push as clearEnvironment does.
  void changeNetWorkStatus(bool reachable);

  bool isCancelled() const;
  void setIsCancelled(bool cancelled);

  // The four lists of a collection, in push order.
  struct Lists {
    std::vector<Item> notebooks;         // phase 1, parents first
    std::vector<Item> deleteNotesFiles;  // phase 2, parents first
    std::vector<Item> notesFiles;        // phase 3, parents first
    std::vector<Item> deleteNotebooks;   // phase 4, children first
  };
  static Lists sortItems(const std::vector<Item>& items);

 protected:
  // The delegate, or nullptr when it is gone.
  std::shared_ptr<KXSyncPushProxyDelegate> delegate() const;

 private:
  enum class Phase {
    kIdle,
    kTags,
    kNotebooks,
    kRepush,
    kDeleteNotesFiles,
    kNotesFiles,
    kDeleteNotebooks,
    kEnded
  };

  void fetchUnPushedMeta();
  // Takes the phase's list and starts its window of pushers.
  void startPhase(Phase phase);
  // Starts pushers while the window has room (one at a time in phase 1).
  void fillWindow();
  void pusherEnded(const std::shared_ptr<KXObjectPusher>& pusher, const Item& item,
                   const kx::Error& error);
  // Moves on once the phase's pushers have all ended.
  void maybeAdvance();
  void phaseDone(Phase phase);
  void endPush();
  // Saves the store, then runs `then` off the write queue.
  void save(std::function<void()> then);
  bool isParkCode(const kx::Error& error) const;
  // Stops the running pushers and starts nothing more.
  void stopAll();

  const KXSyncPushServices services_;
  const std::shared_ptr<KXSyncPushTagStep> tagStep_;

  mutable kx::Mutex mu_;
  std::weak_ptr<KXSyncPushProxyDelegate> delegate_ GUARDED_BY(mu_);
  Phase phase_ GUARDED_BY(mu_) = Phase::kIdle;
  std::deque<Item> normalNotebookItems_ GUARDED_BY(mu_);
  std::vector<Item> pushNotebookConflictArray_ GUARDED_BY(mu_);
  std::deque<Item> phaseItems_ GUARDED_BY(mu_);
  std::vector<Item> deleteNoteAndFileItems_ GUARDED_BY(mu_);
  std::vector<Item> normalNoteAndFileItems_ GUARDED_BY(mu_);
  std::vector<Item> deleteNotebookItems_ GUARDED_BY(mu_);
  std::vector<std::shared_ptr<KXObjectPusher>> pushers_ GUARDED_BY(mu_);
  kx::Error entryFailure_ GUARDED_BY(mu_);
  kx::Error pushFailure_ GUARDED_BY(mu_);
  bool failing_ GUARDED_BY(mu_) = false;
  bool isCancelled_ GUARDED_BY(mu_) = false;
  bool reported_ GUARDED_BY(mu_) = false;
  bool filling_ GUARDED_BY(mu_) = false;
  bool refill_ GUARDED_BY(mu_) = false;
  bool phaseClosing_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXSYNCPUSHPROXY_H_
