// KXFileWatcher takes back the files that other applications save into the
// client's local cache: a stored file opened outside (an office document
// from the web interface) or a previewed attachment. It watches the current
// user's data directory with inotify, and marks the entry of a changed file
// as changed here (version + 1, new size and time, "contentChanged"), so
// that the next push uploads the new content; then it saves and asks for a
// sync through its delayed-run window of 0.1 seconds.
//
// Watched: the trees "Contents/" and "Resources/" under the data directory
// (and the directory itself, for those two to appear); folders that appear
// in them are watched as they appear, and files already in such a folder
// count as created. IN_CLOSE_WRITE, IN_MOVED_TO and IN_CREATE of a file
// stand for created, renamed or modified; other events are passed over.
// Events are gathered for 1.0 second after the first of a batch (the
// latency) and handled in order, each path once.
//
// An event is one of (paths relative to the data directory, compared by
// component, never by substring):
//  - "Resources/...": an attachment, when it was previewed in this process
//    (previewed attachments, filled by the script bridge's preview): the
//    Resource is marked changed here with the new size and time, its note
//    gets version + 1, and the note's content is written again with the
//    attachment's new file length;
//  - "Contents/<file id>/<name>": a stored file (NormalFile) is marked as
//    above; a ".ppt*" file only asks for the sync, others also ask the
//    page, 4 seconds after the save, to reload its office preview.
// Each event that does not qualify is skipped alone and the batch goes on:
// a file below 500 bytes, an unknown path or entry, an attachment never
// previewed, an unchanged modification time, and a file whose bytes are
// the ones the store already records (its "md5"): the client's own writes
// (bodies the pull moves into place, contents the editor and the web
// handlers write) are not changes from outside.
//
// "SyncEventID" (user default): inotify has no event ids to resume from; a
// watcher (re)started in a process starts "since now", and the key counts
// the events handled so far in this process, stored after each batch.
//
// Thread safety: every member may be called from any thread. Events are
// read on a thread of the watcher's own and handled on its serial queue
// "com.zarvel.note.queue.file-watcher"; mu_ guards the stream state and the
// previewed attachments.
#ifndef ZN_SYNC_KXFILEWATCHER_H_
#define ZN_SYNC_KXFILEWATCHER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CommonUtils/KXDelayClock.h"
#include "CommonUtils/KXDelayRunUtil.h"
#include "platform/Mutex.h"
#include "platform/SerialQueue.h"
#include "platform/ThreadAnnotations.h"
#include "platform/Value.h"

class KXDataClient;

// What the watcher asks of the rest of the client. Defaults: the program's
// data client, a save of the store, the note utility's sync request, and the
// installed script bridge's refreshOffice.
class KXFileWatcherEnvironment {
 public:
  virtual ~KXFileWatcherEnvironment() = default;
  virtual KXDataClient& client();
  // Saves the store; `done` runs once the save ended.
  virtual void save(std::function<void()> done);
  virtual void startSync();
  // Asks the page to reload its office or PDF preview.
  virtual void refreshOffice();
};

class KXFileWatcher {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.file-watcher";
  static constexpr const char* kEventIdKey = "SyncEventID";
  static constexpr double kLatencySeconds = 1.0;
  static constexpr float kSaveWindowSeconds = 0.1f;
  static constexpr double kRefreshDelaySeconds = 4.0;
  static constexpr std::int64_t kMinimumSize = 500;

  // The program's watcher, made once (thread-safely) and never freed.
  static KXFileWatcher& defaultFileWatcher();

  // Null arguments take the defaults (the program's environment, the
  // system clock).
  KXFileWatcher(std::shared_ptr<KXFileWatcherEnvironment> environment,
                std::shared_ptr<KXDelayClock> clock);
  // Stops the watch. What it armed on its clock refers to it: a watcher is
  // destroyed only after its clock has run that (the program's is never).
  ~KXFileWatcher();
  KXFileWatcher(const KXFileWatcher&) = delete;
  KXFileWatcher& operator=(const KXFileWatcher&) = delete;

  // Watches `dataDirectory` (the current user's data directory), after
  // stopping a running watch; false when inotify could not be set up.
  bool startWatchFile(const std::string& dataDirectory);
  void stopWatchFileChange();
  bool isWatching() const;

  // The previewed attachments: {"filePath", "resourceId", "fileId" (the
  // note)}; the script bridge adds one for each attachment it previews.
  void addResourceIdEntry(const std::string& filePath, const std::string& resourceId,
                          const std::string& noteFileId);
  kx::Array resourceIdEntryWithName() const;

  // Paths received and not handled yet, in order (tests wait for them).
  std::vector<std::string> pendingPaths();
  // Events handled so far in this process.
  std::int64_t syncEventID() const;
  kx::SerialQueue& queue() { return queue_; }

 private:
  struct Stream;

  void readLoop(std::shared_ptr<Stream> stream);
  // On queue_: one raw inotify event.
  void receive(const std::shared_ptr<Stream>& stream, int wd, std::uint32_t mask,
               const std::string& name);
  // On queue_: watches a folder and what lies below it; with `filesAreNew`
  // the files found there count as created.
  void watchTree(const std::shared_ptr<Stream>& stream, const std::string& path, bool filesAreNew);
  void addPending(const std::string& path);
  void handleBatch(std::uint64_t generation);
  void handlePath(const std::string& path);
  bool handleStoredFile(const std::string& path, const std::string& fileId, std::int64_t size,
                        std::int64_t modifyTime, bool haveAttributes);
  bool handleAttachment(const std::string& path, std::int64_t size, std::int64_t modifyTime,
                        bool haveAttributes);

  const std::shared_ptr<KXFileWatcherEnvironment> environment_;
  const std::shared_ptr<KXDelayClock> clock_;
  kx::SerialQueue queue_;
  std::shared_ptr<KXDelayRunUtil> delayUtil_;

  mutable kx::Mutex mu_;
  std::shared_ptr<Stream> stream_ GUARDED_BY(mu_);
  std::thread reader_ GUARDED_BY(mu_);
  std::uint64_t generation_ GUARDED_BY(mu_) = 0;
  kx::Array previewed_ GUARDED_BY(mu_);
  std::int64_t eventCount_ GUARDED_BY(mu_) = 0;

  // Touched only on queue_.
  std::string dataDirectory_;
  std::vector<std::string> pending_;
  bool batchArmed_ = false;
};

#endif  // ZN_SYNC_KXFILEWATCHER_H_
