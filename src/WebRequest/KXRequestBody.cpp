#include "WebRequest/KXRequestBody.h"

#include <algorithm>

#include "WebRequest/KXURLError.h"

namespace {

// The platform's "data length exceeds maximum" URL error.
constexpr std::int64_t kTooLong = -1103;

}  // namespace

std::optional<kx::Bytes> KXRequestBody::bodyOf(const kx::URLRequest& request, std::size_t limit,
                                               kx::Error* error) {
  if (request.HTTPBody()) {
    if (request.HTTPBody()->size() <= limit) return *request.HTTPBody();
    if (error) *error = KXURLError::make(kTooLong);
    return std::nullopt;
  }
  kx::Bytes body;
  const std::shared_ptr<kx::InputStream>& stream = request.HTTPBodyStream();
  if (!stream) return body;
  std::uint8_t piece[32 * 1024];
  for (;;) {
    const std::ptrdiff_t n = stream->read(piece, sizeof piece, error);
    if (n < 0) return std::nullopt;
    if (n == 0) return body;
    if (body.size() + static_cast<std::size_t>(n) > limit) {
      if (error) *error = KXURLError::make(kTooLong);
      return std::nullopt;
    }
    body.insert(body.end(), piece, piece + n);
  }
}
