#include <string>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXUIPort.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Text.h"

namespace {

constexpr const char* kLayoutVersion = "1.0";

// Writes the current layout version; the program cannot go on with a user
// folder it cannot write, so it quits when that fails.
void writeLayoutVersion(const std::string& path) {
  kx::Error error;
  if (!kx::FileSystem::Default().writeFileAtomically(path, kLayoutVersion, &error)) {
    KXLOG("checkVersion, cannot write %s: %s", path.c_str(), error.localizedDescription().c_str());
    KXUIPort::installed()->quit();
  }
}

}  // namespace

void KXFileManager::checkVersion() {
  const std::string directory = URLForCurrentUserDataDirectory();
  if (directory.empty()) return;
  const std::string path = kx::Path::appendingPathComponent(directory, ".version");
  std::string text;
  if (!kx::FileSystem::Default().readFile(path, &text, nullptr)) {
    writeLayoutVersion(path);
    return;
  }
  const double version = kx::Text::leadingDouble(text);
  if (version < 1.0) {
    KXLOG("checkVersion, need update");
    KXDataClient::defaultDataClient().writes().updateFromVersion(
        kx::Value(version),
        [path](const KXResultInfo&, const kx::Error&) { writeLayoutVersion(path); });
  }
}
