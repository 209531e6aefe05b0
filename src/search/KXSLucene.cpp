// The only translation unit that includes CLucene. The library's headers come
// in as system headers (target zn_clucene), so their warnings stay out of our
// build; everything the library allocates is released here, and everything it
// throws is caught here.
#include "search/KXSLucene.h"

#include <CLucene.h>
#include <CLucene/analysis/standard/StandardFilter.h>
#include <CLucene/analysis/standard/StandardTokenizer.h>
#include <CLucene/document/FieldSelector.h>
#include <CLucene/store/FSDirectory.h>
#include <CLucene/store/IndexInput.h>
#include <CLucene/store/RAMDirectory.h>

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/FileSystem.h"
#include "platform/Mutex.h"
#include "platform/Text.h"
#include "search/KXSError.h"
#include "search/KXSTermList.h"

using lucene::analysis::Analyzer;
using lucene::analysis::CLTCSetList;
using lucene::analysis::LowerCaseFilter;
using lucene::analysis::StopFilter;
using lucene::analysis::Token;
using lucene::analysis::TokenStream;
using lucene::analysis::standard::StandardFilter;
using lucene::analysis::standard::StandardTokenizer;
using LuceneDocument = lucene::document::Document;
using lucene::document::Field;
using lucene::document::LoadFirstFieldSelector;
using lucene::index::IndexReader;
using lucene::index::IndexWriter;
using lucene::index::Term;
using lucene::index::TermDocs;
using lucene::queryParser::QueryParser;
using lucene::search::BooleanQuery;
using lucene::search::IndexSearcher;
using lucene::search::Query;
using lucene::search::TopDocs;
using lucene::util::Reader;
using lucene::util::StringReader;

namespace {

constexpr const wchar_t* kFieldID = L"docID";
constexpr const wchar_t* kFieldContent = L"docContent";
constexpr const wchar_t* kFieldCategory = L"docCategory";

// Stored, indexed as one term, no term vector (321).
constexpr int kIDFlags = static_cast<int>(Field::STORE_YES) |
                         static_cast<int>(Field::INDEX_UNTOKENIZED) |
                         static_cast<int>(Field::TERMVECTOR_NO);
// Stored, indexed tokenized, no term vector (289).
constexpr int kTextFlags = static_cast<int>(Field::STORE_YES) |
                           static_cast<int>(Field::INDEX_TOKENIZED) |
                           static_cast<int>(Field::TERMVECTOR_NO);
static_assert(kIDFlags == 321 && kTextFlags == 289, "field flags of the index format");

// ---------------------------------------------------------------------------
// Ownership helpers. Library objects are freed with the library's own rules:
// arrays with free(), terms by dropping a reference, the rest with delete.

struct TermRelease {
  void operator()(Term* term) const { _CLDECDELETE(term); }
};
using TermPtr = std::unique_ptr<Term, TermRelease>;

TermPtr makeTerm(const wchar_t* field, const std::wstring& text) {
  return TermPtr(_CLNEW Term(field, text.c_str()));
}

struct TermDocsRelease {
  void operator()(TermDocs* docs) const {
    try {
      docs->close();
    } catch (...) {
    }
    _CLLDELETE(docs);
  }
};
using TermDocsPtr = std::unique_ptr<TermDocs, TermDocsRelease>;

// A reader or searcher that is closed (errors ignored) and freed when the
// scope ends, also when the scope is left by an exception.
template <typename T>
struct CloseAndDelete {
  void operator()(T* object) const {
    try {
      object->close();
    } catch (...) {
    }
    _CLLDELETE(object);
  }
};
using ReaderPtr = std::unique_ptr<IndexReader, CloseAndDelete<IndexReader>>;

std::string describeLibraryError(CLuceneError& error) {
  const char* what = error.what();
  return what ? std::string(what) : std::string("unknown index library error");
}

kx::Error libraryError(CLuceneError& error, std::string_view context) {
  std::string message = std::string(context) + ": " + describeLibraryError(error);
  kx::Error result = KXSMakeError(KXSErrorLibrary, message);
  result.mutableUserInfo().set(KXSLibraryErrorNumberKey, error.number());
  return result;
}

kx::Error unexpectedError(std::string_view context, const char* what) {
  return KXSMakeError(KXSErrorUnexpected,
                      std::string(context) + ": " + (what ? what : "unknown exception"));
}

// The library takes NUL-terminated strings: a NUL inside a text would cut
// it short, so it becomes a blank.
std::wstring toLibrary(std::string_view utf8) {
  std::wstring wide = kx::Text::toWide(utf8);
  std::replace(wide.begin(), wide.end(), L'\0', L' ');
  return wide;
}

std::string fromLibrary(const wchar_t* wide) {
  return wide ? kx::Text::fromWide(std::wstring_view(wide)) : std::string();
}

// ---------------------------------------------------------------------------
// Analysis

// Han ideographs, kana, Hangul, Bopomofo and their extensions and
// compatibility forms: scripts written without blanks between words.
bool isCJK(wchar_t c) {
  const std::uint32_t u = static_cast<std::uint32_t>(c);
  return (u >= 0x1100 && u <= 0x11FF) ||  // Hangul Jamo
         (u >= 0x2E80 && u <= 0x2FDF) ||  // CJK and Kangxi radicals
         (u >= 0x3005 && u <= 0x3007) ||  // iteration mark, closing mark, zero
         (u >= 0x3021 && u <= 0x3029) ||  // Hangzhou numerals
         (u >= 0x3038 && u <= 0x303C) ||  // more Hangzhou numerals, masu mark
         (u >= 0x3040 && u <= 0x30FF) ||  // Hiragana, Katakana
         (u >= 0x3100 && u <= 0x31BF) ||  // Bopomofo, Hangul compatibility Jamo
         (u >= 0x31F0 && u <= 0x31FF) ||  // Katakana phonetic extensions
         (u >= 0x3400 && u <= 0x4DBF) ||  // CJK extension A
         (u >= 0x4E00 && u <= 0x9FFF) ||  // CJK unified ideographs
         (u >= 0xA960 && u <= 0xA97F) ||  // Hangul Jamo extended A
         (u >= 0xAC00 && u <= 0xD7FF) ||  // Hangul syllables, Jamo extended B
         (u >= 0xF900 && u <= 0xFAFF) ||  // CJK compatibility ideographs
         (u >= 0xFF66 && u <= 0xFFDC) ||  // half-width Katakana and Hangul
         (u >= 0x20000 && u <= 0x3FFFD);  // supplementary ideographic planes
}

// Horizontal blanks between two CJK characters join them: Chinese and
// Japanese are written without blanks inside words, but pasted or justified
// text sometimes holds them, and the data client puts one before every run of
// non-Latin text. Anything else the tokenizer drops there (punctuation, a
// line break, a symbol) separates them.
bool isJoiningBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Characters that the standard tokenizer may keep in a token of their own.
bool mayFormToken(wchar_t c) { return std::iswalnum(static_cast<wint_t>(c)) != 0; }

// A text prepared for the standard tokenizer, and where phrases must not
// bridge.
struct IsolatedText {
  std::wstring text;
  // Offsets in `text` of the CJK characters that follow another CJK
  // character across a separator, sorted.
  std::vector<int32_t> gapsBefore;
};

// Puts a blank on both sides of every CJK character, so that the standard
// tokenizer makes each one a token of its own (it would otherwise keep a run
// of them, or a run glued to Latin letters, as one token, and split runs
// longer than its token limit losing a character at each cut). Blanks do not
// count as positions, so a run stays a sequence of adjacent positions that a
// phrase query finds. Where a separator stands between two CJK characters
// (see isJoiningBlank), the second one is noted so that its token is put one
// position further: a phrase never bridges the separator.
IsolatedText isolateCJK(std::wstring_view text) {
  IsolatedText out;
  out.text.reserve(text.size() + text.size() / 2);
  bool afterCJK = false;   // the last character that is not a blank was CJK
  bool separated = false;  // ... and a separator followed it
  for (wchar_t c : text) {
    if (isCJK(c)) {
      out.text.push_back(L' ');
      if (afterCJK && separated) out.gapsBefore.push_back(static_cast<int32_t>(out.text.size()));
      out.text.push_back(c);
      out.text.push_back(L' ');
      afterCJK = true;
      separated = false;
    } else {
      out.text.push_back(c);
      if (isJoiningBlank(c)) continue;
      if (mayFormToken(c)) {
        // A token of its own stands between: it takes a position (or, as a
        // stop word, leaves a gap when it is removed).
        afterCJK = false;
      } else {
        separated = true;
      }
    }
  }
  return out;
}

// Puts each token that starts at one of the noted offsets one position
// further than the tokenizer would.
class SeparatorGapFilter final : public lucene::analysis::TokenFilter {
 public:
  SeparatorGapFilter(TokenStream* input, std::vector<int32_t> gapsBefore)
      : TokenFilter(input, true), gapsBefore_(std::move(gapsBefore)) {}

  Token* next(Token* token) override {
    Token* result = input->next(token);
    if (!result) return nullptr;
    const int32_t start = result->startOffset();
    while (next_ < gapsBefore_.size() && gapsBefore_[next_] < start) ++next_;
    const bool gap = next_ < gapsBefore_.size() && gapsBefore_[next_] == start;
    if (gap) ++next_;
    // Set, not added to: the tokenizer does not reset the increment of a
    // token object that its caller reuses (the query parser does).
    result->setPositionIncrement(gap ? 2 : 1);
    return result;
  }

 private:
  const std::vector<int32_t> gapsBefore_;
  std::size_t next_ = 0;
};

std::wstring drain(Reader* reader) {
  std::wstring text;
  if (!reader) return text;
  const wchar_t* chunk = nullptr;
  for (;;) {
    const int32_t n = reader->read(chunk, 1, 4096);
    if (n <= 0 || !chunk) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

// The analyser of the index: the standard tokenizer and filter, lower case,
// stop words, with CJK characters as single tokens (see isolateCJK).
class KXSAnalyzer final : public Analyzer {
 public:
  explicit KXSAnalyzer(const KXSLucene::StopWords& stopWords)
      : stopTable_(_CLNEW CLTCSetList(true)) {
    for (const std::string& word : stopWords) {
      const std::wstring wide = kx::Text::toWide(word);
      auto* copy = static_cast<wchar_t*>(std::calloc(wide.size() + 1, sizeof(wchar_t)));
      if (!copy) continue;
      std::wmemcpy(copy, wide.c_str(), wide.size());
      if (stopTable_->find(copy) != stopTable_->end()) {
        std::free(copy);
        continue;
      }
      stopTable_->insert(copy);
    }
  }

  ~KXSAnalyzer() override {
    reusable_.clear();
    _CLLDELETE(stopTable_);
  }

  KXSAnalyzer(const KXSAnalyzer&) = delete;
  KXSAnalyzer& operator=(const KXSAnalyzer&) = delete;

  // A new stream that the caller owns.
  TokenStream* tokenStream(const TCHAR* fieldName, Reader* reader) override {
    IsolatedText isolated = isolateCJK(drain(reader));
    const std::wstring& text = isolated.text;
    auto* input = _CLNEW StringReader(text.c_str(), static_cast<int32_t>(text.size()), true);
    TokenStream* stream = _CLNEW StandardTokenizer(input, true);
    stream = _CLNEW SeparatorGapFilter(stream, std::move(isolated.gapsBefore));
    stream = _CLNEW StandardFilter(stream, true);
    stream = _CLNEW LowerCaseFilter(stream, true);
    // A removed stop word leaves its position empty, so that a phrase does
    // not bridge it either.
    auto* stop = _CLNEW StopFilter(stream, true, stopTable_, false);
    stop->setEnablePositionIncrements(true);
    return stop;
  }

  // The library does not free what this returns: the analyser keeps the
  // stream of each thread until that thread asks for the next one, or until
  // the analyser goes away.
  TokenStream* reusableTokenStream(const TCHAR* fieldName, Reader* reader) override {
    TokenStream* stream = tokenStream(fieldName, reader);
    kx::MutexLock lock(mutex_);
    reusable_[std::this_thread::get_id()].reset(stream);
    return stream;
  }

 private:
  struct StreamRelease {
    void operator()(TokenStream* stream) const {
      try {
        stream->close();
      } catch (...) {
      }
      _CLLDELETE(stream);
    }
  };

  CLTCSetList* stopTable_;
  kx::Mutex mutex_;
  std::unordered_map<std::thread::id, std::unique_ptr<TokenStream, StreamRelease>> reusable_
      GUARDED_BY(mutex_);
};

std::vector<std::wstring> tokensOf(KXSAnalyzer& analyzer, const std::wstring& text) {
  std::vector<std::wstring> tokens;
  StringReader reader(text.c_str(), static_cast<int32_t>(text.size()), false);
  std::unique_ptr<TokenStream> stream(analyzer.tokenStream(kFieldContent, &reader));
  Token token;
  while (stream->next(&token)) {
    tokens.emplace_back(token.termBuffer(), token.termLength());
  }
  stream->close();
  return tokens;
}

// ---------------------------------------------------------------------------
// Library start-up

// The library sets up its per-thread storage the first time a thread needs
// it, and two threads doing that at the same moment lose one thread's
// storage (it leaks). The first call into this file therefore uses that
// storage once, on an index in memory, before any other thread can.
void prepareLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      lucene::store::RAMDirectory directory;
      KXSAnalyzer analyzer({});
      {
        IndexWriter writer(&directory, &analyzer, true);
        LuceneDocument document;
        document.add(*_CLNEW Field(kFieldID, L"warm-up", kIDFlags, true));
        writer.addDocument(&document);
        writer.close();
      }
      ReaderPtr reader(IndexReader::open(&directory));
      TermPtr term = makeTerm(kFieldID, L"warm-up");
      TermDocsPtr docs(reader->termDocs(term.get()));
      docs->next();
    } catch (CLuceneError& e) {
      KXLOG("index library warm-up failed: %s", describeLibraryError(e).c_str());
    } catch (...) {
      KXLOG("index library warm-up failed");
    }
  });
}

// ---------------------------------------------------------------------------
// Directories

// The library keeps one directory object per folder and frees it when the
// last user closes it; when the indexer's thread closes the last use while
// the searcher's thread opens the same folder, the object can be lost (and
// leaked). Every folder the program touches is therefore held open here for
// the rest of the process, so that its directory object is made once and
// never freed.
void pinDirectory(const std::string& path) {
  static kx::Mutex* mutex = new kx::Mutex();
  static auto* pinned = new std::map<std::string, lucene::store::Directory*>();
  kx::MutexLock lock(*mutex);
  if (pinned->count(path)) return;
  (*pinned)[path] = lucene::store::FSDirectory::getDirectory(path.c_str());
}

// The files of a searcher's reader. The library's own file streams share one
// file position per open file and give a copy of a stream the position where
// the file was last read by any copy, not where the copied stream stands; a
// copy that goes on reading past what it copied from its original's buffer
// then reads from somewhere else in the file. The library copies streams as
// it looks terms up: when a thread first looks up a term in a reader, when it
// enumerates terms, and again on a thread after any reader was closed there
// (closing one drops every per-thread copy of that thread, of every reader).
// A fresh reader gets away with it, as nothing has moved its files yet; a
// reader kept open across searches answers with missing hits or fails with
// "read past EOF". The streams here read with pread() at their own position,
// so a copy reads exactly what its original would have read, whoever read
// the file before.
class PositionalInput final : public lucene::store::BufferedIndexInput {
 public:
  // An open file shared by a stream and its copies; closed with the last.
  struct File {
    int descriptor = -1;
    int64_t length = 0;
    ~File() {
      if (descriptor >= 0) ::close(descriptor);
    }
  };

  PositionalInput(std::shared_ptr<const File> file, int32_t bufferSize)
      : BufferedIndexInput(bufferSize), file_(std::move(file)) {}

  lucene::store::IndexInput* clone() const override { return _CLNEW PositionalInput(*this); }
  void close() override {
    BufferedIndexInput::close();
    file_.reset();
  }
  int64_t length() const override { return file_ ? file_->length : 0; }
  const char* getDirectoryType() const override { return "SearchDirectory"; }
  const char* getObjectName() const override { return "PositionalInput"; }

 protected:
  // A copy starts with an empty buffer at the original's position: the
  // library's copy of a buffer is only as long as the original's last read,
  // and a later read into it may be longer.
  PositionalInput(const PositionalInput& other)
      : BufferedIndexInput(other.bufferSize), file_(other.file_) {
    seek(other.getFilePointer());
  }

  // Nothing to do: every read says where it reads.
  void seekInternal(const int64_t) override {}

  // The buffer reads from the stream's position (the library calls this
  // with getFilePointer() where the bytes start).
  void readInternal(uint8_t* bytes, const int32_t length) override {
    if (!file_) _CLTHROWA(CL_ERR_IO, "read from a closed file");
    const int64_t start = getFilePointer();
    int32_t done = 0;
    while (done < length) {
      const ssize_t n = ::pread(file_->descriptor, bytes + done,
                                static_cast<std::size_t>(length - done), start + done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) _CLTHROWA(CL_ERR_IO, "read error");
      if (n == 0) _CLTHROWA(CL_ERR_IO, "read past EOF");
      done += static_cast<int32_t>(n);
    }
  }

 private:
  std::shared_ptr<const File> file_;
};

// The folder of an index as a searcher's reader sees it: files are read
// through PositionalInput, and the folder is listed without looking at each
// entry (the library's listing looks up every file to leave out folders; the
// entry's type says that). Writing goes through the library's own directory
// objects, never through this one.
class SearchDirectory final : public lucene::store::FSDirectory {
 public:
  explicit SearchDirectory(const std::string& path) : path_(path) { init(path.c_str()); }

  bool openInput(const char* name, lucene::store::IndexInput*& result, CLuceneError& error,
                 int32_t bufferSize = -1) override {
    const std::string path = path_ + "/" + name;
    auto file = std::make_shared<PositionalInput::File>();
    file->descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file->descriptor < 0) {
      error.set(CL_ERR_IO, errno == ENOENT ? "File does not exist" : "Could not open file");
      return false;
    }
    struct stat status {};
    if (::fstat(file->descriptor, &status) != 0) {
      error.set(CL_ERR_IO, "fileStat error");
      return false;
    }
    file->length = status.st_size;
    result = _CLNEW PositionalInput(
        std::move(file),
        bufferSize > 0 ? bufferSize : lucene::store::BufferedIndexInput::BUFFER_SIZE);
    return true;
  }

  bool list(std::vector<std::string>* names) const override {
    DIR* folder = ::opendir(path_.c_str());
    if (!folder) return false;
    while (const dirent* entry = ::readdir(folder)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      bool isFolder = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat status {};
        isFolder = ::stat((path_ + "/" + name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
      }
      if (!isFolder) names->push_back(name);
    }
    ::closedir(folder);
    return true;
  }

 private:
  const std::string path_;
};

// The search directory of a folder, made once and never freed (readers hold
// references to it; see pinDirectory for why the library's are kept too).
SearchDirectory* searchDirectory(const std::string& path) {
  static kx::Mutex* mutex = new kx::Mutex();
  static auto* directories = new std::map<std::string, SearchDirectory*>();
  kx::MutexLock lock(*mutex);
  SearchDirectory*& directory = (*directories)[path];
  if (!directory) directory = _CLNEW SearchDirectory(path);
  return directory;
}

// ---------------------------------------------------------------------------
// Writing

// Commits of this process and the opening of readers take turns: a reader
// opened while a commit writes the index's files could read a half-written
// file. Writers hold the lock exclusively while they commit, readers share it
// while they open. (The writer does not commit before close(), so searches
// go on while it adds and optimises.)
kx::SharedMutex& commitMutex() {
  static kx::SharedMutex* mutex = new kx::SharedMutex();
  return *mutex;
}

// Opens a reader or searcher; when the open fails it is tried twice more,
// a moment apart, since another process may be committing the index.
template <typename T>
T* openForReading(const std::string& directory, T* (*open)(const std::string&)) {
  for (int attempt = 0;; ++attempt) {
    try {
      kx::ReaderMutexLock lock(commitMutex());
      return open(directory);
    } catch (CLuceneError&) {
      if (attempt >= 2) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

IndexReader* openReader(const std::string& directory) {
  return openForReading<IndexReader>(
      directory, [](const std::string& path) { return IndexReader::open(path.c_str()); });
}

// Closes a reader that holds deletions, which commits them.
void commitReader(IndexReader* reader) {
  kx::WriterMutexLock lock(commitMutex());
  reader->close();
}

// How many writers were opened and how many optimisations were run (see
// writerSessions and optimizations).
std::atomic<std::uint64_t> gWriterSessions{0};
std::atomic<std::uint64_t> gOptimizations{0};

// One writer that commits only when it is closed. A writer that was not
// committed through commit() is still closed when the scope ends, so that
// its lock and files are released (the library cannot free a writer it has
// aborted); what it had added then goes in, which never loses a document,
// since older copies are removed only after a successful commit.
class WriterScope {
 public:
  WriterScope(const std::string& path, Analyzer* analyzer, bool create)
      : directory_(lucene::store::FSDirectory::getDirectory(path.c_str())) {
    try {
      // Creating an index commits an empty one at once.
      kx::WriterMutexLock lock(commitMutex());
      writer_ = _CLNEW IndexWriter(directory_, false, analyzer, create);
      gWriterSessions.fetch_add(1, std::memory_order_relaxed);
    } catch (...) {
      releaseDirectory();
      throw;
    }
  }
  ~WriterScope() {
    if (writer_) {
      kx::WriterMutexLock lock(commitMutex());
      try {
        writer_->close();
      } catch (...) {
      }
      _CLLDELETE(writer_);
    }
    releaseDirectory();
  }
  WriterScope(const WriterScope&) = delete;
  WriterScope& operator=(const WriterScope&) = delete;

  IndexWriter* operator->() const { return writer_; }

  // Optimises (when asked) and commits. A failed optimisation only leaves
  // the index in more pieces; a failed commit throws what the library
  // throws. Without optimisation the library still merges segments by its
  // merge factor, so the number of segments stays bounded.
  void commit(bool optimize) {
    if (optimize) {
      try {
        gOptimizations.fetch_add(1, std::memory_order_relaxed);
        writer_->optimize(true);
      } catch (CLuceneError& e) {
        KXLOG("optimising the index failed: %s", describeLibraryError(e).c_str());
      }
    }
    {
      kx::WriterMutexLock lock(commitMutex());
      writer_->close(true);
    }
    _CLLDELETE(writer_);
    writer_ = nullptr;
  }

 private:
  void releaseDirectory() {
    if (!directory_) return;
    try {
      directory_->close();
    } catch (...) {
    }
    _CLDECDELETE(directory_);
    directory_ = nullptr;
  }

  lucene::store::Directory* directory_;
  IndexWriter* writer_ = nullptr;
};

void addOne(IndexWriter* writer, const std::wstring& id, const std::wstring& content,
            const std::wstring& category) {
  LuceneDocument document;
  document.add(*_CLNEW Field(kFieldID, id.c_str(), kIDFlags, true));
  document.add(*_CLNEW Field(kFieldContent, content.c_str(), kTextFlags, true));
  document.add(*_CLNEW Field(kFieldCategory, category.c_str(), kTextFlags, true));
  writer->addDocument(&document);
}

// What tests run between the commit of new documents and the removal of the
// older copies.
kx::Mutex& replacementPauseMutex() {
  static kx::Mutex* mutex = new kx::Mutex();
  return *mutex;
}
std::function<void()>& replacementPauseSlot() REQUIRES(replacementPauseMutex()) {
  static auto* slot = new std::function<void()>();
  return *slot;
}
std::function<void()> replacementPause() {
  kx::MutexLock lock(replacementPauseMutex());
  return replacementPauseSlot();
}

// After the new documents are committed: for each identifier, keep only its
// newest document (the highest document number: the library never reorders
// documents, and new ones come after all older ones) and check that it holds
// the text just written. Returns the identifiers whose newest document is
// the expected one.
//
// (The writer could remove the older documents in its own commit, but this
// version of the library leaks a segment reader every time a writer applies
// removals. Between the two commits a reader sees both copies; searches
// count only the newest copy of an identifier, see KXSTermList::isRepeatedID.)
std::set<std::wstring> keepNewest(const std::string& directory,
                                  const std::map<std::wstring, std::wstring>& expected) {
  std::set<std::wstring> confirmed;
  ReaderPtr reader(openReader(directory));
  for (const auto& [id, content] : expected) {
    TermPtr term = makeTerm(kFieldID, id);
    std::vector<int32_t> numbers;
    {
      TermDocsPtr docs(reader->termDocs(term.get()));
      while (docs->next()) numbers.push_back(docs->doc());
    }
    if (numbers.empty()) continue;
    std::sort(numbers.begin(), numbers.end());
    const int32_t newest = numbers.back();
    LuceneDocument stored;
    if (!reader->document(newest, stored)) continue;
    const wchar_t* storedContent = stored.get(kFieldContent);
    if (!storedContent || content != storedContent) continue;
    for (std::size_t i = 0; i + 1 < numbers.size(); ++i) reader->deleteDocument(numbers[i]);
    confirmed.insert(id);
  }
  commitReader(reader.get());
  return confirmed;
}

// ---------------------------------------------------------------------------
// Searching

constexpr int kMaxAttempts = 3;

// How many times a term dictionary was walked (see termList).
std::atomic<std::uint64_t> gTermWalks{0};

// Walks the terms of the reader once, from the first "docContent" term to
// the last "docID" term (fields come in name order, and "docID" follows
// "docContent"). The documents of each "docID" term are read through the
// walk's own position in the dictionary, so they cost no lookup; postings
// lie in term order, so they are read front to back.
std::shared_ptr<const KXSTermList> readTermList(IndexReader* reader) {
  static_assert(std::wstring_view(L"docContent") < std::wstring_view(L"docID"));
  gTermWalks.fetch_add(1, std::memory_order_relaxed);
  const std::int64_t version = reader->getVersion();
  std::vector<KXSTermList::Term> terms;
  KXSTermList::Identifiers identifiers;
  identifiers.byDocument.resize(static_cast<std::size_t>(std::max<int32_t>(0, reader->maxDoc())));
  TermPtr first = makeTerm(kFieldContent, L"");
  std::unique_ptr<lucene::index::TermEnum> enumeration(reader->terms(first.get()));
  try {
    TermDocsPtr docs(reader->termDocs());
    do {
      Term* term = enumeration->term(false);
      if (!term) continue;
      if (std::wcscmp(term->field(), kFieldContent) == 0) {
        terms.push_back({fromLibrary(term->text()), enumeration->docFreq()});
      } else if (std::wcscmp(term->field(), kFieldID) == 0) {
        std::string id = fromLibrary(term->text());
        int32_t newest = -1;
        docs->seek(enumeration.get());
        while (docs->next()) {
          const int32_t doc = docs->doc();
          newest = std::max(newest, doc);
          if (doc >= 0 && static_cast<std::size_t>(doc) < identifiers.byDocument.size()) {
            identifiers.byDocument[static_cast<std::size_t>(doc)] = id;
          }
        }
        if (enumeration->docFreq() > 1) identifiers.newestOfRepeated[std::move(id)] = newest;
      } else {
        break;
      }
    } while (enumeration->next());
  } catch (...) {
    enumeration->close();
    throw;
  }
  enumeration->close();
  return std::make_shared<const KXSTermList>(version, std::move(terms), std::move(identifiers));
}

// The terms of the index that the searcher reads, kept in memory between
// searches per folder and read again whenever the index's version (which
// every commit, by this process or another, changes) differs from theirs.
std::shared_ptr<const KXSTermList> termList(const std::string& directory, IndexSearcher& searcher) {
  static kx::Mutex* mutex = new kx::Mutex();
  // Guarded by *mutex.
  static auto* lists = new std::map<std::string, std::shared_ptr<const KXSTermList>>();
  IndexReader* reader = searcher.getReader();
  const std::int64_t version = reader->getVersion();
  {
    kx::MutexLock lock(*mutex);
    auto it = lists->find(directory);
    if (it != lists->end() && it->second->version() == version) return it->second;
  }
  std::shared_ptr<const KXSTermList> list = readTermList(reader);
  kx::MutexLock lock(*mutex);
  (*lists)[directory] = list;
  return list;
}

// A searcher that takes the number of documents holding a "docContent" term
// from the term list of its reader's version rather than from the term
// dictionary: the list holds the dictionary's own numbers, so every score is
// the same, without a dictionary seek for each term of a wildcard.
class ListedTermsSearcher final : public IndexSearcher {
 public:
  // Opens (and owns) a reader of the directory.
  explicit ListedTermsSearcher(lucene::store::Directory* directory) : IndexSearcher(directory) {}

  // The terms of the reader's version, set once right after opening.
  void setTerms(std::shared_ptr<const KXSTermList> terms) { terms_ = std::move(terms); }
  const KXSTermList& terms() const { return *terms_; }

  int32_t docFreq(const Term* term) const override {
    if (terms_ && std::wcscmp(term->field(), kFieldContent) == 0) {
      const int32_t count = terms_->docFreq(fromLibrary(term->text()));
      if (count >= 0) return count;
    }
    return IndexSearcher::docFreq(term);
  }

 private:
  std::shared_ptr<const KXSTermList> terms_;
};
using ListedSearcherPtr = std::unique_ptr<ListedTermsSearcher, CloseAndDelete<ListedTermsSearcher>>;

// Opens a searcher of the index as last committed, with its term list. Its
// reader reads through the folder's SearchDirectory.
ListedSearcherPtr openListedSearcher(const std::string& directory) {
  ListedSearcherPtr searcher(openForReading<ListedTermsSearcher>(
      directory,
      [](const std::string& path) { return _CLNEW ListedTermsSearcher(searchDirectory(path)); }));
  searcher->setTerms(termList(directory, *searcher));
  return searcher;
}

// The generation of a segments file from its name: "segments" is 0,
// "segments_" is followed by the generation in base 36; -1 for any other name.
std::int64_t segmentsGeneration(const std::string& name) {
  if (name == "segments") return 0;
  static constexpr std::string_view kPrefix = "segments_";
  if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) return -1;
  std::int64_t generation = 0;
  for (std::size_t i = kPrefix.size(); i < name.size(); ++i) {
    const char c = name[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'z') digit = c - 'a' + 10;
    if (digit < 0 || generation > (INT64_MAX - digit) / 36) return -1;
    generation = generation * 36 + digit;
  }
  return generation;
}

// The name of the newest segments file among `names` (the highest
// generation); empty when there is none.
std::string newestSegmentsFile(const std::vector<std::string>& names) {
  std::string newest;
  std::int64_t highest = -1;
  for (const std::string& name : names) {
    const std::int64_t generation = segmentsGeneration(name);
    if (generation > highest) {
      highest = generation;
      newest = name;
    }
  }
  return newest;
}

// The segments file that an index's newest commit wrote, held open. Every
// commit writes a segments file of a new name and never rewrites one, and
// while this one is open no other file can have its device and inode
// numbers: when the folder's newest segments file is still this same file,
// the index is still in the state of that commit (also when the folder was
// emptied and an index made anew, whose generations start again).
class CommitFile {
 public:
  // Opens the file `name` of the folder and reads the version that the
  // commit wrote at its start: the format (a negative 32-bit number) and the
  // version (64 bits), both big-endian. Null when the file cannot be read
  // or is of a format without a version there.
  static std::unique_ptr<CommitFile> open(const std::string& directory, const std::string& name) {
    if (name.empty()) return nullptr;
    std::unique_ptr<CommitFile> file(new CommitFile(name));
    file->descriptor_ = ::open((directory + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (file->descriptor_ < 0) return nullptr;
    struct stat status {};
    if (::fstat(file->descriptor_, &status) != 0) return nullptr;
    file->device_ = status.st_dev;
    file->inode_ = status.st_ino;
    unsigned char header[12];
    if (::pread(file->descriptor_, header, sizeof header, 0) !=
        static_cast<ssize_t>(sizeof header)) {
      return nullptr;
    }
    if ((header[0] & 0x80) == 0) return nullptr;  // not a negative format number
    std::uint64_t version = 0;
    for (int i = 4; i < 12; ++i) version = (version << 8) | header[i];
    file->version_ = static_cast<std::int64_t>(version);
    return file;
  }

  ~CommitFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  CommitFile(const CommitFile&) = delete;
  CommitFile& operator=(const CommitFile&) = delete;

  std::int64_t version() const { return version_; }

  // Whether `name` in the folder is this very file.
  bool isFile(const std::string& directory, const std::string& name) const {
    if (name != name_) return false;
    struct stat status {};
    return ::stat((directory + "/" + name).c_str(), &status) == 0 && status.st_dev == device_ &&
           status.st_ino == inode_;
  }

 private:
  explicit CommitFile(std::string name) : name_(std::move(name)) {}

  const std::string name_;
  int descriptor_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::int64_t version_ = 0;
};

// A searcher and the commit whose state its reader reads (null when that
// could not be told when it was opened: such a searcher is not kept).
struct StampedSearcher {
  std::unique_ptr<CommitFile> commit;
  ListedSearcherPtr searcher;
};

// Opens a searcher of the index whose newest segments file is `newest` (as a
// listing just made shows) and stamps it with that commit when its reader
// turns out to read it.
std::unique_ptr<StampedSearcher> openStampedSearcher(const std::string& directory,
                                                     const std::string& newest) {
  auto opened = std::make_unique<StampedSearcher>();
  {
    kx::ReaderMutexLock lock(commitMutex());
    opened->commit = CommitFile::open(directory, newest);
  }
  opened->searcher = openListedSearcher(directory);
  if (opened->commit && opened->searcher->getReader()->getVersion() != opened->commit->version()) {
    opened->commit.reset();  // another commit came in between
  }
  return opened;
}

// The searcher of the folder searched last, kept open from one search to the
// next for as long as the index stays in the state it reads. A search takes
// it and has it alone until it gives it back, so a reader is never used by
// two threads at once; a search that finds none (another search has it, or
// the index changed) opens its own. Only one folder's searcher is kept.
//
// Thread safety: every member may be called from any thread; the kept
// searcher is guarded by mutex_. A searcher let go here is closed after
// mutex_ is released.
class KeptSearchers {
 public:
  // The kept searcher of `directory` when it reads the commit that wrote
  // `newest`, the folder's newest segments file; null otherwise. A kept
  // searcher of an older commit is closed.
  std::unique_ptr<StampedSearcher> take(const std::string& directory, const std::string& newest) {
    std::unique_ptr<StampedSearcher> taken;
    {
      kx::MutexLock lock(mutex_);
      if (!kept_ || directory_ != directory) return nullptr;
      taken = std::move(kept_);
    }
    if (taken->commit->isFile(directory, newest)) return taken;
    return nullptr;  // `taken` is closed here
  }

  // Keeps `searcher` for the next search of `directory` when its commit is
  // known, in place of whatever is kept; otherwise closes it.
  void keep(const std::string& directory, std::unique_ptr<StampedSearcher> searcher) {
    if (!searcher || !searcher->commit) return;
    kx::MutexLock lock(mutex_);
    directory_ = directory;
    std::swap(kept_, searcher);
    lock.unlock();
    // The searcher that was kept before, if any, is closed here.
  }

  // Closes the kept searcher of `directory`, if any.
  void drop(const std::string& directory) {
    std::unique_ptr<StampedSearcher> dropped;
    kx::MutexLock lock(mutex_);
    if (directory_ == directory) dropped = std::move(kept_);
  }

 private:
  kx::Mutex mutex_;
  std::string directory_ GUARDED_BY(mutex_);
  std::unique_ptr<StampedSearcher> kept_ GUARDED_BY(mutex_);
};

KeptSearchers& keptSearchers() {
  static KeptSearchers* kept = new KeptSearchers();
  return *kept;
}

// A searcher in use by one search. It goes back to KeptSearchers when the
// search ends, unless the search dropped it (the library refused a search
// on it) or is being left by an exception.
class SearcherLease {
 public:
  explicit SearcherLease(std::string directory) : directory_(std::move(directory)) {}
  ~SearcherLease() {
    if (std::uncaught_exceptions() == exceptions_) {
      keptSearchers().keep(directory_, std::move(searcher_));
    }
  }
  SearcherLease(const SearcherLease&) = delete;
  SearcherLease& operator=(const SearcherLease&) = delete;

  // The searcher in use; at first the kept searcher when it reads the commit
  // that wrote `newest` (the folder's newest segments file), or one opened
  // now; after drop(), one opened now and not kept.
  ListedTermsSearcher& get(const std::string& newest) {
    if (!searcher_ && !dropped_) searcher_ = keptSearchers().take(directory_, newest);
    if (!searcher_) searcher_ = openStampedSearcher(directory_, dropped_ ? std::string() : newest);
    return *searcher_->searcher;
  }
  // Closes the searcher in use.
  void drop() {
    searcher_.reset();
    dropped_ = true;
  }

 private:
  const std::string directory_;
  const int exceptions_ = std::uncaught_exceptions();
  std::unique_ptr<StampedSearcher> searcher_;
  bool dropped_ = false;
};

// The query that the library's wildcard query over these terms rewrites
// itself into: one term alone, or any of them, unscored by coordination.
Query* anyOfTerms(const std::vector<std::string_view>& terms) {
  if (terms.size() == 1) {
    TermPtr term = makeTerm(kFieldContent, toLibrary(terms.front()));
    return _CLNEW lucene::search::TermQuery(term.get());
  }
  std::unique_ptr<BooleanQuery> query(_CLNEW BooleanQuery(true));
  for (std::string_view text : terms) {
    TermPtr term = makeTerm(kFieldContent, toLibrary(text));
    query->add(_CLNEW lucene::search::TermQuery(term.get()), true,
               lucene::search::BooleanClause::SHOULD);
  }
  return query.release();
}

// Whether the query can match anything by itself: a query made only of
// prohibited clauses cannot (and the library leaks a file per search that
// runs one).
bool hasPositiveClause(Query* query) {
  auto* boolean = dynamic_cast<BooleanQuery*>(query);
  if (!boolean) return query != nullptr;
  const std::size_t count = boolean->getClauseCount();
  std::vector<lucene::search::BooleanClause*> clauses(count + 1, nullptr);
  boolean->getClauses(clauses.data());
  for (std::size_t i = 0; i < count; ++i) {
    if (clauses[i] && !clauses[i]->isProhibited() && hasPositiveClause(clauses[i]->getQuery())) {
      return true;
    }
  }
  return false;
}

// Whether a folder holds an index: whether one of its names is that of a
// segments file, the library's own test ("segments", or "segments_" and a
// generation; "segments.gen" does not count). The folder is listed without
// looking at each entry, which the library's check does. While another
// process commits, the listing can miss both the old segments file and the
// new one, so a negative answer is checked again a few times. A folder that
// still shows no segments file but holds other index files is an index
// being written (busy), not a missing one.
enum class IndexPresence { kPresent, kAbsent, kBusy };

bool isSegmentsFileName(const std::string& name) {
  return name.rfind("segments", 0) == 0 && name != "segments.gen";
}

// *names receives the listing that found the index.
IndexPresence indexPresence(const std::string& directory, std::vector<std::string>* names) {
  constexpr int kChecks = 20;
  for (int check = 0; check < kChecks; ++check) {
    names->clear();
    kx::ignoreError(kx::FileSystem::Default().listNames(directory, names, nullptr));
    if (std::any_of(names->begin(), names->end(), isSegmentsFileName)) {
      return IndexPresence::kPresent;
    }
    if (check == 0) {
      const bool indexFiles =
          std::any_of(names->begin(), names->end(), [](const std::string& name) {
            return name.rfind("segments", 0) == 0 || name.rfind("_", 0) == 0;
          });
      if (!indexFiles) return IndexPresence::kAbsent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + check));
  }
  return IndexPresence::kBusy;
}

// Every hit's "docID" in ranking order, each identifier once, older copies
// of a replaced document left out: a replacement commits the new document
// before it removes the old one, and a reader opened in between sees both;
// the older copy must not answer for the identifier with its old text.
// The identifiers come from the term list; a document it knows none of is
// read.
std::vector<std::string> collectIDs(IndexSearcher& searcher, Query* query,
                                    const KXSTermList& terms) {
  std::vector<std::string> ids;
  IndexReader* reader = searcher.getReader();
  const int32_t limit = std::max<int32_t>(1, reader->maxDoc());
  std::unique_ptr<TopDocs> top(searcher._search(query, nullptr, limit));
  if (!top || top->scoreDocsLength <= 0) return ids;
  const std::size_t count = static_cast<std::size_t>(top->scoreDocsLength);
  // Each hit's identifier, in the term list or, for a document the list
  // does not know, in `read`.
  std::deque<std::string> read;
  std::vector<const std::string*> byRank(count, nullptr);
  // "docID" is the first field of every document: load only it.
  LoadFirstFieldSelector firstField;
  for (std::size_t rank = 0; rank < count; ++rank) {
    const int32_t doc = top->scoreDocs[rank].doc;
    const std::string* id = terms.idOf(doc);
    if (!id) {
      LuceneDocument document;
      if (!reader->document(doc, document, &firstField)) continue;
      const wchar_t* value = document.get(kFieldID);
      if (!value) continue;
      id = &read.emplace_back(fromLibrary(value));
    }
    if (terms.isRepeatedID(*id) && terms.newestDocumentOf(*id) != doc) continue;
    byRank[rank] = id;
  }
  ids.reserve(count);
  // Two hits can share an identifier only when it is repeated in the index
  // or read from the documents.
  if (!terms.hasRepeatedIDs() && read.empty()) {
    for (const std::string* id : byRank) {
      if (id) ids.push_back(*id);
    }
    return ids;
  }
  std::unordered_set<std::string_view> seen;
  for (const std::string* id : byRank) {
    if (id && seen.insert(*id).second) ids.push_back(*id);
  }
  return ids;
}

}  // namespace

// ---------------------------------------------------------------------------

KXSLucene::StopWords KXSLucene::loadStopWords(const std::string& path) {
  StopWords words;
  std::string contents;
  kx::Error error;
  if (path.empty() || !kx::FileSystem::Default().readFile(path, &contents, &error)) {
    KXLOG("no stop words read from \"%s\": %s", path.c_str(),
          error ? error.localizedDescription().c_str() : "no path");
    return words;
  }
  std::size_t start = 0;
  while (start <= contents.size()) {
    std::size_t end = contents.find('\n', start);
    if (end == std::string::npos) end = contents.size();
    std::string_view line(contents.data() + start, end - start);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) {
      line.remove_prefix(1);
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
      line.remove_suffix(1);
    }
    if (!line.empty()) words.push_back(kx::Text::asciiLower(line));
    start = end + 1;
  }
  return words;
}

std::vector<std::string> KXSLucene::analyze(std::string_view text, const StopWords& stopWords) {
  prepareLibrary();
  std::vector<std::string> result;
  try {
    KXSAnalyzer analyzer(stopWords);
    for (const std::wstring& token : tokensOf(analyzer, toLibrary(text))) {
      result.push_back(kx::Text::fromWide(token));
    }
  } catch (CLuceneError& error) {
    KXLOG("analysis failed: %s", describeLibraryError(error).c_str());
    result.clear();
  } catch (const std::exception& error) {
    KXLOG("analysis failed: %s", error.what());
    result.clear();
  } catch (...) {
    KXLOG("analysis failed: unknown exception");
    result.clear();
  }
  return result;
}

bool KXSLucene::indexExists(const std::string& directory) {
  prepareLibrary();
  if (directory.empty()) return false;
  try {
    return IndexReader::indexExists(directory.c_str());
  } catch (CLuceneError& error) {
    KXLOG("index check of \"%s\" failed: %s", directory.c_str(),
          describeLibraryError(error).c_str());
  } catch (...) {
    KXLOG("index check of \"%s\" failed", directory.c_str());
  }
  return false;
}

bool KXSLucene::prepareForWriting(const std::string& directory, bool* create, kx::Error* error) {
  prepareLibrary();
  try {
    if (!IndexReader::indexExists(directory.c_str())) {
      if (create) *create = true;
      return true;
    }
    if (create) *create = false;
    pinDirectory(directory);
    if (IndexReader::isLocked(directory.c_str())) {
      KXLOG("breaking the stale write lock of \"%s\"", directory.c_str());
      IndexReader::unlock(directory.c_str());
    }
    return true;
  } catch (CLuceneError& e) {
    kx::SetError(error, libraryError(e, "preparing the index for writing"));
  } catch (const std::exception& e) {
    kx::SetError(error, unexpectedError("preparing the index for writing", e.what()));
  } catch (...) {
    kx::SetError(error, unexpectedError("preparing the index for writing", nullptr));
  }
  return false;
}

KXSLucene::WriteResult KXSLucene::writeDocuments(const std::string& directory, bool create,
                                                 const StopWords& stopWords,
                                                 const std::vector<Document>& documents,
                                                 const WriteLimits& limits) {
  prepareLibrary();
  WriteResult result;
  std::vector<bool> added;
  std::vector<std::wstring> wideIDs;
  std::vector<kx::Error> addErrors;
  // The text that each identifier's document must hold once the batch is
  // in: that of its last document in the batch that was added.
  std::map<std::wstring, std::wstring> expected;
  kx::Error batchError;
  const std::size_t limit = std::max<std::size_t>(1, limits.maxDocuments);
  auto logged = [](kx::Error e) {
    KXLOG("%s", e.localizedDescription().c_str());
    return e;
  };

  try {
    pinDirectory(directory);
    KXSAnalyzer analyzer(stopWords);
    WriterScope writer(directory, &analyzer, create);
    // The documents are cut before they come here; the library must not cut
    // them again, and the index keeps each field in its own files.
    writer->setMaxFieldLength(0x7FFFFFFF);
    writer->setUseCompoundFile(false);
    for (std::size_t i = 0; i < documents.size(); ++i) {
      if (i > 0 && (i >= limit || ((limits.stopPoints.empty() || limits.stopPoints[i]) &&
                                   std::chrono::steady_clock::now() >= limits.deadline))) {
        break;
      }
      const Document& document = documents[i];
      wideIDs.emplace_back();
      added.push_back(false);
      addErrors.emplace_back();
      result.taken = i + 1;
      try {
        wideIDs[i] = toLibrary(document.id);
        std::wstring content = toLibrary(document.content);
        addOne(writer.operator->(), wideIDs[i], content, toLibrary(document.category));
        added[i] = true;
        expected[wideIDs[i]] = std::move(content);
      } catch (CLuceneError& e) {
        addErrors[i] = logged(libraryError(e, "adding document \"" + document.id + "\""));
      } catch (const std::exception& e) {
        addErrors[i] = logged(unexpectedError("adding document \"" + document.id + "\"", e.what()));
      }
    }
    writer.commit(limits.optimize && result.taken == documents.size());
  } catch (CLuceneError& e) {
    batchError = logged(libraryError(e, "writing the index"));
    expected.clear();
  } catch (const std::exception& e) {
    batchError = logged(unexpectedError("writing the index", e.what()));
    expected.clear();
  } catch (...) {
    batchError = logged(unexpectedError("writing the index", nullptr));
    expected.clear();
  }
  // A writer that could not be opened takes every document it was allowed
  // to: they all failed with it.
  if (result.taken == 0) {
    result.taken = std::min(documents.size(), limit);
    wideIDs.resize(result.taken);
    added.resize(result.taken, false);
    addErrors.resize(result.taken);
  }

  std::set<std::wstring> confirmed;
  kx::Error replaceError;
  if (!expected.empty()) {
    try {
      if (const auto pause = replacementPause()) pause();
      confirmed = keepNewest(directory, expected);
    } catch (CLuceneError& e) {
      replaceError = logged(libraryError(e, "removing replaced documents"));
      confirmed.clear();
    } catch (const std::exception& e) {
      replaceError = logged(unexpectedError("removing replaced documents", e.what()));
      confirmed.clear();
    } catch (...) {
      replaceError = logged(unexpectedError("removing replaced documents", nullptr));
      confirmed.clear();
    }
  }

  result.indexed.assign(result.taken, false);
  result.errors.assign(result.taken, kx::Error());
  for (std::size_t i = 0; i < result.taken; ++i) {
    result.indexed[i] = added[i] && confirmed.count(wideIDs[i]) > 0;
    if (result.indexed[i]) continue;
    if (addErrors[i]) {
      result.errors[i] = addErrors[i];
    } else if (batchError) {
      result.errors[i] = batchError;
    } else if (replaceError) {
      result.errors[i] = replaceError;
    } else {
      result.errors[i] =
          KXSMakeError(KXSErrorLibrary, "the index does not hold every document written");
    }
  }
  return result;
}

bool KXSLucene::addDocuments(const std::string& directory, bool create, const StopWords& stopWords,
                             const std::vector<Document>& documents, std::vector<bool>* indexed,
                             kx::Error* error) {
  const WriteResult written =
      writeDocuments(directory, create, stopWords, documents, WriteLimits());
  // A document counts as indexed when the last document of the batch with
  // its identifier (its latest text) is the one the index now holds.
  std::map<std::string, std::size_t> last;
  for (std::size_t i = 0; i < written.taken; ++i) last[documents[i].id] = i;
  bool all = true;
  kx::Error firstError;
  std::vector<bool> result(documents.size(), false);
  for (std::size_t i = 0; i < written.taken; ++i) {
    result[i] = written.indexed[last[documents[i].id]];
    if (!written.indexed[i] && !firstError) firstError = written.errors[i];
    if (!result[i]) all = false;
  }
  if (!all && !firstError) {
    firstError = KXSMakeError(KXSErrorLibrary, "the index does not hold every document written");
  }
  if (indexed) *indexed = std::move(result);
  if (!all) kx::SetError(error, firstError);
  return all;
}

bool KXSLucene::removeDocuments(const std::string& directory, const std::vector<std::string>& ids,
                                kx::Error* error) {
  prepareLibrary();
  try {
    if (!IndexReader::indexExists(directory.c_str())) return true;
    pinDirectory(directory);
    ReaderPtr reader(openReader(directory));
    for (const std::string& id : ids) {
      TermPtr term = makeTerm(kFieldID, toLibrary(id));
      reader->deleteDocuments(term.get());
    }
    commitReader(reader.get());
    return true;
  } catch (CLuceneError& e) {
    kx::SetError(error, libraryError(e, "removing documents"));
  } catch (const std::exception& e) {
    kx::SetError(error, unexpectedError("removing documents", e.what()));
  } catch (...) {
    kx::SetError(error, unexpectedError("removing documents", nullptr));
  }
  KXLOG("removing %zu documents from \"%s\" failed", ids.size(), directory.c_str());
  return false;
}

std::optional<std::vector<std::string>> KXSLucene::search(const std::string& directory,
                                                          const StopWords& stopWords,
                                                          const std::string& queryText,
                                                          kx::Error* error) {
  prepareLibrary();
  const std::vector<std::string> nothingSearched;
  try {
    if (directory.empty()) return nothingSearched;
    std::vector<std::string> names;
    switch (indexPresence(directory, &names)) {
      case IndexPresence::kPresent: break;
      case IndexPresence::kAbsent:
        // The index is gone (a folder emptied to build it anew): its kept
        // searcher lets go of its files.
        keptSearchers().drop(directory);
        return nothingSearched;
      case IndexPresence::kBusy:
        kx::SetError(error,
                     KXSMakeError(KXSErrorIndexBusy,
                                  "the full-text index is being written by another process"));
        return nothingSearched;
    }
    pinDirectory(directory);
    KXSAnalyzer analyzer(stopWords);
    QueryParser parser(kFieldContent, &analyzer);
    // A gap that the analyser leaves (a separator, a removed stop word)
    // stays in the phrase it makes of a word.
    parser.setEnablePositionIncrements(true);
    const std::wstring text = toLibrary(queryText);
    const bool oneWord = !text.empty() && text.find(L' ') == std::wstring::npos;
    std::vector<std::wstring> tokens;
    if (oneWord) {
      try {
        tokens = tokensOf(analyzer, text);
      } catch (CLuceneError& e) {
        KXLOG("query \"%s\" not analysed: %s", queryText.c_str(), describeLibraryError(e).c_str());
        return nothingSearched;
      }
      // A single word that the analyser drops leaves nothing to search.
      if (tokens.empty()) return nothingSearched;
    }

    // The searcher kept from an earlier search when the index is still in
    // the state it reads, otherwise one opened now (and kept for the next).
    const std::string newest = newestSegmentsFile(names);
    SearcherLease lease(directory);
    kx::Error lastRefusal;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
      ListedTermsSearcher& searcher = lease.get(newest);
      const KXSTermList& terms = searcher.terms();
      std::unique_ptr<Query> query;
      if ((attempt == 0 || attempt == 1) && oneWord && tokens.size() == 1) {
        // The word inside any term, then at the start of one: the terms are
        // found in the list kept in memory, without walking the index's
        // dictionary again (see termList).
        const std::string word = kx::Text::fromWide(tokens.front());
        const std::size_t limit = BooleanQuery::getMaxClauseCount();
        const std::vector<std::string_view> matching =
            attempt == 0 ? terms.containing(word, limit) : terms.startingWith(word, limit);
        // More terms than a query may hold: the library would refuse the
        // search, so the next form is tried at once.
        if (matching.size() > limit) continue;
        if (matching.empty()) return std::nullopt;
        query.reset(anyOfTerms(matching));
      } else {
        try {
          query.reset(parser.parse(text.c_str()));
        } catch (CLuceneError& e) {
          // The parser refused the text: nothing to search.
          KXLOG("query \"%s\" not parsed: %s", queryText.c_str(), describeLibraryError(e).c_str());
          return nothingSearched;
        }
        if (!query) return nothingSearched;
        // Only excluded words ("NOT fox"): no document is wanted for what it
        // holds, so nothing is found.
        if (!hasPositiveClause(query.get())) return std::nullopt;
      }
      try {
        std::vector<std::string> ids = collectIDs(searcher, query.get(), terms);
        if (ids.empty()) return std::nullopt;
        return ids;
      } catch (CLuceneError& e) {
        KXLOG("search attempt %d for \"%s\" refused: %s", attempt, queryText.c_str(),
              describeLibraryError(e).c_str());
        lastRefusal = libraryError(e, "searching the index");
        // The next attempt opens the index anew.
        lease.drop();
      }
    }
    if (lastRefusal) kx::SetError(error, lastRefusal);
    return nothingSearched;
  } catch (CLuceneError& e) {
    kx::SetError(error, libraryError(e, "reading the index for searching"));
  } catch (const std::exception& e) {
    kx::SetError(error, unexpectedError("searching the index", e.what()));
  } catch (...) {
    kx::SetError(error, unexpectedError("searching the index", nullptr));
  }
  KXLOG("search in \"%s\" failed", directory.c_str());
  return nothingSearched;
}

bool KXSLucene::storedDocuments(const std::string& directory,
                                std::vector<std::map<std::string, std::string>>* documents,
                                kx::Error* error) {
  prepareLibrary();
  std::vector<std::map<std::string, std::string>> result;
  try {
    if (IndexReader::indexExists(directory.c_str())) {
      pinDirectory(directory);
      ReaderPtr reader(openReader(directory));
      const int32_t count = reader->maxDoc();
      for (int32_t n = 0; n < count; ++n) {
        if (reader->isDeleted(n)) continue;
        LuceneDocument document;
        if (!reader->document(n, document)) continue;
        std::map<std::string, std::string> fields;
        for (const wchar_t* name : {kFieldID, kFieldContent, kFieldCategory}) {
          if (const wchar_t* value = document.get(name)) {
            fields[kx::Text::fromWide(name)] = fromLibrary(value);
          }
        }
        result.push_back(std::move(fields));
      }
    }
    if (documents) *documents = std::move(result);
    return true;
  } catch (CLuceneError& e) {
    kx::SetError(error, libraryError(e, "reading the index"));
  } catch (const std::exception& e) {
    kx::SetError(error, unexpectedError("reading the index", e.what()));
  } catch (...) {
    kx::SetError(error, unexpectedError("reading the index", nullptr));
  }
  return false;
}

bool KXSLucene::indexVersion(const std::string& directory, std::int64_t* version,
                             kx::Error* error) {
  prepareLibrary();
  try {
    if (!IndexReader::indexExists(directory.c_str())) {
      kx::SetError(error, KXSMakeError(KXSErrorLibrary, "no index in \"" + directory + "\""));
      return false;
    }
    pinDirectory(directory);
    ReaderPtr reader(openReader(directory));
    if (version) *version = reader->getVersion();
    return true;
  } catch (CLuceneError& e) {
    kx::SetError(error, libraryError(e, "reading the index version"));
  } catch (const std::exception& e) {
    kx::SetError(error, unexpectedError("reading the index version", e.what()));
  } catch (...) {
    kx::SetError(error, unexpectedError("reading the index version", nullptr));
  }
  return false;
}

std::uint64_t KXSLucene::writerSessions() {
  return gWriterSessions.load(std::memory_order_relaxed);
}

std::uint64_t KXSLucene::optimizations() { return gOptimizations.load(std::memory_order_relaxed); }

std::uint64_t KXSLucene::termDictionaryWalks() {
  return gTermWalks.load(std::memory_order_relaxed);
}

void KXSLucene::setReplacementPauseForTesting(std::function<void()> pause) {
  kx::MutexLock lock(replacementPauseMutex());
  replacementPauseSlot() = std::move(pause);
}
