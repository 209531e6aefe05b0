// Fuzz target of the multipart body of uploads. The input is split at NUL
// bytes into a query, a part name, a content type and the file's bytes.
// Nothing may crash, and the body must read back by its boundary as exactly
// one part per query pair plus the file part, each with only the headers
// the builder writes and the name it was given (quotes, CR and LF escaped).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "account/KXNetworkOperation.h"

namespace {

std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"') {
      out += "%22";
    } else if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

struct Part {
  std::vector<std::string> headers;
  std::string data;
};

// Splits the body at the boundary lines; aborts when it does not follow
// the format.
std::vector<Part> split(const std::string& body, const std::string& boundary,
                        std::size_t fileSize) {
  const std::string dashes = "--" + boundary;
  const std::string closing = "\r\n" + dashes + "--\r\n";
  if (body.size() < closing.size() + fileSize ||
      body.compare(body.size() - closing.size(), closing.size(), closing) != 0) {
    std::abort();
  }
  std::vector<Part> parts;
  std::size_t pos = 0;
  while (true) {
    if (body.compare(pos, dashes.size() + 2, dashes + "\r\n") != 0) std::abort();
    pos += dashes.size() + 2;
    Part part;
    while (true) {
      const std::size_t eol = body.find("\r\n", pos);
      if (eol == std::string::npos) std::abort();
      if (eol == pos) break;
      part.headers.push_back(body.substr(pos, eol - pos));
      pos = eol + 2;
    }
    pos += 2;
    // The file part is last: its bytes may hold anything, so it is taken by
    // its length.
    if (part.headers.size() == 2) {
      part.data = body.substr(pos, fileSize);
      if (pos + fileSize + closing.size() != body.size()) std::abort();
      parts.push_back(std::move(part));
      return parts;
    }
    const std::size_t end = body.find("\r\n" + dashes + "\r\n", pos);
    if (end == std::string::npos) std::abort();
    part.data = body.substr(pos, end - pos);
    parts.push_back(std::move(part));
    pos = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> pieces;
  for (int i = 0; i < 3; ++i) {
    const std::size_t nul = input.find('\0');
    pieces.push_back(input.substr(0, nul));
    input = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  }
  const std::string_view query = pieces[0], name = pieces[1], type = pieces[2];
  const kx::Bytes file(input.begin(), input.end());
  const std::string boundary = "Boundary-0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
  const kx::Bytes bytes = KXNetworkOperation::multipartBody(query, name, type, file, boundary);
  const std::string body(bytes.begin(), bytes.end());

  // The pairs the builder must have written, in order.
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t pos = 0;
  while (pos <= query.size()) {
    const std::size_t amp = query.find('&', pos);
    const std::string_view pair =
        query.substr(pos, amp == std::string_view::npos ? amp : amp - pos);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos) {
      pairs.emplace_back(std::string(pair.substr(0, eq)), std::string(pair.substr(eq + 1)));
    }
    if (amp == std::string_view::npos) break;
    pos = amp + 1;
  }
  // Values come from a URL's query, which holds no line breaks; one that
  // did could end its part early, which says nothing about the escaping.
  for (const auto& pair : pairs) {
    if (pair.second.find_first_of("\r\n") != std::string::npos) return 0;
  }
  const std::vector<Part> parts = split(body, boundary, file.size());
  if (parts.size() != pairs.size() + 1) std::abort();
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (parts[i].headers.size() != 1 ||
        parts[i].headers[0] !=
            "Content-Disposition: form-data; name=\"" + escaped(pairs[i].first) + "\"" ||
        parts[i].data != pairs[i].second) {
      std::abort();
    }
  }
  const Part& last = parts.back();
  if (last.headers[0] !=
          "Content-Disposition: form-data; name=\"" + escaped(name) + "\"; filename=\"file\"" ||
      last.headers[1] != "Content-Type: " + escaped(type) ||
      last.data != std::string(file.begin(), file.end())) {
    std::abort();
  }
  return 0;
}
