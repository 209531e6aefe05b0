// KXSContextConfigProtocol is what the object that configures the search
// context answers: where the index folder and the stop-word file lie, and,
// optionally, how many workers the index queue may use. The note store's
// data client adopts it and hands itself to KXSContext::setConfig; tests hand
// in a small object that points at a temporary folder.
//
// Thread safety: setConfig calls the methods on the caller's thread.
#ifndef ZN_SEARCH_KXSCONTEXTCONFIGPROTOCOL_H_
#define ZN_SEARCH_KXSCONTEXTCONFIGPROTOCOL_H_

#include <cstdint>
#include <optional>
#include <string>

class KXSContextConfigProtocol {
 public:
  virtual ~KXSContextConfigProtocol() = default;

  // Absolute path of the full-text index folder.
  virtual std::string indexDirectory() const = 0;
  // Absolute path of the stop-word file handed to the analyser.
  virtual std::string indexStopWordsFile() const = 0;
  // Worker count of the index queue; nullopt when the configurator does not
  // say (the context then takes 1).
  virtual std::optional<std::uint8_t> threadCount() const { return std::nullopt; }
};

#endif  // ZN_SEARCH_KXSCONTEXTCONFIGPROTOCOL_H_
