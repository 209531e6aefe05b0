// The error domain, codes and user-info keys of the zip archive classes, and
// small helpers that build those errors.
//
// Reading: 0 the archive could not be read, 1 no valid end-of-central-directory
// record, 2 an invalid central file header (ZZEntryIndexKey names the entry),
// 3 local and central header disagree, 9 unsupported compression method,
// 10 strong or unknown encryption, 11 the entry's data is damaged (inflate
// error, data shorter or longer than recorded, CRC-32 or authentication code
// mismatch), 12 wrong password, 14 an entry name that would leave the target
// folder. Writing: 4 temporary channel, 5 local file, 6 central header,
// 7 end-of-central-directory record, 8 putting the new archive in place,
// 13 a data source failed without giving an error, 15 the archive would not fit
// the format (more than 65535 entries, or 4 GiB or more).
//
// No error carries a message text. An underlying error is stored under
// kx::kUnderlyingErrorKey as a dictionary {"domain", "code", "userInfo"}.
//
// Thread safety: stateless.
#ifndef ZN_COMMONUTILS_ZIP_ZZERROR_H_
#define ZN_COMMONUTILS_ZIP_ZZERROR_H_

#include <cstddef>
#include <cstdint>

#include "platform/Error.h"

inline constexpr const char* ZZErrorDomain = "com.quorvane.Crateline";
inline constexpr const char* ZZEntryIndexKey = "ZZEntryIndexKey";

enum ZZErrorCode : std::int64_t {
  ZZOpenReadErrorCode = 0,
  ZZEndOfCentralDirectoryReadErrorCode = 1,
  ZZCentralFileHeaderReadErrorCode = 2,
  ZZLocalFileReadErrorCode = 3,
  ZZOpenWriteErrorCode = 4,
  ZZLocalFileWriteErrorCode = 5,
  ZZCentralFileHeaderWriteErrorCode = 6,
  ZZEndOfCentralDirectoryWriteErrorCode = 7,
  ZZReplaceWriteErrorCode = 8,
  ZZUnsupportedCompressionMethod = 9,
  ZZUnsupportedEncryptionMethod = 10,
  ZZDamagedDataErrorCode = 11,
  ZZWrongPassword = 12,
  ZZApplicationErrorCode = 13,
  ZZUnsafeFileNameErrorCode = 14,
  ZZArchiveTooLargeErrorCode = 15,
};

class ZZError {
 public:
  // An error of the zip domain with an empty user-info dictionary.
  static kx::Error make(ZZErrorCode code);
  // An error of the zip domain that wraps `underlying`.
  static kx::Error withUnderlying(ZZErrorCode code, const kx::Error& underlying);
  // Same, also naming the entry's index.
  static kx::Error withUnderlyingAndIndex(ZZErrorCode code, const kx::Error& underlying,
                                          std::size_t index);
  static kx::Error withIndex(ZZErrorCode code, std::size_t index);

  // The dictionary form of an error, and back; used for underlying errors.
  static kx::Value toValue(const kx::Error& error);
  static kx::Error fromValue(const kx::Value& value);
  // The underlying error of `error`, or an empty error when there is none.
  static kx::Error underlying(const kx::Error& error);
};

#endif  // ZN_COMMONUTILS_ZIP_ZZERROR_H_
