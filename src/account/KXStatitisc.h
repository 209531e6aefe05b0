// KXStatitisc builds the common statistics query that every request to the
// note service carries: nine pairs naming the client build, the operating
// system and the machine, in this order:
//
//   keyfrom=note.<version>.mac  os=OS_X  os_ver=<major.minor.patch>
//   client_ver=<version>  ClientVer=<version>  device_id=<id>
//   device_name=<user's full name>  device_type=Mac  device_model=<model>
//
// Each value is percent-encoded on its own (UTF-8; "&", "=", "+" and "#"
// inside a value are encoded), so no value can add or split a pair.
//
// The machine facts on Linux:
//  - device id: a stable id derived from /etc/machine-id with a keyed hash
//    of this application's own (HMAC-SHA-256, first 32 hex digits), never
//    the machine id itself; "" when the machine id is missing or malformed;
//  - model: the DMI product name (/sys/class/dmi/id/product_name),
//    "Apple_Computer" when it is absent or empty;
//  - OS version: VERSION_ID of /etc/os-release ("12" -> "12.0.0"), else the
//    kernel release from uname;
//  - full name: the password database's full-name field (the text before
//    the first ","), else the login name.
//
// Thread safety: every member may be called from any thread; the query is
// built once per process under a once-only guard.
#ifndef ZN_ACCOUNT_KXSTATITISC_H_
#define ZN_ACCOUNT_KXSTATITISC_H_

#include <optional>
#include <string>
#include <string_view>

class KXStatitisc {
 public:
  KXStatitisc() = delete;

  // The device id (see above), read once per process.
  static std::string serialNumber();
  // The machine model text (see above).
  static std::string machineModel();
  // The cached common statistics query, built on first use.
  static std::string commonStaticsString();

  // The application's short version string ("0.1.0").
  static std::string shortVersionString();
  // "<major>.<minor>.<patch>" of the running operating system.
  static std::string osVersion();
  // The full name of the user running the program.
  static std::string fullUserName();

  // The pieces, from given texts.
  static std::string deviceIdFromMachineId(std::string_view machineIdText);
  static std::string machineModelFromProductName(const std::optional<std::string>& productName);
  // VERSION_ID of an os-release text as "<major>.<minor>.<patch>"; "" when
  // it has none.
  static std::string osVersionFromOSRelease(std::string_view osReleaseText);
  // The full name of a password-database entry's comment field and login.
  static std::string fullNameFromGecos(std::string_view gecos, std::string_view loginName);
  static std::string commonStaticsStringFor(const std::string& shortVersion,
                                            const std::string& osVersion,
                                            const std::string& deviceId,
                                            const std::string& deviceName,
                                            const std::string& deviceModel);
  // `value` percent-encoded for a query value (see above).
  static std::string escapeQueryValue(std::string_view value);
};

#endif  // ZN_ACCOUNT_KXSTATITISC_H_
