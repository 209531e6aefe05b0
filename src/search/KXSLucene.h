// KXSLucene is the one place where the program calls the CLucene library;
// the rest of the full-text search (KXSIndexProxy, KXSSearchProxy) speaks to
// it in UTF-8 strings and kx::Error, and never sees a library type.
//
// What it adds to the library:
//  - the analyser used for both indexing and querying: the library's standard
//    tokenizer, lower-casing and stop words, except that every Han, kana,
//    Hangul or other CJK character is a token of its own, so that a run of
//    such characters in a query becomes a phrase that matches exactly the
//    documents holding that run. A phrase does not bridge what separates
//    two such characters in a text: punctuation, a line break, a symbol or
//    a removed stop word leaves an empty position between them. Blanks and
//    tabs alone do not separate them: "会议 记录" holds the run "会议记录"
//    (these scripts put no blanks inside words, pasted text sometimes
//    does, and the searcher itself puts one before every non-Latin run);
//  - text crosses as UTF-32 wide strings made by kx::Text, never through the
//    C locale;
//  - every library error (CLuceneError is not a std::exception) and every
//    other exception is caught here and comes back as a kx::Error of
//    kKXSErrorDomain; nothing thrown by the library leaves these functions;
//  - a replacement never loses the document it replaces: new documents are
//    committed first and only then are the older documents with the same
//    identifier removed; a search that reads the index in between counts
//    only the newest document of an identifier, so it never answers with
//    the old text.
//
// The index holds three fields per document: "docID" (stored, indexed
// untokenized), "docContent" and "docCategory" (stored, indexed tokenized).
//
// Thread safety: every function may be called from any thread. Writers
// (prepareForWriting, addDocuments, writeDocuments, removeDocuments) must be
// serialised by the caller for one index folder (KXSIndexProxy runs them on
// its one serial queue under a lock on the folder); readers may run
// alongside them and see the index as last committed.
#ifndef ZN_SEARCH_KXSLUCENE_H_
#define ZN_SEARCH_KXSLUCENE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"

class KXSLucene {
 public:
  KXSLucene() = delete;

  // Stop words, lower-case.
  using StopWords = std::vector<std::string>;

  // One document as the indexer hands it over, in UTF-8. The content is
  // already cut to its indexed length.
  struct Document {
    std::string id;
    std::string content;
    std::string category;
  };

  // Reads a stop-word file: one word per line, surrounding white space
  // ignored, ASCII letters folded to lower case, empty lines skipped. A
  // missing or unreadable file gives no stop words (and a log line); it is
  // never an error.
  static StopWords loadStopWords(const std::string& path);

  // The tokens that the analyser makes of `text` for the "docContent" field,
  // in order, as UTF-8. Used by the searcher to tell one-word queries apart.
  static std::vector<std::string> analyze(std::string_view text, const StopWords& stopWords);

  // Whether the folder holds an index (a segments file). Never fails: an
  // unreadable folder holds none.
  static bool indexExists(const std::string& directory);

  // Readies the folder for a writer: *create is set when no index exists
  // there yet (the next writer must create it); otherwise a write lock left
  // behind by an earlier writer is broken. Only the indexer's serial queue
  // may call this, while it holds the folder's process lock.
  [[nodiscard]] static bool prepareForWriting(const std::string& directory, bool* create,
                                              kx::Error* error);

  // Adds the documents with one writer (creating the index when `create`),
  // optimises, commits, and then removes every older document that has the
  // identifier of a document just added. (*indexed)[i] tells whether
  // documents[i] is in the committed index with no older copy beside it.
  // Returns false and fills *error when any document failed; the documents
  // that did not make it leave the index as it was for their identifiers.
  [[nodiscard]] static bool addDocuments(const std::string& directory, bool create,
                                         const StopWords& stopWords,
                                         const std::vector<Document>& documents,
                                         std::vector<bool>* indexed, kx::Error* error);

  // How far one writeDocuments() call may go before it commits.
  struct WriteLimits {
    // It adds at most this many documents...
    std::size_t maxDocuments = static_cast<std::size_t>(-1);
    // ...and adds no further document once this moment has passed (it
    // always adds at least one).
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // Whether to optimise the index before the commit; only done when every
    // document handed over was taken.
    bool optimize = true;
    // Where the deadline may stop the call: before documents[i] only when
    // stopPoints[i] is true (empty: anywhere). The proxy marks the first
    // document of each caller's submission, so a reader never sees part of
    // a submission that fits in one chunk.
    std::vector<bool> stopPoints;
  };

  // What one writeDocuments() call did with the first `taken` documents.
  struct WriteResult {
    std::size_t taken = 0;
    // indexed[i] (i < taken): documents[i] went in, and the committed index
    // holds for its identifier exactly one document, the last of this call's
    // documents of that identifier that went in (documents[i] itself or a
    // later one that replaced it).
    std::vector<bool> indexed;
    // errors[i]: why documents[i] is not indexed (empty when it is).
    std::vector<kx::Error> errors;
  };

  // Adds the first documents with one writer within `limits`, commits, and
  // then removes every older document that has the identifier of a document
  // just added, as addDocuments does; the documents not taken are left for
  // the caller's next call. Never throws.
  static WriteResult writeDocuments(const std::string& directory, bool create,
                                    const StopWords& stopWords,
                                    const std::vector<Document>& documents,
                                    const WriteLimits& limits);

  // Removes every document whose "docID" is one of `ids`. No index in the
  // folder means nothing to remove (success).
  [[nodiscard]] static bool removeDocuments(const std::string& directory,
                                            const std::vector<std::string>& ids, kx::Error* error);

  // Runs a search with the query text already escaped and spaced (see
  // KXSSearchProxy). Answers:
  //  - an empty array when nothing could be searched: no index (or, with
  //    *error set to KXSErrorIndexBusy, an index that another process is
  //    committing so that it cannot be seen for a while), a one-word
  //    text that the analyser drops, a text that the query parser rejects,
  //    or three refused attempts (the last two with or without *error as
  //    described below);
  //  - nullopt when the search ran and found nothing, and for a query made
  //    only of excluded words ("NOT fox"), which wants no document;
  //  - otherwise the "docID" of every hit in ranking order (an identifier
  //    that appears twice, which only a failed replacement can leave, is
  //    given once).
  // A single word is tried as an infix wildcard, then as a prefix wildcard,
  // then through the parser; a wildcard that would expand to more terms than
  // the library allows in one query is passed over without being built. The
  // terms a wildcard matches are looked up in a sorted list of the index's
  // terms kept in memory per folder (KXSTermList, which also gives the
  // document count of each term for the scores and the identifier of each
  // hit), read again (one walk of the term dictionary) only when the index's
  // version has changed since, whoever committed the change. The reader of
  // the folder searched last is kept open from one search to the next while
  // the folder's newest commit stays the one it reads (one listing of the
  // folder and one look at the newest segments file tell); a search that
  // finds the index changed, or the kept reader in use by another search,
  // opens a reader of its own. A reader is used by one search at a time, and
  // each of its file streams reads at a position of its own (a copy of one of
  // the library's streams reads from wherever another copy last read).
  // *error is filled when the library failed on the index itself (a damaged
  // index, a failed read, every attempt refused); the answer is then an
  // empty array.
  static std::optional<std::vector<std::string>> search(const std::string& directory,
                                                        const StopWords& stopWords,
                                                        const std::string& queryText,
                                                        kx::Error* error);

  // The version of the index as last committed; every commit changes it.
  // Fails when the folder holds no index.
  [[nodiscard]] static bool indexVersion(const std::string& directory, std::int64_t* version,
                                         kx::Error* error);

  // How many times this process has walked a term dictionary to list an
  // index's terms (for tests and diagnostics).
  static std::uint64_t termDictionaryWalks();

  // How many index writers this process has opened, and how many times it
  // has optimised an index (for tests and diagnostics).
  static std::uint64_t writerSessions();
  static std::uint64_t optimizations();

  // Runs `pause` (when not empty) in addDocuments and writeDocuments between the commit of the
  // new documents and the removal of their older copies. For tests.
  static void setReplacementPauseForTesting(std::function<void()> pause);

  // Every live document of the index with its stored fields, in index order.
  // For diagnostics and tests.
  [[nodiscard]] static bool storedDocuments(
      const std::string& directory, std::vector<std::map<std::string, std::string>>* documents,
      kx::Error* error);
};

#endif  // ZN_SEARCH_KXSLUCENE_H_
