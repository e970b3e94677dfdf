#include "transport/vynIdHeaderList.h"

#include <vector>

#include "platform/SysUtils.h"

namespace {

bool IsFoldedLine(std::string_view s) { return !s.empty() && (s[0] == ' ' || s[0] == '\t'); }

std::string_view SpecialChars(TIdHeaderQuotingType q) {
  switch (q) {
    case TIdHeaderQuotingType::QuotePlain:
      return {};
    case TIdHeaderQuotingType::QuoteRFC822:
      return "()<>@,;:\\./\"";
    case TIdHeaderQuotingType::QuoteMIME:
      return "()<>@,;:\\/[]?=\"";
    case TIdHeaderQuotingType::QuoteHTTP:
      return "()<>@,;:\\/[]?={}\" \t";
  }
  return {};
}

// Bytes above 127 are ordinary text here: only 0..32 and 127 count as
// control characters, so UTF-8 and Latin-1 values pass untouched.
bool IsCtlOrSpace(unsigned char c) { return c <= 32 || c == 127; }
bool IsSpecial(unsigned char c, TIdHeaderQuotingType q) {
  return c < 128 && SpecialChars(q).find(static_cast<char>(c)) != std::string_view::npos;
}

// Breaks a long line after a blank or comma outside quotes, continuing with
// CR LF and one space.
std::string WrapLine(const std::string& aLine, std::int32_t aMaxLen) {
  if (aMaxLen <= 0 || static_cast<std::int64_t>(aLine.size()) <= aMaxLen) return aLine;
  std::string out;
  std::size_t lineStart = 0, lastBreak = std::string::npos;
  bool inQuote = false;
  for (std::size_t i = 0; i < aLine.size(); ++i) {
    const char c = aLine[i];
    if (c == '\r' && i + 1 < aLine.size() && aLine[i + 1] == '\n') {
      out.append(aLine, lineStart, i + 2 - lineStart);
      lineStart = i + 2;
      lastBreak = std::string::npos;
      ++i;
      continue;
    }
    if (c == '"') inQuote = !inQuote;
    if (!inQuote && (c == ' ' || c == '\t' || c == ',') && i > lineStart) lastBreak = i;
    if (static_cast<std::int64_t>(i - lineStart) >= aMaxLen && lastBreak != std::string::npos) {
      out.append(aLine, lineStart, lastBreak + 1 - lineStart);
      out += "\r\n ";
      lineStart = lastBreak + 1;
      while (lineStart < aLine.size() && (aLine[lineStart] == ' ' || aLine[lineStart] == '\t')) ++lineStart;
      lastBreak = std::string::npos;
      if (i < lineStart) i = lineStart - 1;
    }
  }
  out.append(aLine, lineStart);
  return out;
}

// Splits a header line at its line breaks. Every piece after the first is
// kept as a continuation line (it starts with a blank), and empty pieces are
// dropped: a break inside a value must never start a new header or end the
// header block.
std::vector<std::string> SplitAtBreaks(std::string_view aLine) {
  std::vector<std::string> out;
  std::size_t i = 0;
  bool first = true;
  while (true) {
    std::size_t j = i;
    while (j < aLine.size() && aLine[j] != '\r' && aLine[j] != '\n') ++j;
    std::string piece = TrimRight(aLine.substr(i, j - i));
    if (first) {
      out.push_back(std::move(piece));
      first = false;
    } else if (!Trim(piece).empty()) {
      if (!IsFoldedLine(piece)) piece.insert(piece.begin(), ' ');
      out.push_back(std::move(piece));
    }
    if (j >= aLine.size()) break;
    if (aLine[j] == '\r' && j + 1 < aLine.size() && aLine[j + 1] == '\n') ++j;
    i = j + 1;
  }
  return out;
}

// The name part of a header line, without a copy.
std::string_view NameOfLine(std::string_view aLine) {
  const auto p = aLine.find(':');
  return p == std::string_view::npos ? std::string_view() : TrimRightView(aLine.substr(0, p));
}

bool HasBreak(std::string_view s) {
  for (char c : s)
    if (c == '\r' || c == '\n') return true;
  return false;
}

// A header name never carries a line break or a colon of its own.
std::string CleanName(std::string_view aName) {
  std::string s;
  for (char c : aName)
    if (c != '\r' && c != '\n') s += c;
  return s;
}

struct SubItem {
  std::string Name;
  std::string Value;
  bool Quoted = false;
};

void SplitHeaderSubItems(std::string_view aValue, std::string& aMain, std::vector<SubItem>& aItems,
                         TIdHeaderQuotingType q) {
  aItems.clear();
  const std::size_t semi = aValue.find(';');
  aMain = Trim(aValue.substr(0, semi));
  if (semi == std::string_view::npos) return;
  const std::string_view s = aValue.substr(semi + 1);
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= n) break;
    std::size_t j = i;
    while (j < n && s[j] != '=' && s[j] != ';') ++j;
    if (j >= n) break;  // a trailing name without "=" has no value
    SubItem item;
    item.Name = Trim(s.substr(i, j - i));
    if (s[j] == ';') {  // a name without "=" has no value and is dropped
      i = j + 1;
      continue;
    }
    i = j + 1;
    if (i < n && s[i] == '"') {
      item.Quoted = true;
      ++i;
      while (i < n && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < n) ++i;
        item.Value += s[i];
        ++i;
      }
      if (i < n) ++i;  // the closing quote
      while (i < n && s[i] != ';') ++i;
      if (i < n) ++i;
    } else {
      const std::size_t start = i;
      while (i < n && !IsCtlOrSpace(static_cast<unsigned char>(s[i])) &&
             !IsSpecial(static_cast<unsigned char>(s[i]), q))
        ++i;
      item.Value.assign(s.substr(start, i - start));
      if (i < n && s[i] == ';') ++i;
    }
    if (item.Name.empty() || (!item.Quoted && item.Value.empty())) continue;
    aItems.push_back(std::move(item));
  }
}

std::string JoinHeaderSubItems(const std::string& aMain, const std::vector<SubItem>& aItems, TIdHeaderQuotingType q) {
  if (aMain.empty()) return {};
  std::string out = aMain;
  for (const auto& item : aItems) {
    out += "; ";
    out += item.Name;
    out += '=';
    out += QuoteHeaderValue(item.Value, q, item.Quoted);
  }
  return out;
}

}  // namespace

TIdHeaderQuotingType EffectiveQuoteType(std::string_view AHeaderName, TIdHeaderQuotingType AQuoteType) {
  const bool mimeHeader = SameText(AHeaderName, "Content-Type") || SameText(AHeaderName, "Content-Disposition");
  if (AQuoteType == TIdHeaderQuotingType::QuoteRFC822 && mimeHeader) return TIdHeaderQuotingType::QuoteMIME;
  if (AQuoteType == TIdHeaderQuotingType::QuoteMIME && !mimeHeader) return TIdHeaderQuotingType::QuoteRFC822;
  return AQuoteType;
}

std::string QuoteHeaderValue(std::string_view AValue, TIdHeaderQuotingType AQuoteType, bool AWasQuoted) {
  if (AValue.empty()) return AWasQuoted ? "\"\"" : "";
  const bool escapeCR =
      AQuoteType == TIdHeaderQuotingType::QuoteRFC822 || AQuoteType == TIdHeaderQuotingType::QuoteMIME;
  bool quote = AWasQuoted;
  std::string body;
  for (char ch : AValue) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\' || (escapeCR && ch == '\r')) {
      body += '\\';
      quote = true;
    } else if (IsCtlOrSpace(c) || IsSpecial(c, AQuoteType)) {
      quote = true;
    }
    body += ch;
  }
  return quote ? "\"" + body + "\"" : body;
}

std::string ExtractHeaderSubItem(std::string_view AHeaderLine, std::string_view ASubItem,
                                 TIdHeaderQuotingType AQuoteType) {
  std::string main;
  std::vector<SubItem> items;
  SplitHeaderSubItems(AHeaderLine, main, items, AQuoteType);
  for (const auto& item : items)
    if (SameText(item.Name, ASubItem)) return item.Value;
  return {};
}

std::string ReplaceHeaderSubItem(std::string_view AHeaderLine, std::string_view ASubItem, std::string_view AValue,
                                 TIdHeaderQuotingType AQuoteType) {
  std::string main;
  std::vector<SubItem> items;
  SplitHeaderSubItems(AHeaderLine, main, items, AQuoteType);
  const std::string value = Trim(AValue);
  std::size_t found = items.size();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (SameText(items[i].Name, ASubItem)) {
      found = i;
      break;
    }
  }
  if (value.empty()) {
    if (found == items.size()) return std::string(AHeaderLine);
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(found));
  } else if (found < items.size()) {
    items[found].Value = value;
  } else {
    items.push_back({std::string(ASubItem), value, false});
  }
  return JoinHeaderSubItems(main, items, AQuoteType);
}

// ---------------------------------------------------------------------------

TIdHeaderList::TIdHeaderList(TIdHeaderQuotingType AQuoteType) : FQuoteType(AQuoteType) {
  if (AQuoteType == TIdHeaderQuotingType::QuoteHTTP) FFoldLinesLength = std::numeric_limits<std::int32_t>::max();
}

void TIdHeaderList::AddValue(std::string_view AName, std::string_view AValue) {
  if (AName.empty() || AValue.empty()) return;
  if (!HasBreak(AName) && !HasBreak(AValue)) {
    Add(JoinLine(AName, AValue));
    return;
  }
  for (auto& line : SplitAtBreaks(CleanName(AName) + FNameValueSeparator + std::string(AValue))) Add(std::move(line));
}

// "AName: AValue" as one line, right-trimmed as a split line would be; for a
// name and value without line breaks.
std::string TIdHeaderList::JoinLine(std::string_view AName, std::string_view AValue) const {
  std::string line;
  line.reserve(AName.size() + FNameValueSeparator.size() + AValue.size());
  line.append(AName).append(FNameValueSeparator).append(AValue);
  line.resize(TrimRightView(line).size());
  return line;
}

std::string TIdHeaderList::Names(int AIndex) const { return std::string(NameOfLine(Strings(AIndex))); }

int TIdHeaderList::IndexOfName(std::string_view AName) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = FItems[static_cast<std::size_t>(i)];
    // A continuation line is part of the value above it, never a header.
    if (IsFoldedLine(line)) continue;
    // Most lines differ right after where AName would end: looked at
    // before the colon is searched for.
    if (!AName.empty()) {
      if (line.size() <= AName.size()) continue;
      const char after = line[AName.size()];
      if (after != ':' && static_cast<unsigned char>(after) > ' ') continue;
    }
    if (SameText(NameOfLine(line), AName)) return i;
  }
  return -1;
}

std::string TIdHeaderList::GetValueFromLine(int& VLine) const {
  if (VLine < 0 || VLine >= Count()) return {};
  const std::string& line = Strings(VLine);
  const auto p = line.find(':');
  const std::string_view first = p == std::string::npos ? std::string_view() : std::string_view(line).substr(p + 1);
  const bool folded = FUnfoldLines && VLine + 1 < Count() && IsFoldedLine(Strings(VLine + 1));
  if (!folded) return std::string(TrimView(first));
  std::string value(TrimLeftView(first));
  if (FUnfoldLines) {
    // value trimmed + " " + continuation trimmed, built in place: a header
    // of many continuation lines must not cost quadratic time.
    while (VLine + 1 < Count() && IsFoldedLine(Strings(VLine + 1))) {
      ++VLine;
      while (!value.empty() && static_cast<unsigned char>(value.back()) <= ' ') value.pop_back();
      const std::string part = Trim(Strings(VLine));
      if (value.empty()) {
        value = part.empty() ? std::string(" ") : part;
      } else {
        value += ' ';
        value += part;
      }
    }
  }
  return Trim(value);
}

std::string TIdHeaderList::Values(std::string_view AName) const {
  int i = IndexOfName(AName);
  return i < 0 ? std::string() : GetValueFromLine(i);
}

void TIdHeaderList::DeleteFoldedLines(int AIndex) {
  int last = AIndex;
  while (last + 1 < Count() && IsFoldedLine(Strings(last + 1))) ++last;
  if (last > AIndex) FItems.erase(FItems.begin() + AIndex + 1, FItems.begin() + last + 1);
}

void TIdHeaderList::SetValue(std::string_view AName, std::string_view AValue) {
  const int i = IndexOfName(AName);
  if (AValue.empty()) {
    if (i >= 0) {
      DeleteFoldedLines(i);
      Delete(i);
    }
    return;
  }
  if (!HasBreak(AName) && !HasBreak(AValue) &&
      (!FFoldLines || FFoldLinesLength <= 0 ||
       AName.size() + FNameValueSeparator.size() + AValue.size() <= static_cast<std::size_t>(FFoldLinesLength))) {
    // One line, nothing to wrap or split: the common case, without the
    // general path's copies.
    if (i < 0) {
      Add(JoinLine(AName, AValue));
    } else {
      DeleteFoldedLines(i);
      Put(i, JoinLine(AName, AValue));
    }
    return;
  }
  std::string line = CleanName(AName) + FNameValueSeparator + std::string(AValue);
  if (FFoldLines) line = WrapLine(line, FFoldLinesLength);
  std::vector<std::string> lines = SplitAtBreaks(line);
  if (i < 0) {
    for (auto& l : lines) Add(std::move(l));
    return;
  }
  DeleteFoldedLines(i);
  Put(i, std::move(lines.front()));
  for (std::size_t k = 1; k < lines.size(); ++k) Insert(i + static_cast<int>(k), std::move(lines[k]));
}

void TIdHeaderList::Extract(std::string_view AName, TStrings& ADest) const {
  for (int i = 0; i < Count(); ++i) {
    if (IsFoldedLine(Strings(i)) || !SameText(Names(i), AName)) continue;
    int line = i;
    ADest.Add(GetValueFromLine(line));
    i = line;
  }
}

std::string TIdHeaderList::GetParam(std::string_view AName, std::string_view AParam) const {
  return ExtractHeaderSubItem(Values(AName), AParam, EffectiveQuoteType(AName, FQuoteType));
}

void TIdHeaderList::SetParam(std::string_view AName, std::string_view AParam, std::string_view AValue) {
  const std::string old = Values(AName);
  const std::string updated = ReplaceHeaderSubItem(old, AParam, AValue, EffectiveQuoteType(AName, FQuoteType));
  if (updated != old) SetValue(AName, updated);
}

std::string TIdHeaderList::GetAllParams(std::string_view AName) const {
  const std::string v = Values(AName);
  const auto p = v.find(';');
  return p == std::string::npos ? std::string() : Trim(std::string_view(v).substr(p + 1));
}

void TIdHeaderList::SetAllParams(std::string_view AName, std::string_view AValue) {
  if (IndexOfName(AName) < 0) return;
  const std::string v = Values(AName);
  std::string main = Trim(std::string_view(v).substr(0, v.find(';')));
  const std::string params = Trim(AValue);
  if (!params.empty()) main += "; " + params;
  SetValue(AName, main);
}

void TIdHeaderList::AddStrings(const TStrings& AStrings) {
  if (dynamic_cast<const TIdHeaderList*>(&AStrings)) {
    TStringList::AddStrings(AStrings);
  } else {
    AddStdValues(AStrings);
  }
}

void TIdHeaderList::AddStdValues(const TStrings& ASrc) {
  for (const std::string& item : ASrc) {
    const auto p = item.find('=');
    if (p == std::string::npos) continue;
    AddValue(std::string_view(item).substr(0, p), std::string_view(item).substr(p + 1));
  }
}

void TIdHeaderList::ConvertToStdValues(TStrings& ADest) const {
  for (int i = 0; i < Count(); ++i) {
    if (IsFoldedLine(Strings(i))) continue;
    const std::string name = Names(i);
    int line = i;
    std::string value = GetValueFromLine(line);
    i = line;
    if (name.empty()) continue;
    ADest.Add(name + "=" + value);
  }
}
