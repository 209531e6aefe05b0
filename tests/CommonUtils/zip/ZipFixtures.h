// Helpers for the zip tests: fixture files, raw deflate, a builder of
// hand-made archives whose every field can be bent, and a runner for python3
// scripts that use its zipfile module as an independent reader and writer.
#ifndef ZN_TESTS_COMMONUTILS_ZIP_ZIPFIXTURES_H_
#define ZN_TESTS_COMMONUTILS_ZIP_ZIPFIXTURES_H_

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/zip/ZZBytes.h"
#include "platform/Value.h"
#include "support/Fixtures.h"

namespace ziptest {

inline std::string fixturePath(const std::string& name) {
  return kxtest::fixturePath("zip/" + name);
}

inline kx::Bytes readFile(const std::string& path) { return kxtest::readFileBytes(path); }

inline void writeFile(const std::string& path, const kx::Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline kx::Bytes bytesOf(const std::string& text) { return kx::Bytes(text.begin(), text.end()); }

inline kx::Bytes deflateRaw(const kx::Bytes& data, int level = Z_DEFAULT_COMPRESSION) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  kx::Bytes out(deflateBound(&s, data.size()) + 16);
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

inline std::uint32_t crcOf(const kx::Bytes& data) {
  return static_cast<std::uint32_t>(
      ::crc32(::crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size())));
}

// One entry of a hand-made archive. The defaults make a valid stored entry.
struct RawEntry {
  std::string name;
  kx::Bytes stored;      // the bytes as they lie after the local header
  kx::Bytes descriptor;  // written after `stored`, outside the compressed size
  std::uint16_t method = 0;
  std::uint16_t flags = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint8_t versionMadeBy = 20;
  std::uint8_t host = 3;
  std::uint32_t externalAttributes = 0100644u << 16;
  std::uint16_t time = 0;
  std::uint16_t date = (41 << 9) | (3 << 5) | 4;  // 2021-03-04
  kx::Bytes centralExtra;
  kx::Bytes localExtra;
  kx::Bytes comment;

  static RawEntry make(const std::string& name, const kx::Bytes& data, bool deflate) {
    RawEntry e;
    e.name = name;
    e.stored = deflate ? deflateRaw(data) : data;
    e.method = deflate ? 8 : 0;
    e.crc = crcOf(data);
    e.compressedSize = static_cast<std::uint32_t>(e.stored.size());
    e.uncompressedSize = static_cast<std::uint32_t>(data.size());
    return e;
  }
};

// An archive laid out from raw entries, with the positions of its records.
struct RawArchive {
  kx::Bytes bytes;
  std::vector<std::size_t> localOffsets;
  std::vector<std::size_t> centralOffsets;
  std::size_t directoryOffset = 0;
  std::size_t endOffset = 0;
};

inline void put16(kx::Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put32(kx::Bytes& b, std::uint32_t v) {
  put16(b, static_cast<std::uint16_t>(v));
  put16(b, static_cast<std::uint16_t>(v >> 16));
}
inline void append(kx::Bytes& b, const kx::Bytes& more) {
  b.insert(b.end(), more.begin(), more.end());
}

inline RawArchive buildArchive(const std::vector<RawEntry>& entries,
                               const kx::Bytes& comment = {}) {
  RawArchive a;
  kx::Bytes& b = a.bytes;
  for (const RawEntry& e : entries) {
    a.localOffsets.push_back(b.size());
    put32(b, 0x04034b50);
    put16(b, 20);
    put16(b, e.flags);
    put16(b, e.method);
    put16(b, e.time);
    put16(b, e.date);
    put32(b, e.crc);
    put32(b, e.compressedSize);
    put32(b, e.uncompressedSize);
    put16(b, static_cast<std::uint16_t>(e.name.size()));
    put16(b, static_cast<std::uint16_t>(e.localExtra.size()));
    append(b, bytesOf(e.name));
    append(b, e.localExtra);
    append(b, e.stored);
    append(b, e.descriptor);
  }
  a.directoryOffset = b.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const RawEntry& e = entries[i];
    a.centralOffsets.push_back(b.size());
    put32(b, 0x02014b50);
    b.push_back(e.versionMadeBy);
    b.push_back(e.host);
    put16(b, 20);
    put16(b, e.flags);
    put16(b, e.method);
    put16(b, e.time);
    put16(b, e.date);
    put32(b, e.crc);
    put32(b, e.compressedSize);
    put32(b, e.uncompressedSize);
    put16(b, static_cast<std::uint16_t>(e.name.size()));
    put16(b, static_cast<std::uint16_t>(e.centralExtra.size()));
    put16(b, static_cast<std::uint16_t>(e.comment.size()));
    put16(b, 0);
    put16(b, 0);
    put32(b, e.externalAttributes);
    put32(b, static_cast<std::uint32_t>(a.localOffsets[i]));
    append(b, bytesOf(e.name));
    append(b, e.centralExtra);
    append(b, e.comment);
  }
  const std::size_t directorySize = b.size() - a.directoryOffset;
  a.endOffset = b.size();
  put32(b, 0x06054b50);
  put16(b, 0);
  put16(b, 0);
  put16(b, static_cast<std::uint16_t>(entries.size()));
  put16(b, static_cast<std::uint16_t>(entries.size()));
  put32(b, static_cast<std::uint32_t>(directorySize));
  put32(b, static_cast<std::uint32_t>(a.directoryOffset));
  put16(b, static_cast<std::uint16_t>(comment.size()));
  append(b, comment);
  return a;
}

// A data descriptor for the entry: with or without its signature, with 32-
// or 64-bit sizes.
inline kx::Bytes dataDescriptor(const RawEntry& e, bool signature, bool wideSizes) {
  kx::Bytes d;
  if (signature) put32(d, 0x08074b50);
  put32(d, e.crc);
  put32(d, e.compressedSize);
  if (wideSizes) put32(d, 0);
  put32(d, e.uncompressedSize);
  if (wideSizes) put32(d, 0);
  return d;
}

// A Zip64 extra block with both sizes, as streaming writers put in the local
// header when they announce a descriptor with 64-bit sizes.
inline kx::Bytes zip64ExtraBlock(const RawEntry& e) {
  kx::Bytes b;
  put16(b, 0x0001);
  put16(b, 16);
  put32(b, e.uncompressedSize);
  put32(b, 0);
  put32(b, e.compressedSize);
  put32(b, 0);
  return b;
}

inline void poke16(kx::Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void poke32(kx::Bytes& b, std::size_t at, std::uint32_t v) {
  poke16(b, at, static_cast<std::uint16_t>(v));
  poke16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
inline std::uint16_t peek16(const kx::Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t peek32(const kx::Bytes& b, std::size_t at) {
  return peek16(b, at) | (static_cast<std::uint32_t>(peek16(b, at + 2)) << 16);
}

// python3 ----------------------------------------------------------------

inline bool havePython() { return std::system("command -v python3 >/dev/null 2>&1") == 0; }

// Runs `python3 -c script args...`; answers its standard output, or nullopt
// when it exited with a failure.
inline std::optional<std::string> runPython(const std::string& script,
                                            const std::vector<std::string>& args) {
  auto quote = [](const std::string& s) {
    std::string q = "'";
    for (char c : s) {
      if (c == '\'')
        q += "'\\''";
      else
        q += c;
    }
    return q + "'";
  };
  std::string command = "python3 -c " + quote(script);
  for (const std::string& a : args) command += " " + quote(a);
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int status = pclose(pipe);
  if (status != 0) return std::nullopt;
  return out;
}

// Seconds since 1970 of a local date and time (DOS times are local).
inline double localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return static_cast<double>(std::mktime(&tm));
}

}  // namespace ziptest

#endif  // ZN_TESTS_COMMONUTILS_ZIP_ZIPFIXTURES_H_
