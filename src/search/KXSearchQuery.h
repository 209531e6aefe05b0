// KXSearchQuery is the dictionary with which callers ask the searcher for
// documents: "keywords" (the user's words as typed, required) and
// "category" (a category path whose first character is dropped before use;
// absent or empty means the whole index).
//
// Thread safety: a plain value (kx::Value).
#ifndef ZN_SEARCH_KXSEARCHQUERY_H_
#define ZN_SEARCH_KXSEARCHQUERY_H_

#include "platform/Value.h"

using KXSearchQuery = kx::Value;

inline constexpr const char* KXSearchQueryKeywordsKey = "keywords";
inline constexpr const char* KXSearchQueryCategoryKey = "category";

#endif  // ZN_SEARCH_KXSEARCHQUERY_H_
