// KXDataClient: free titles for new entries beside their siblings.
#include <limits>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXRegularExpression.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataClientInternal.h"
#include "Data/Notebook.h"
#include "platform/Text.h"

using namespace kx_data_client;

namespace {

constexpr const char* kDupTitleCondition =
    "(del = NO) AND (title = %@) AND (parentId = %@) AND (fileId <> %@)";
constexpr const char* kSiblingsCondition = "(del = NO) AND (parentId = %@) AND (fileId <> %@)";

kx::Dictionary DupTitleInfo(bool isDup, std::string newTitle, std::string dupFileId) {
  return kx::Dictionary{{kKXDupTitleIsDupKey, kx::Value(isDup)},
                        {kKXDupTitleNewTitleKey, kx::Value(std::move(newTitle))},
                        {kKXDupTitleDupFileIdKey, kx::Value(std::move(dupFileId))}};
}

}  // namespace

// ---------------------------------------------------------------------------
// Duplicate titles
// ---------------------------------------------------------------------------

kx::Dictionary KXDataClient::titleOfDuplicateTitle(const std::optional<std::string>& title,
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
  onReadQueue([&](KXManagedObjectContext* context) {
    // One fetch answers the common case, a free title. When it is taken, the
    // folder's titles are read once and the numbered forms tried in memory,
    // all within this one block, so the answer reflects one state.
    KXManagedObjectPtr holder =
        FetchFirst(*context, className, kDupTitleCondition,
                   {kx::Value(asked), kx::Value(*parentId), kx::Value(overlook)});
    if (!holder) return;
    const std::string dupFileId = holder->stringValue("fileId");

    std::unordered_set<std::string> taken{asked};
    for (const KXManagedObjectPtr& sibling : Fetch(*context, className, kSiblingsCondition,
                                                   {kx::Value(*parentId), kx::Value(overlook)})) {
      if (!sibling->isNil("title")) taken.insert(sibling->stringValue("title"));
    }

    const bool fileForm = className == "Note" || className == "NormalFile";
    NSStringDupTitle::Comps comps = fileForm ? NSStringDupTitle::dupFileTitleComps(asked)
                                             : NSStringDupTitle::dupTitleComps(asked);
    std::string candidate = asked;
    for (int tries = 0; tries < kMaxDupTitleTries && taken.count(candidate); ++tries) {
      if (comps.counter == std::numeric_limits<std::int64_t>::max()) {
        // The number cannot grow: number the whole title afresh instead.
        std::string stem = asked;
        if (!comps.tail.empty() && stem.ends_with(comps.tail)) {
          stem.resize(stem.size() - comps.tail.size());
        }
        comps.base = std::move(stem);
        comps.counter = 0;
      }
      ++comps.counter;
      candidate = NSStringDupTitle::dupTitleFromComps(comps);
    }
    answer = DupTitleInfo(true, candidate, dupFileId);
  });
  return answer;
}

std::string KXDataClient::titleOfDuplicateNotebookTitle(const std::string& title) {
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
  return KXDataClient::title(title, titles);
}

std::string KXDataClient::title(const std::string& title, const std::vector<std::string>& titles) {
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

std::string KXDataClient::titleOfDuplicateNoteGroupTitle(const std::string&) {
  throw kx::Exception(kInternalInconsistency, kShouldNotBeCalled);
}
