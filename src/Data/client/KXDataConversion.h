// KXDataConversion brings the stored data up to the data version this
// program writes. It runs once, when the store is opened
// (KXDataClient::openStore), never while the client is made.
//
// It shows nothing itself: what a store written by a newer client needs from
// the user (the main window hidden, the choice between updating the
// application and dropping the local data, the program's end) goes through
// KXDataConversionUI, which the application installs. Without one, a neutral
// port stands in: it hides nothing, answers "update" (the local data is
// kept) and does not quit.
//
// Thread safety: dataConvert() is called once, from the thread that opens the
// store; it reads on the read queue and queues every change on the write
// queue. The installed port is guarded by mu_ and may be replaced from any
// thread.
#ifndef ZN_DATA_KXDATACONVERSION_H_
#define ZN_DATA_KXDATACONVERSION_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Error.h"
#include "platform/Mutex.h"

class KXDataClient;
class KXManagedObjectContext;

// What the conversion asks of the user interface. Every member is called on
// the main queue.
class KXDataConversionUI {
 public:
  virtual ~KXDataConversionUI() = default;
  // The user's answer about a store written by a newer client.
  enum class TooNewStoreChoice { kUpdateApplication, kDropLocalData };
  virtual void hideMainWindow() = 0;
  // Asks whether to update the application or to stay on this version and
  // drop the local data; `completion` gets the choice on the main queue.
  virtual void askAboutTooNewStore(std::function<void(TooNewStoreChoice)> completion) = 0;
  // Ends the program the way the user's Quit does.
  virtual void quit() = 0;
};

class KXDataConversion {
 public:
  // The conversion of the client's store. The client owns this object.
  explicit KXDataConversion(KXDataClient& client);
  KXDataConversion(const KXDataConversion&) = delete;
  KXDataConversion& operator=(const KXDataConversion&) = delete;

  // Makes `ui` the port the conversion asks through; nullptr puts the
  // neutral port back.
  void setUI(std::shared_ptr<KXDataConversionUI> ui);
  std::shared_ptr<KXDataConversionUI> ui() const;

  // The data version this client writes (the "dbVersion" state row).
  static constexpr std::int64_t kCurrentDbVersion = 10;
  // Stored versions in [kFirstTooNewDbVersion, kTooNewDbVersionEnd) were
  // written by a newer client; from kTooNewDbVersionEnd on they count as
  // current.
  static constexpr std::int64_t kFirstTooNewDbVersion = 11;
  static constexpr std::int64_t kTooNewDbVersionEnd = 1000;
  // The application's download page, below the service's address.
  static constexpr const char* kDownloadPagePath = "/download";

  // Brings the stored data up to the current data version; opening the
  // store runs it before the store is used (a client without a store skips
  // it). Called on the caller's thread; it reads on the read queue and
  // queues every change on the write queue, so writes queued after it see
  // converted data.
  //  - A user row whose userId differs (ignoring case) from the session's
  //    user is logged and presented ("Query Database Fail"); it goes on.
  //  - Versions 10 and >= 1000: true, nothing changes.
  //  - Versions 11..999 (a newer client's store): nothing is written; the
  //    main queue hides the main window and asks (KXDataConversionUI) whether to update
  //    the application (its download page is opened) or to stay on this
  //    version and drop the local data (the user's data directory is removed
  //    through the file manager, which keeps the removal inside the
  //    application data root); then the program quits. Answers false.
  //  - Versions <= 9: one step per version up to 9 (dbConvertFrom), then a
  //    save; true. Each step saves its conversion together with the version
  //    it leads to; once a step's save fails the later steps of the run are
  //    skipped, so the stored version never claims a conversion that is not
  //    in the store, and the next start converts again from there.
  bool dataConvert();
  // Queues one step on the write queue: the conversion of the version
  // (1: convertFrom1To2, 2: convertFrom2To4, others none) and the version it
  // leads to (0 -> 1, 1 -> 2, 2 -> 4, 4..9 -> v + 1; 3 and negatives keep
  // theirs), saved together.
  void dbConvertFrom(std::int64_t version);
  // In the write context, on the write queue; nothing saved. False (and
  // *error) when the entries cannot be read; then nothing was changed.
  //  1 -> 2: "deleted" is recomputed on every entry but the root: YES for
  //  entries in the trash or removed on the service, and for the whole
  //  subtree of such a notebook (whose entries also become remoteRemoved
  //  when the notebook is).
  [[nodiscard]] bool convertFrom1To2(KXManagedObjectContext* context, kx::Error* error);
  //  2 -> 4: "del" takes the value of "deleted" on every entry but the root
  //  (entries without a "deleted" value keep theirs).
  [[nodiscard]] bool convertFrom2To4(KXManagedObjectContext* context, kx::Error* error);

 private:
  // One step of a conversion run; `runFailed` is shared by the steps of one
  // run and only touched on the write queue.
  void dbConvertFrom(std::int64_t version, std::shared_ptr<bool> runFailed);

  KXDataClient& client_;
  mutable kx::Mutex mu_;
  std::shared_ptr<KXDataConversionUI> ui_ GUARDED_BY(mu_);
};

#endif  // ZN_DATA_KXDATACONVERSION_H_
