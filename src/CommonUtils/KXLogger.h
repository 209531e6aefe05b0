// KXLogger is the application's one diagnostic log. Callers use the KXLOG
// macro, which formats "(<function>:<line>){<queue label>}  <message>\n" and
// hands it to the shared logger; the logger stamps it on the caller's thread
// with the local date and time, "[YYYY/MM/DD hh:mm:ss]", and appends it on
// its own serial queue, "com.zarvel.note.queue.logger", to "ZarvelNote.log"
// in the current user's data directory. Lines are written in the order they
// were logged, one unbuffered write each, with no separator of the logger's
// own (the KXLOG text ends with a line feed).
//
// The file is emptied each time it is opened, so it holds the current run's
// log. It is written in append mode: a log emptied from outside while the
// program runs goes on from its new end. Before each write the logger looks
// at the configuration key "write-log" of the shared configuration (when
// one has been created); no value of it stops a line. It is opened on the work queue when the
// logger is created, from the data directory that the file manager reports through KXHooks; while
// no directory is known yet, opening waits until the next line is written. The path is used as it
// stands, whatever characters it holds. When the file cannot be opened, its mode is set to 0600 and
// it is opened once more; if that fails too, lines are dropped for the rest of the run (until
// reset()). Opening never logs. A failed write prints the error number to standard output and the
// next lines are still attempted.
//
// The logger writes through the POSIX file system, not through the
// replaceable default one, so that fault-injection tests elsewhere never
// meet its writes; its own tests give it a file system of their choice.
//
// Thread safety: log() and KXLOG may be called from any thread and never
// touch the disk. The open file is touched only on the work queue.
#ifndef ZN_COMMONUTILS_KXLOGGER_H_
#define ZN_COMMONUTILS_KXLOGGER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/FileSystem.h"
#include "platform/SerialQueue.h"

class KXLogger {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.logger";
  static constexpr const char* kLogFileName = "ZarvelNote.log";

  // The shared logger, created once (and never freed) on the first call.
  static KXLogger& sharedLogger();

  KXLogger(const KXLogger&) = delete;
  KXLogger& operator=(const KXLogger&) = delete;

  // Stamps the text with the date and time and queues it for writing;
  // returns at once.
  void log(const std::string& text);
  // Writes a finished line to the file at once (on the work queue; a caller
  // elsewhere waits for it).
  void logSync(const std::string& line);
  // Closes the log file and opens it again (emptying it), as at start.
  void reset();
  // Returns once every line logged before the call has been written.
  void drain();
  // The path of the open log file ("" when none is open).
  std::string logFilePath();

  kx::SerialQueue& workQueue() { return workQueue_; }

  // The configuration installs this when it is created, so that each write
  // consults its "write-log" item without the logger depending on it (the
  // configuration logs through the logger). Without one nothing is read.
  using SettingReader = void (*)();
  static void setWriteLogReader(SettingReader reader);

  // "[<date and time>]" + text, the line log() writes for a moment.
  static std::string stampedLine(std::int64_t secondsSince1970, const std::string& text);

  // Formats the caller's text in the log entry shape and logs it.
  static void logFormatted(const char* function, int line, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // The file system that later opens use (nullptr: the POSIX one). Takes
  // effect at the next reset().
  static void setFileSystemForTesting(kx::FileSystem* fileSystem);

 private:
  KXLogger();

  // Both run on the work queue.
  void open();
  void write(const std::string& line);

  kx::SerialQueue workQueue_;
  // The rest is touched only on workQueue_.
  std::unique_ptr<kx::WritableFile> file_;
  std::string path_;
  bool opened_ = false;  // an open was attempted with a known directory
};

#define KXLOG(...) ::KXLogger::logFormatted(__PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)

#endif  // ZN_COMMONUTILS_KXLOGGER_H_
