#include "server/vynWSMatch.h"

#include <cstddef>

namespace detail {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameChar(char a, char b) { return Lower(a) == Lower(b); }

// Position of aSub in aText at or after aFrom, ignoring case; npos if none.
std::size_t FindText(std::string_view aText, std::string_view aSub, std::size_t aFrom) {
  if (aSub.empty()) return aFrom <= aText.size() ? aFrom : std::string_view::npos;
  if (aSub.size() > aText.size()) return std::string_view::npos;
  for (std::size_t i = aFrom; i + aSub.size() <= aText.size(); ++i) {
    std::size_t k = 0;
    while (k < aSub.size() && SameChar(aText[i + k], aSub[k])) ++k;
    if (k == aSub.size()) return i;
  }
  return std::string_view::npos;
}

}  // namespace

bool WildcardMatch(std::string_view aText, std::string_view aPattern) {
  // The pattern is split at its stars: the first piece must start the text,
  // the last must end it, and the pieces between are found left to right
  // (the leftmost occurrence is always the best choice, so no backtracking).
  std::size_t star = aPattern.find('*');
  if (star == std::string_view::npos) {
    if (aText.size() != aPattern.size()) return false;
    for (std::size_t i = 0; i < aText.size(); ++i)
      if (!SameChar(aText[i], aPattern[i])) return false;
    return true;
  }
  const std::string_view head = aPattern.substr(0, star);
  const std::size_t lastStar = aPattern.rfind('*');
  const std::string_view tail = aPattern.substr(lastStar + 1);
  if (head.size() + tail.size() > aText.size()) return false;
  for (std::size_t i = 0; i < head.size(); ++i)
    if (!SameChar(aText[i], head[i])) return false;
  const std::size_t tailStart = aText.size() - tail.size();
  for (std::size_t i = 0; i < tail.size(); ++i)
    if (!SameChar(aText[tailStart + i], tail[i])) return false;
  std::size_t pos = head.size();
  std::size_t p = star + 1;
  while (p < lastStar) {
    std::size_t next = aPattern.find('*', p);
    const std::string_view piece = aPattern.substr(p, next - p);
    p = next + 1;
    if (piece.empty()) continue;
    const std::size_t at = FindText(aText.substr(0, tailStart), piece, pos);
    if (at == std::string_view::npos) return false;
    pos = at + piece.size();
  }
  return true;
}

bool ContainsText(std::string_view aText, std::string_view aSub) {
  return FindText(aText, aSub, 0) != std::string_view::npos;
}

}  // namespace detail
