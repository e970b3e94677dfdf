// The text tests the request dispatch uses on gathered request lines: a
// wildcard match and a substring test, both ignoring ASCII letter case.
#pragma once

#include <string_view>

namespace detail {

// True when aText matches aPattern as a whole; "*" in the pattern stands for
// any run of characters (also none). Letter case is ignored. Linear in the
// text for every pattern of the dispatch (no backtracking blow-up).
bool WildcardMatch(std::string_view aText, std::string_view aPattern);

// True when aSub occurs in aText, ignoring letter case.
bool ContainsText(std::string_view aText, std::string_view aSub);

}  // namespace detail
