#include "account/KXStatitisc.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <mutex>
#include <vector>

#include "CommonUtils/KXSysUtil.h"
#include "platform/FileSystem.h"
#include "platform/URL.h"

#ifndef ZN_SHORT_VERSION
#define ZN_SHORT_VERSION "0.0.0"
#endif

namespace {

// The key that makes the device id this application's own: another program
// hashing the same machine id with another key gets an unrelated id.
constexpr const char* kDeviceIdKey = "com.zarvel.note.ZarvelNoteMac.device-id";

std::string trimmed(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::optional<std::string> readText(const std::string& path) {
  std::string contents;
  if (!kx::FileSystem::Default().readFile(path, &contents, nullptr)) return std::nullopt;
  return contents;
}

std::string versionTriple(const std::string& release) {
  kx::Array parts = KXSysUtil::versionFromRelease(release);
  long long numbers[3] = {0, 0, 0};
  for (std::size_t i = 0; i < 3 && i < parts.size(); ++i) numbers[i] = parts[i].intValue();
  return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
         std::to_string(numbers[2]);
}

}  // namespace

std::string KXStatitisc::shortVersionString() { return ZN_SHORT_VERSION; }

std::string KXStatitisc::deviceIdFromMachineId(std::string_view machineIdText) {
  std::string id = trimmed(machineIdText);
  if (id.size() != 32) return "";
  for (char c : id) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  std::string_view key(kDeviceIdKey);
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(id.data()), id.size(), digest, &length)) {
    return "";
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length && hex.size() < 32; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string KXStatitisc::serialNumber() {
  static const std::string* id = [] {
    std::optional<std::string> text = readText("/etc/machine-id");
    return new std::string(text ? deviceIdFromMachineId(*text) : "");
  }();
  return *id;
}

std::string KXStatitisc::machineModelFromProductName(
    const std::optional<std::string>& productName) {
  std::string model = productName ? trimmed(*productName) : "";
  return model.empty() ? "Apple_Computer" : model;
}

std::string KXStatitisc::machineModel() {
  return machineModelFromProductName(readText("/sys/class/dmi/id/product_name"));
}

std::string KXStatitisc::osVersionFromOSRelease(std::string_view osReleaseText) {
  std::size_t start = 0;
  while (start <= osReleaseText.size()) {
    std::size_t end = osReleaseText.find('\n', start);
    if (end == std::string_view::npos) end = osReleaseText.size();
    std::string line = trimmed(osReleaseText.substr(start, end - start));
    if (line.rfind("VERSION_ID=", 0) == 0) {
      std::string value = line.substr(11);
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      if (value.empty() || !std::isdigit(static_cast<unsigned char>(value.front()))) return "";
      return versionTriple(value);
    }
    start = end + 1;
  }
  return "";
}

std::string KXStatitisc::osVersion() {
  if (std::optional<std::string> text = readText("/etc/os-release")) {
    std::string version = osVersionFromOSRelease(*text);
    if (!version.empty()) return version;
  }
  struct utsname names;
  if (::uname(&names) == 0) return versionTriple(names.release);
  return "0.0.0";
}

std::string KXStatitisc::fullNameFromGecos(std::string_view gecos, std::string_view loginName) {
  std::string name = trimmed(gecos.substr(0, gecos.find(',')));
  return name.empty() ? std::string(loginName) : name;
}

std::string KXStatitisc::fullUserName() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return "";
  }
  return fullNameFromGecos(found->pw_gecos ? found->pw_gecos : "",
                           found->pw_name ? found->pw_name : "");
}

std::string KXStatitisc::escapeQueryValue(std::string_view value) {
  static const kx::URLCharacterSet allowed = kx::URLCharacterSet::queryAllowed().removing("&=+#?");
  return kx::percentEncode(value, allowed);
}

std::string KXStatitisc::commonStaticsStringFor(const std::string& shortVersion,
                                                const std::string& osVersion,
                                                const std::string& deviceId,
                                                const std::string& deviceName,
                                                const std::string& deviceModel) {
  std::string version = escapeQueryValue(shortVersion);
  return "keyfrom=note." + version + ".mac&os=OS_X&os_ver=" + escapeQueryValue(osVersion) +
         "&client_ver=" + version + "&ClientVer=" + version +
         "&device_id=" + escapeQueryValue(deviceId) +
         "&device_name=" + escapeQueryValue(deviceName) +
         "&device_type=Mac&device_model=" + escapeQueryValue(deviceModel);
}

std::string KXStatitisc::commonStaticsString() {
  static const std::string* text = new std::string(commonStaticsStringFor(
      shortVersionString(), osVersion(), serialNumber(), fullUserName(), machineModel()));
  return *text;
}
