// KXNameDict renames the keys of dictionaries between the note service's
// field names ("remote") and the store's attribute names ("local"), one
// namespace at a time, and types the values of a converted file entry.
//
// The pairs come from the shipped table resources/names.dat (KXNameTable):
// a JSON object of namespaces, each mapping remote names to local names.
// resources/names-usage.txt says which code uses each namespace. The file is
// read once, parsed strictly (no comments, no trailing text); the forward
// table is that object, the reversed table the same pairs swapped per
// namespace. A missing or unreadable file leaves both tables empty, and
// every conversion then answers nullopt.
//
// Conversions:
//  - namesConvertFromRemoteToLocal / LocalToRemote: nullopt for an unknown
//    namespace; an empty dictionary for input that is not a dictionary;
//    keys without a pair are dropped; null values become "". Local to
//    remote first parses byte values as JSON (stored entryProps) and keeps
//    the bytes when they do not parse.
//  - namesConvertFromRemoteToLocalForFileMeta: a service file entry
//    {"entry", "meta"} to one dictionary of attributes, typed by formatMeta;
//    nullopt without an "entry" object.
//  - namesConvertFromClientToServer: the web interface's save parameters to
//    local names (despite the name), typed by formatMeta.
//  - formatMeta: strings under the typed keys become numbers (true/false
//    become Booleans, other strings their leading integer); times are
//    brought to seconds.
//
// Thread safety: the tables are built once under once-only guards and never
// change; every function may be called from any thread.
#ifndef ZN_DATA_DATAUTIL_KXNAMEDICT_H_
#define ZN_DATA_DATAUTIL_KXNAMEDICT_H_

#include <optional>
#include <string>

#include "platform/Value.h"

class KXNameDict {
 public:
  KXNameDict() = delete;

  // The namespaces the program looks up.
  static constexpr const char* kEntryNamespace = "entry";
  static constexpr const char* kMetaNamespace = "meta";
  static constexpr const char* kEntryPropsNamespace = "entryProps";
  static constexpr const char* kClientNamespace = "client";
  static constexpr const char* kUserMetaNamespace = "UserMeta";
  static constexpr const char* kTagNamespace = "Tag";
  static constexpr const char* kResourceNamespace = "resource";

  // The reversed table when `reversed`, else the forward table; nullopt
  // when names.dat could not be read or parsed.
  static const std::optional<kx::Dictionary>& table(bool reversed);

  static std::optional<kx::Dictionary> namesConvertFromRemoteToLocal(const kx::Value& remote,
                                                                     const std::string& ns);
  static std::optional<kx::Dictionary> namesConvertFromLocalToRemote(const kx::Value& local,
                                                                     const std::string& ns);
  static std::optional<kx::Dictionary> namesConvertFromRemoteToLocalForFileMeta(
      const kx::Value& serviceEntry);
  static std::optional<kx::Dictionary> namesConvertFromClientToServer(const kx::Value& client);
  static kx::Dictionary& formatMeta(kx::Dictionary& meta);

  // Parses a table text the way names.dat is parsed (tests check the
  // shipped file with it).
  static std::optional<kx::Dictionary> parseTable(const std::string& text);
  // How many times names.dat was read (at most once).
  static int fileReads();
};

#endif  // ZN_DATA_DATAUTIL_KXNAMEDICT_H_
