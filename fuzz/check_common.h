// What the fuzz checks share: the list of faults found and how an input is
// shown in a report.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz_check {

// One line per property that did not hold; empty when all held.
using Faults = std::vector<std::string>;

// Enough of a text to recognise it in a report; bytes outside printable
// ASCII are shown as \xHH.
inline std::string Excerpt(std::string_view aText, std::size_t aMax = 160) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < aText.size() && i < aMax; ++i) {
    const unsigned char c = static_cast<unsigned char>(aText[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  out += '"';
  if (aText.size() > aMax) out += "... (" + std::to_string(aText.size()) + " bytes)";
  return out;
}

}  // namespace fuzz_check
