// KXLogger is the application's one diagnostic log. Callers use the KXLOG
// macro, which formats "(<function>:<line>){<queue label>}  <message>\n" and
// hands it to the shared logger.
//
// Thread safety: log() and the KXLOG macro may be called from any thread.
#ifndef ZN_COMMONUTILS_KXLOGGER_H_
#define ZN_COMMONUTILS_KXLOGGER_H_

#include <string>

class KXLogger {
 public:
  static KXLogger& sharedLogger();

  void log(const std::string& text);
  void logSync(const std::string& line);
  void reset();

  static void logFormatted(const char* function, int line, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

 private:
  KXLogger();
};

#define KXLOG(...) ::KXLogger::logFormatted(__PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)

#endif  // ZN_COMMONUTILS_KXLOGGER_H_
