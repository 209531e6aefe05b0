// KXEntryReads: free titles for new entries beside their siblings.
#include <limits>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXRegularExpression.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryReadsInternal.h"
#include "Data/entities/Notebook.h"
#include "platform/Text.h"

using namespace kx_data_client;

namespace {

constexpr const char* kDupTitleCondition =
    "(del = NO) AND (title = %@) AND (parentId = %@) AND (fileId <> %@)";
// The titles of a folder that begin with a given text: a range of the
// folder's part of the (parentId, title) index, so the lookup costs the same
// in a folder of ten entries as in one of a hundred thousand.
constexpr const char* kTitleRangeCondition =
    "(del = NO) AND (title >= %@) AND (title < %@) AND (parentId = %@) AND (fileId <> %@)";

// The numbered titles that follow a taken one, in the order they are tried:
// the number the title carries plus one, plus two, and so on.
class NumberedTitles {
 public:
  NumberedTitles(std::string asked, bool fileForm)
      : asked_(std::move(asked)),
        comps_(fileForm ? NSStringDupTitle::dupFileTitleComps(asked_)
                        : NSStringDupTitle::dupTitleComps(asked_)) {}

  // Builds the next title; answers it.
  const std::string& next() {
    if (comps_.counter == std::numeric_limits<std::int64_t>::max()) {
      // The number cannot grow: number the whole title afresh instead.
      std::string stem = asked_;
      if (!comps_.tail.empty() && stem.ends_with(comps_.tail)) {
        stem.resize(stem.size() - comps_.tail.size());
      }
      comps_.base = std::move(stem);
      comps_.counter = 0;
    }
    ++comps_.counter;
    current_ = NSStringDupTitle::dupTitleFromComps(comps_);
    ++built_;
    return current_;
  }
  const std::string& current() const { return current_; }
  int built() const { return built_; }

  // The text before the number of the current title, up to and including
  // its "(": every title numbered from the same (cut) stem begins with it.
  std::string stemPrefix() const {
    const std::size_t numberBytes =
        kx::Text::toString(comps_.counter).size() + 1;  // digits and ")"
    return current_.substr(0, current_.size() - comps_.tail.size() - numberBytes);
  }

 private:
  std::string asked_;
  NSStringDupTitle::Comps comps_;
  std::string current_;
  int built_ = 0;
};

kx::Dictionary DupTitleInfo(bool isDup, std::string newTitle, std::string dupFileId) {
  return kx::Dictionary{{kKXDupTitleIsDupKey, kx::Value(isDup)},
                        {kKXDupTitleNewTitleKey, kx::Value(std::move(newTitle))},
                        {kKXDupTitleDupFileIdKey, kx::Value(std::move(dupFileId))}};
}

}  // namespace

// ---------------------------------------------------------------------------
// Duplicate titles
// ---------------------------------------------------------------------------

kx::Dictionary KXEntryReads::titleOfDuplicateTitle(const std::optional<std::string>& title,
                                                   const std::optional<std::string>& parentId,
                                                   const std::optional<std::string>& overLookFileId,
                                                   const std::string& className) {
  static const std::string kEmptyTitle = "emptyTitle";
  const std::string asked = title.value_or(kEmptyTitle);
  if (!parentId) {
    KXLOG("parentId is nil (title check of \"%s\")", asked.c_str());
    return DupTitleInfo(false, asked, "");
  }
  // Hidden folders ("-2") keep whatever titles they are given.
  if (kx::Value(*parentId).intValue() < 0) return DupTitleInfo(false, asked, "");
  const std::string overlook = overLookFileId.value_or("");

  kx::Dictionary answer = DupTitleInfo(false, asked, "");
  auto lookUp = [&](KXManagedObjectContext* context) {
    // One indexed lookup answers the common case, a free title. When it is
    // taken, the numbered forms share a prefix ("Plan(" for "Plan.note"),
    // so one range lookup reads every one the folder holds and they are
    // tried in memory, in the order one lookup each would try them. A long
    // stem is cut shorter once the number gains a digit; then the new
    // prefix is read. All within this one block, so the answer reflects one
    // state of the store.
    KXManagedObjectPtr holder =
        FetchFirst(*context, className, kDupTitleCondition,
                   {kx::Value(asked), kx::Value(*parentId), kx::Value(overlook)});
    if (!holder) return;
    const std::string dupFileId = holder->stringValue("fileId");

    const bool fileForm = className == "Note" || className == "NormalFile";
    NumberedTitles candidates(asked, fileForm);
    candidates.next();
    // The asked title was the first try; the last title built is the answer
    // even when it is taken too.
    bool done = false;
    while (!done) {
      const std::string prefix = candidates.stemPrefix();
      std::string end = prefix;
      end.back() = ')';  // the first text after every one that begins with the prefix
      std::unordered_set<std::string> taken;
      for (const KXManagedObjectPtr& sibling :
           Fetch(*context, className, kTitleRangeCondition,
                 {kx::Value(prefix), kx::Value(end), kx::Value(*parentId), kx::Value(overlook)})) {
        if (!sibling->isNil("title")) taken.insert(sibling->stringValue("title"));
      }
      for (;;) {
        if (candidates.built() >= kMaxDupTitleTries || !taken.count(candidates.current())) {
          done = true;
          break;
        }
        candidates.next();
        if (!candidates.current().starts_with(prefix)) break;
      }
    }
    answer = DupTitleInfo(true, candidates.current(), dupFileId);
  };
  onReadQueue(lookUp);
  return answer;
}

std::string KXEntryReads::titleOfDuplicateNotebookTitle(const std::string& title) {
  std::optional<KXRegularExpression> pattern = KXRegularExpression::make(
      "^" + KXRegularExpression::escapedPattern(title) + "(?:\\[\\d+])?$");
  std::vector<std::string> titles;
  onReadQueue([&](KXManagedObjectContext* context) {
    if (!pattern) return;
    for (const KXManagedObjectPtr& notebook : Fetch(*context, "Notebook", "del = NO", {})) {
      if (notebook->isNil("title")) continue;
      std::string candidate = notebook->stringValue("title");
      std::optional<KXRegularExpression::Match> match = pattern->firstMatch(candidate);
      if (match && match->byteRanges[0].length == candidate.size()) {
        titles.push_back(std::move(candidate));
      }
    }
  });
  return KXEntryReads::title(title, titles);
}

std::string KXEntryReads::title(const std::string& title, const std::vector<std::string>& titles) {
  if (titles.empty()) return title;
  std::int64_t maximum = 0;
  bool allBracketed = true;
  for (const std::string& other : titles) {
    const std::size_t open = other.find('[');
    const std::size_t close = open == std::string::npos ? open : other.find(']', open);
    if (close == std::string::npos) {
      allBracketed = false;
      continue;
    }
    // The number between the first "[" and the first "]" after it.
    const std::int64_t number =
        kx::Text::leadingInt64(std::string_view(other).substr(open + 1, close - open - 1));
    maximum = std::max(maximum, number);
  }
  if (!allBracketed) {
    const std::int64_t next =
        maximum == std::numeric_limits<std::int64_t>::max() ? maximum : maximum + 1;
    return title + "[" + kx::Text::toString(next) + "]";
  }
  const std::size_t open = title.find('[');
  return open == std::string::npos ? title : title.substr(0, open);
}

std::string KXEntryReads::titleOfDuplicateNoteGroupTitle(const std::string&) {
  throw kx::Exception(kInternalInconsistency, kShouldNotBeCalled);
}
