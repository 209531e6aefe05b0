#include "platform/Places.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Path.h"

namespace kx {

namespace {

// The variable's value when it is set to an absolute path, else "".
std::string absoluteEnvironmentPath(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return "";
  return value;
}

// $<variable> when absolute, else $HOME/<fallback>; "" when there is no home.
std::string baseFolder(const char* variable, const char* fallback) {
  std::string base = absoluteEnvironmentPath(variable);
  if (base.empty()) {
    std::string home = Places::homeDirectory();
    if (home.empty()) return "";
    base = Path::appendingPathComponent(home, fallback);
  }
  return base;
}

std::string inBase(const std::string& base) {
  if (base.empty()) return "";
  return Path::appendingPathComponent(base, Places::kApplicationFolderName);
}

[[nodiscard]] bool ensure(const std::string& path, Error* error) {
  if (path.empty()) {
    // Neither the XDG variable nor a home folder is known.
    SetError(error, Error::posix(ENOENT));
    return false;
  }
  return FileSystem::Default().ensurePrivateDirectory(path, error);
}

}  // namespace

std::string Places::homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* result = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir) {
    return result->pw_dir;
  }
  return "";
}

std::string Places::applicationDataRoot() {
  return inBase(baseFolder("XDG_DATA_HOME", ".local/share"));
}

bool Places::ensureApplicationDataRoot(Error* error) {
  return ensure(applicationDataRoot(), error);
}

std::string Places::scratchRoot() { return inBase(baseFolder("XDG_CACHE_HOME", ".cache")); }

bool Places::ensureScratchRoot(Error* error) { return ensure(scratchRoot(), error); }

std::string Places::executableDirectory() {
  std::string target;
  if (!FileSystem::Default().readSymlink("/proc/self/exe", &target, nullptr)) return "";
  return Path::deletingLastPathComponent(target);
}

std::string Places::resourcesDirectory() {
  const char* overridden = std::getenv(kResourcesEnvironmentVariable);
  if (overridden && overridden[0] != '\0') return Path::standardizingPath(overridden);
  std::string programFolder = executableDirectory();
  if (programFolder.empty()) return "";
  FileSystem& fs = FileSystem::Default();
  std::string beside = Path::appendingPathComponent(programFolder, "resources");
  if (fs.isDirectory(beside)) return beside;
  std::string installed = Path::appendingPathComponent(
      Path::deletingLastPathComponent(programFolder), "share/zarvelnote/resources");
  if (fs.isDirectory(installed)) return installed;
  return "";
}

}  // namespace kx
