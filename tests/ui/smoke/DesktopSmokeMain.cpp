// zn_desktop_smoke: starts the desktop program on a real display (Xvfb in
// CI) and checks what a user would see and keep:
//
//   1. a signed-in session with automatic login and a store with its root
//      entry are prepared in a fresh home, with a test interface bundle as
//      the session's interface folder;
//   2. the program starts, its main window loads the bundle at the service
//      origin through the loopback front, and the bundle's page (a full
//      window of one colour) is on the screen;
//   3. the page keeps a tricky value under a kept localStorage key; after a
//      quit (SIGTERM, the program's own quit path) the value is in the
//      store's state table;
//   4. starting the program a second time activates the running one (over
//      the session bus) and the second process ends at once;
//   5. WebKit's own storage is removed and the program starts again: the
//      page finds the value restored from the store, exactly.
//
//   zn_desktop_smoke <zarvelnote> <xwd>
//
// The program's output and log are printed when a step fails. Run it under
// dbus-run-session and xvfb-run (ctest does).
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "Data/client/KXFoundationHooks.h"
#include "Data/client/KXStoreState.h"
#include "Data/store/KXDataContext.h"
#include "account/KXSession.h"
#include "platform/Places.h"
#include "support/TempAppRoot.h"

namespace {

constexpr const char* kUser = "smoke";
constexpr const char* kThemeKey = "kx:md:theme";
constexpr const char* kSeenKey = "kx:all:pht";
// The value the page keeps: quotes, a backslash, a line break and a closing
// script tag, which a restore that pastes text into script would break on.
const std::string kTricky = "it's \\ \"q\"\n</script><b>x</b>";
// The page's colour, which the screenshot must show.
constexpr unsigned kRed = 0x1e, kGreen = 0x6f, kBlue = 0xd9;

const char* const kPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>smoke</title></head>
<body style="margin:0;background:#1e6fd9">
<div style="width:100%;height:100vh;background:#1e6fd9"></div>
<script>
var theme = localStorage.getItem("kx:md:theme");
if (theme === null) {
  localStorage.setItem("kx:md:theme", "it's \\ \"q\"\n</scr" + "ipt><b>x</b>");
} else {
  localStorage.setItem("kx:all:pht", "seen:" + theme);
}
</script>
</body></html>
)";

int fail(const std::string& what) {
  std::fprintf(stderr, "zn_desktop_smoke: %s\n", what.c_str());
  return 1;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits for `condition`, looking every 50 ms: the program is another
// process, whose progress shows only in its files and on the screen.
bool waitFor(const std::function<bool()>& condition, double seconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// Runs this program again in `mode` (a fresh process: the store is opened
// and closed with it); its standard output is the answer.
std::string runSelf(const std::string& self, const std::vector<std::string>& args, int* status) {
  std::string command = "'" + self + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  if (!pipe) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  *status = ::pclose(pipe);
  return out;
}

// Prepares the session and the store (mode "seed").
int seed(const std::string& bundle) {
  KXInstallFoundationHooks();
  KXSession& session = KXSession::defaultSession();
  if (!kx::Places::ensureApplicationDataRoot(nullptr)) return fail("no application data root");
  session.setAppDataDir(kx::Places::applicationDataRoot());
  session.setCurrentUser(kUser);
  session.setAutoLogin(KXSessionAutoLoginOn);
  session.setCurrentWebPath(bundle);
  session.writeLatest();
  KXDataClient& client = KXDataClient::defaultDataClient();
  std::shared_ptr<KXDataContext> data = client.dataContext();
  if (!data) return fail("the store did not open");
  bool saved = false;
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    KXManagedObjectPtr root = context.insertNewObject("Root");
    if (!root) return;
    root->setValue("fileId", kx::Value("ROOT"));
    root->setValue("title", kx::Value("My Notes"));
    kx::Error error;
    saved = context.save(&error);
  });
  if (!saved) return fail("the root entry was not saved");
  client.closeDB();
  return 0;
}

// Prints the state table's value of `key` (mode "read").
int read(const std::string& key) {
  KXInstallFoundationHooks();
  KXSession& session = KXSession::defaultSession();
  session.setAppDataDir(kx::Places::applicationDataRoot());
  session.loadLatest();
  kx::Value value = KXDataClient::defaultDataClient().state().dbStateValueWithKey(key);
  std::fputs(value.isString() ? value.string().c_str() : "<none>", stdout);
  KXDataClient::defaultDataClient().closeDB();
  return 0;
}

struct Program {
  pid_t pid = -1;
  std::string output;
};

bool launch(const std::string& path, const std::string& output, Program* program) {
  program->output = output;
  std::fflush(nullptr);  // nothing buffered is written twice
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    FILE* out = std::freopen(output.c_str(), "w", stdout);
    if (out) ::dup2(STDOUT_FILENO, STDERR_FILENO);
    ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  program->pid = pid;
  return true;
}

// Asks the program to quit as a user's Quit does, and waits for it.
bool quit(Program& program, int* status) {
  ::kill(program.pid, SIGTERM);
  bool ended = waitFor([&] { return ::waitpid(program.pid, status, WNOHANG) == program.pid; }, 60);
  if (!ended) {
    ::kill(program.pid, SIGKILL);
    ::waitpid(program.pid, status, 0);
  }
  return ended;
}

std::string findLog(const std::string& home) {
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(home, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().filename() == "ZarvelNote.log") return it->path();
  }
  return "";
}

// Whether the screen shows the page's colour over a good part of it (a
// blank or black screen does not).
bool screenShowsPage(const std::string& xwd, const std::string& shot, std::string* why) {
  std::string command = "'" + xwd + "' -root -silent > '" + shot + "'";
  if (std::system(command.c_str()) != 0) {
    *why = "xwd failed";
    return false;
  }
  std::string image = readAll(shot);
  auto card = [&](std::size_t index) -> std::uint32_t {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(image.data()) + index * 4;
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           p[3];
  };
  if (image.size() < 100) {
    *why = "no image";
    return false;
  }
  const std::uint32_t headerSize = card(0), width = card(4), height = card(5), byteOrder = card(7),
                      bitsPerPixel = card(11), bytesPerLine = card(12), colours = card(19);
  const std::size_t offset = headerSize + colours * 12;
  const std::uint32_t stride = bitsPerPixel / 8;
  if ((stride != 3 && stride != 4) || image.size() < offset + std::size_t(bytesPerLine) * height) {
    *why = "unexpected image format (" + std::to_string(bitsPerPixel) + " bits)";
    return false;
  }
  std::size_t matching = 0;
  std::set<std::uint32_t> distinct;
  for (std::uint32_t y = 0; y < height; y += 4) {
    for (std::uint32_t x = 0; x < width; x += 4) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(image.data()) + offset +
                               y * bytesPerLine + x * stride;
      // Least significant byte first (byte order 0) or most (1).
      std::uint32_t pixel = byteOrder == 0
                                ? (p[0] | p[1] << 8 | p[2] << 16)
                                : (p[stride - 1] | p[stride - 2] << 8 | p[stride - 3] << 16);
      distinct.insert(pixel);
      unsigned r = (pixel >> 16) & 0xff, g = (pixel >> 8) & 0xff, b = pixel & 0xff;
      if (r == kRed && g == kGreen && b == kBlue) ++matching;
    }
  }
  const std::size_t samples = std::size_t((width + 3) / 4) * ((height + 3) / 4);
  *why = std::to_string(distinct.size()) + " colours, " + std::to_string(matching) + " of " +
         std::to_string(samples) + " samples in the page's colour";
  return distinct.size() > 1 && matching * 10 >= samples;
}

int orchestrate(const std::string& self, const std::string& zarvelnote, const std::string& xwd) {
  kxtest::TempAppRoot root;
  const std::string bundle = root.path() + "/bundle";
  std::filesystem::create_directories(bundle + "/web");
  std::ofstream(bundle + "/web/index.html") << kPage;

  int status = 0;
  runSelf(self, {"seed", bundle}, &status);
  if (status != 0) return fail("seeding failed");

  auto runOnce = [&](int round, std::string* problem) -> bool {
    const std::string output = root.path() + "/program-" + std::to_string(round) + ".txt";
    std::string log = findLog(root.path());
    if (!log.empty()) std::filesystem::remove(log);
    Program program;
    if (!launch(zarvelnote, output, &program)) {
      *problem = "cannot start the program";
      return false;
    }
    bool loaded = waitFor(
        [&] {
          if (log.empty()) log = findLog(root.path());
          return !log.empty() && readAll(log).find("web interface loaded") != std::string::npos;
        },
        90);
    std::string why;
    bool shown =
        loaded &&
        waitFor([&] { return screenShowsPage(xwd, root.path() + "/screen.xwd", &why); }, 30);
    // A second start activates the running program and ends.
    bool unique = true;
    if (shown && round == 1) {
      Program second;
      int secondStatus = -1;
      unique =
          launch(zarvelnote, output + ".second", &second) &&
          waitFor([&] { return ::waitpid(second.pid, &secondStatus, WNOHANG) == second.pid; },
                  60) &&
          WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 0 &&
          waitFor([&] { return readAll(log).find("activated again") != std::string::npos; }, 30);
      if (!unique && second.pid > 0) ::kill(second.pid, SIGKILL);
    }
    int exitStatus = 0;
    bool ended = quit(program, &exitStatus);
    if (!loaded || !shown || !ended || !WIFEXITED(exitStatus) || WEXITSTATUS(exitStatus) != 0) {
      *problem =
          std::string(!loaded  ? "the interface did not load"
                      : !shown ? "the page is not on the screen (" + why + ")"
                      : !ended ? "the program did not quit"
                               : "the program ended with status " + std::to_string(exitStatus)) +
          "\n--- program output ---\n" + readAll(output) + "\n--- log ---\n" +
          (log.empty() ? "(none)" : readAll(log));
      return false;
    }
    std::printf("round %d: loaded, on screen (%s), quit\n", round, why.c_str());
    return true;
  };

  std::string problem;
  if (!runOnce(1, &problem)) return fail("first start: " + problem);
  std::string theme = runSelf(self, {"read", kThemeKey}, &status);
  if (theme != kTricky) return fail("the kept key after a quit reads \"" + theme + "\"");

  // The cookie file stands for the session: only the user may read it.
  struct stat st;
  const std::string cookies = kx::Places::applicationDataRoot() + "/webcookies.sqlite";
  if (::stat(cookies.c_str(), &st) != 0 || (st.st_mode & 0777) != 0600) {
    return fail("the web view's cookie file is missing or not 0600");
  }

  // WebKit's own copy goes: only the store can bring the value back.
  std::filesystem::remove_all(kx::Places::applicationDataRoot() + "/WebKit");
  if (!runOnce(2, &problem)) return fail("second start: " + problem);
  std::string seen = runSelf(self, {"read", kSeenKey}, &status);
  if (seen != "seen:" + kTricky) return fail("the restored value reads \"" + seen + "\"");
  std::printf("kept key restored exactly\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "seed") == 0) return seed(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) return read(argv[2]);
  if (argc != 3) {
    std::fprintf(stderr, "usage: zn_desktop_smoke <zarvelnote> <xwd>\n");
    return 2;
  }
  if (!std::getenv("DISPLAY")) return fail("no DISPLAY: run under xvfb-run");
  return orchestrate(std::filesystem::canonical("/proc/self/exe"), argv[1], argv[2]);
}
