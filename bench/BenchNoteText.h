// The benchmarks' generated notes: 2 to 4 KB of mixed Chinese and English
// text from a deterministic generator, so that the search and index rebuild
// benchmarks measure the same kind of documents.
//
// Thread safety: one generator per thread.
#ifndef ZN_BENCH_BENCHNOTETEXT_H_
#define ZN_BENCH_BENCHNOTETEXT_H_

#include <string>

#include "BenchRandom.h"
#include "platform/Text.h"
#include "search/KXSTextUtil.h"

namespace znbench {

inline const char* const kEnglish[] = {
    "meeting", "notes",    "project",  "plan",     "review",   "weekly",   "report",   "design",
    "product", "release",  "customer", "feedback", "budget",   "schedule", "research", "reading",
    "travel",  "summary",  "draft",    "idea",     "list",     "team",     "goal",     "quarter",
    "metrics", "launch",   "server",   "client",   "database", "search",   "index",    "sync",
    "upload",  "download", "backup",   "monday",   "tuesday",  "friday",   "morning",  "evening",
    "today",   "tomorrow", "deadline", "problem",  "solution", "question", "answer",   "important",
    "urgent",  "follow",   "update"};

inline const char* const kPhrases[] = {"会议记录", "项目计划", "读书笔记", "周报总结", "旅行清单",
                                       "产品设计", "需求文档", "年度目标", "学习资料", "工作日志"};

// Common Han characters, from which sentences are drawn.
inline std::string hanCharacter(BenchRandom& r) {
  static const std::u32string kPool =
      U"的一是了我不人在他有这个上们来到时大地为子中你说生国年着就那和要她出也得里后自以会家可下而"
      U"过天去能对小多"
      U"然于心学么之都好看起发当没成只如事把还用第样道想作种开美总从无情己面最女但现前些所同日手又"
      U"行意动方期它头经长"
      U"儿回位分爱老因很给名法间斯知世什两次使身者被高已亲其进此话常与活正感见明问力理尔点文几定本"
      U"公特做外孩相西果走"
      U"将月十实向声车全信重三机工物气每并别真打太新比才便夫再书部水像眼等体却加电主界门利海受听表"
      U"德少克代员许稜先口"
      U"记议计划项目读笔周报总结旅清单产品设需求档资料整度标复盘课程研究案";
  return kx::Text::fromUtf32(std::u32string(1, kPool[r.below(kPool.size())]));
}

inline std::string englishWord(BenchRandom& r) {
  // Mostly common words, some made-up ones so that the vocabulary is large.
  if (r.below(4) == 0) {
    static const char* const kSyllables[] = {"ka",  "ro",  "mi",  "tan", "ver", "lo",  "pre", "sul",
                                             "den", "gra", "pho", "tri", "nex", "bal", "cor"};
    std::string word;
    const int n = 2 + static_cast<int>(r.below(3));
    for (int i = 0; i < n; ++i) word += kSyllables[r.below(sizeof kSyllables / sizeof *kSyllables)];
    return word;
  }
  return kEnglish[r.below(sizeof kEnglish / sizeof *kEnglish)];
}

// A note of 2 to 4 KB: Chinese sentences and English sentences in turn, a
// common phrase now and then, as a content file holds it.
inline std::string rawNoteText(BenchRandom& r) {
  std::string text;
  const std::size_t target = 2048 + r.below(2048);
  while (text.size() < target) {
    if (r.below(2) == 0) {
      const int n = 10 + static_cast<int>(r.below(30));
      for (int i = 0; i < n; ++i) {
        if (r.below(25) == 0) {
          text += kPhrases[r.below(sizeof kPhrases / sizeof *kPhrases)];
        } else {
          text += hanCharacter(r);
        }
      }
      text += "。";
    } else {
      const int n = 6 + static_cast<int>(r.below(14));
      for (int i = 0; i < n; ++i) {
        text += englishWord(r);
        text += i + 1 < n ? " " : ". ";
      }
    }
  }
  return text;
}

// The same text with the blank before each run of non-Latin characters that
// the data client puts there before indexing.
inline std::string noteText(BenchRandom& r) { return KXSTextUtil::spacedText(rawNoteText(r)); }

}  // namespace znbench

#endif  // ZN_BENCH_BENCHNOTETEXT_H_
