#include "CommonUtils/NSDataGZip.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/FileSystem.h"

namespace {

constexpr const char* kZlibErrorDomain = "kx.zlib";
constexpr std::size_t kHeaderLength = 4;
constexpr std::size_t kInflateChunk = 64 * 1024;
// zlib counts in 32-bit units: larger inputs are fed in pieces.
constexpr std::size_t kMaxFeed = 1u << 30;

kx::Error zlibError(int code, const char* what) {
  return kx::Error::make(kZlibErrorDomain, code, what);
}

// Inflates one zlib or gzip stream (as `windowBits` says) fed piece by piece.
class Inflater {
 public:
  explicit Inflater(int windowBits) { ok_ = inflateInit2(&z_, windowBits) == Z_OK; }
  ~Inflater() {
    if (ok_) inflateEnd(&z_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  bool ok() const { return ok_; }
  bool finished() const { return finished_; }
  void reset() {
    inflateReset(&z_);
    finished_ = false;
  }

  // Inflates from `input` until it is used up or the stream ends; appends to
  // *out, failing when *out would grow beyond `cap`. *consumed receives the
  // bytes of input taken.
  bool feed(const std::uint8_t* input, std::size_t size, std::size_t cap, kx::Bytes* out,
            std::size_t* consumed) {
    *consumed = 0;
    std::uint8_t* chunk = chunk_.data();
    while (!finished_) {
      const std::size_t piece = std::min(size - *consumed, kMaxFeed);
      z_.next_in = const_cast<Bytef*>(input + *consumed);
      z_.avail_in = static_cast<uInt>(piece);
      z_.next_out = chunk;
      z_.avail_out = static_cast<uInt>(kInflateChunk);
      const int rc = inflate(&z_, Z_NO_FLUSH);
      *consumed += piece - z_.avail_in;
      const std::size_t produced = kInflateChunk - z_.avail_out;
      if (produced > cap - std::min(cap, out->size())) return false;
      out->insert(out->end(), chunk, chunk + produced);
      if (rc == Z_STREAM_END) {
        finished_ = true;
      } else if (rc == Z_BUF_ERROR) {
        if (*consumed == size) return true;  // needs more input
        return false;
      } else if (rc != Z_OK) {
        return false;
      } else if (*consumed == size && produced < kInflateChunk) {
        return true;  // input used up, output drained
      }
    }
    return true;
  }

 private:
  z_stream z_{};
  std::vector<std::uint8_t> chunk_ = std::vector<std::uint8_t>(kInflateChunk);
  bool ok_ = false;
  bool finished_ = false;
};

bool startsWithGzipMagic(const std::uint8_t* p, std::size_t size) {
  return size >= 2 && p[0] == 0x1f && p[1] == 0x8b;
}

}  // namespace

std::string NSDataGZip::base64EncodedString(kx::ByteView data) {
  return kx::Crypto::base64Encode(data, kx::Crypto::Base64Lines::Length64);
}

kx::Bytes NSDataGZip::dataFromBase64String(std::string_view text) {
  std::optional<kx::Bytes> bytes =
      kx::Crypto::base64Decode(text, kx::Crypto::Base64Decoding::IgnoreUnknownCharacters);
  return bytes ? std::move(*bytes) : kx::Bytes();
}

std::optional<kx::Bytes> NSDataGZip::compressGZip(kx::ByteView data) {
  // The header could not carry a longer length, and decompressGZip would
  // refuse it: do not make a buffer that cannot be read back.
  if (data.size() > kMaxCompressedLength) return std::nullopt;
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  kx::Bytes out(kHeaderLength + bound);
  const std::uint32_t length = static_cast<std::uint32_t>(data.size());
  out[0] = static_cast<std::uint8_t>(length >> 24);
  out[1] = static_cast<std::uint8_t>(length >> 16);
  out[2] = static_cast<std::uint8_t>(length >> 8);
  out[3] = static_cast<std::uint8_t>(length);
  static const Bytef kEmpty = 0;
  if (compress2(out.data() + kHeaderLength, &bound, data.empty() ? &kEmpty : data.data(),
                static_cast<uLong>(data.size()), 9) != Z_OK) {
    return std::nullopt;
  }
  out.resize(kHeaderLength + bound);
  return out;
}

std::optional<kx::Bytes> NSDataGZip::decompressGZip(kx::ByteView data) {
  if (data.size() < kHeaderLength) return std::nullopt;
  const std::uint8_t* p = data.data();
  const std::uint32_t length = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                               (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
  if (length > kMaxCompressedLength) return std::nullopt;
  Inflater inflater(MAX_WBITS);
  if (!inflater.ok()) return std::nullopt;
  kx::Bytes out;
  out.reserve(std::min<std::size_t>(length, 4 * data.size() + kInflateChunk));
  std::size_t consumed = 0;
  if (!inflater.feed(p + kHeaderLength, data.size() - kHeaderLength, length, &out, &consumed) ||
      !inflater.finished()) {
    return std::nullopt;
  }
  return out;
}

std::optional<kx::Bytes> NSDataGZip::initWithGZipFile(const std::string& path, kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::unique_ptr<kx::SequentialFile> file = fs.newSequentialFile(path, error);
  if (!file) return std::nullopt;

  std::vector<std::uint8_t> chunk(kFileChunkSize);
  kx::Bytes out;
  std::unique_ptr<Inflater> inflater;
  bool direct = false;  // the file is not gzip: its bytes are the content
  bool sawFirst = false;
  bool done = false;  // a member ended and what follows starts none
  kx::Bytes pending;  // input not yet used (a member's end mid-chunk)
  while (!done) {
    std::size_t got = 0;
    if (!file->read(chunk.data(), chunk.size(), &got, error)) return std::nullopt;
    pending.insert(pending.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    const bool atEnd = got == 0;
    if (!sawFirst) {
      if (pending.size() < 2 && !atEnd) continue;
      sawFirst = true;
      direct = !startsWithGzipMagic(pending.data(), pending.size());
      if (!direct) {
        inflater = std::make_unique<Inflater>(MAX_WBITS + 16);
        if (!inflater->ok()) {
          kx::SetError(error, zlibError(Z_MEM_ERROR, "zlib could not start"));
          return std::nullopt;
        }
      }
    }
    if (direct) {
      out.insert(out.end(), pending.begin(), pending.end());
      pending.clear();
      if (atEnd) break;
      continue;
    }
    // Inflate what there is; a member that ends is followed by another only
    // when the next bytes are a gzip header.
    while (!pending.empty()) {
      if (inflater->finished()) {
        if (pending.size() < 2 && !atEnd) break;  // wait for the second byte
        if (!startsWithGzipMagic(pending.data(), pending.size())) {
          done = true;
          break;
        }
        inflater->reset();
      }
      std::size_t consumed = 0;
      if (!inflater->feed(pending.data(), pending.size(), SIZE_MAX, &out, &consumed)) {
        kx::SetError(error, zlibError(Z_DATA_ERROR, "the gzip data is damaged"));
        return std::nullopt;
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(consumed));
      if (!inflater->finished()) break;  // needs more input
    }
    if (atEnd) {
      if (!done && !inflater->finished()) {
        kx::SetError(error, zlibError(Z_BUF_ERROR, "the gzip data is cut short"));
        return std::nullopt;
      }
      break;
    }
  }
  return out;
}

bool NSDataGZip::writeToGZipFile(kx::ByteView data, const std::string& path, kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::unique_ptr<kx::WritableFile> file =
      fs.newWritableFile(path, kx::FileSystem::WriteMode::Truncate, 0644, error);
  if (!file) return false;
  auto fail = [&](kx::Error cause) {
    kx::SetError(error, std::move(cause));
    file.reset();
    kx::ignoreError(fs.removeFile(path, nullptr));
    return false;
  };

  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, MAX_WBITS + 16, 8, Z_FILTERED) != Z_OK) {
    return fail(zlibError(Z_MEM_ERROR, "zlib could not start"));
  }
  std::vector<std::uint8_t> chunk(kFileChunkSize);
  std::size_t fed = 0;
  kx::Error writeError;
  bool ok = true;
  for (int rc = Z_OK; ok && rc != Z_STREAM_END;) {
    if (z.avail_in == 0 && fed < data.size()) {
      const std::size_t piece = std::min(data.size() - fed, kMaxFeed);
      z.next_in = const_cast<Bytef*>(data.data() + fed);
      z.avail_in = static_cast<uInt>(piece);
      fed += piece;
    }
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = deflate(&z, fed == data.size() && z.avail_in == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      writeError = zlibError(rc, "zlib could not compress");
      ok = false;
      break;
    }
    const std::size_t produced = chunk.size() - z.avail_out;
    if (produced > 0 &&
        !file->append(std::string_view(reinterpret_cast<const char*>(chunk.data()), produced),
                      &writeError)) {
      ok = false;
    }
  }
  deflateEnd(&z);
  if (!ok) return fail(writeError);
  if (!file->close(&writeError)) return fail(writeError);
  return true;
}
