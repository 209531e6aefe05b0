// ZZChannelOutput is where the archive writer puts a new archive's bytes: a
// sequential sink that knows how many bytes it has taken. Archives are always
// written whole into a temporary channel and then put in place, so an output
// never needs to seek back or truncate.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZCHANNELOUTPUT_H_
#define ZN_COMMONUTILS_ZIP_ZZCHANNELOUTPUT_H_

#include <cstddef>
#include <cstdint>

#include "platform/Error.h"

class ZZChannelOutput {
 public:
  virtual ~ZZChannelOutput() = default;
  // Bytes written so far.
  virtual std::uint64_t offset() const = 0;
  [[nodiscard]] virtual bool writeData(const std::uint8_t* bytes, std::size_t length,
                                       kx::Error* error) = 0;
  // Makes the bytes durable where that applies and releases the sink.
  [[nodiscard]] virtual bool close(kx::Error* error) = 0;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZCHANNELOUTPUT_H_
