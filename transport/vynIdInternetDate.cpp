#include "transport/vynIdInternetDate.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/SysUtils.h"

namespace {

struct ZoneRow {
  const char* Name;
  int Minutes;
};

// Zone names in alphabetical order; the first row whose name matches wins.
// The North American and universal names have their RFC 5322 offsets; the
// single letters are the military zones (A..M east, N..Y west, Z = UTC).
const ZoneRow kZones[] = {
    {"A", 60},      {"ACDT", 630}, {"ACST", 570}, {"ADT", -180}, {"AEDT", 660}, {"AEST", 600}, {"AKDT", -480},
    {"AKST", -540}, {"AST", -240}, {"AWST", 480}, {"B", 120},    {"BST", 60},   {"C", 180},    {"CAT", 120},
    {"CDT", -300},  {"CEST", 120}, {"CET", 60},   {"CST", -360}, {"D", 240},    {"E", 300},    {"EAT", 180},
    {"EDT", -240},  {"EEST", 180}, {"EET", 120},  {"EST", -300}, {"F", 360},    {"G", 420},    {"GMT", 0},
    {"H", 480},     {"HDT", -540}, {"HKT", 480},  {"HST", -600}, {"I", 540},    {"IST", 330},  {"JST", 540},
    {"K", 600},     {"KST", 540},  {"L", 660},    {"M", 720},    {"MDT", -360}, {"MSK", 180},  {"MST", -420},
    {"N", -60},     {"NDT", -150}, {"NST", -210}, {"NZDT", 780}, {"NZST", 720}, {"O", -120},   {"P", -180},
    {"PDT", -420},  {"PST", -480}, {"Q", -240},   {"R", -300},   {"S", -360},   {"SAST", 120}, {"SGT", 480},
    {"T", -420},    {"U", -480},   {"UT", 0},     {"UTC", 0},    {"V", -540},   {"W", -600},   {"WAT", 60},
    {"WEST", 60},   {"WET", 0},    {"X", -660},   {"Y", -720},   {"Z", 0},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsDigit(c)) return false;
  return true;
}
bool AllAlpha(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsAlpha(c)) return false;
  return true;
}
// Small decimal numbers only (at most 9 digits), so no overflow.
bool ToInt(std::string_view s, int& v) {
  if (!AllDigits(s) || s.size() > 9) return false;
  v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return true;
}

int DayNameIndex(std::string_view s) {
  if (s.size() < 3) return -1;
  for (int i = 0; i < 7; ++i)
    if (SameText(s.substr(0, 3), kDayShortNames[i])) return i;
  return -1;
}

// "+hhmm", "+hh:mm" or "+hh" (or with "-").
bool NumericZone(std::string_view s, int& aMinutes) {
  if (s.size() < 2 || (s[0] != '+' && s[0] != '-')) return false;
  const int sign = s[0] == '-' ? -1 : 1;
  std::string_view d = s.substr(1);
  int h = 0, m = 0;
  if (d.size() == 5 && d[2] == ':') {
    if (!ToInt(d.substr(0, 2), h) || !ToInt(d.substr(3, 2), m)) return false;
  } else if (d.size() == 4) {
    if (!ToInt(d.substr(0, 2), h) || !ToInt(d.substr(2, 2), m)) return false;
  } else if (d.size() == 2 || d.size() == 1) {
    if (!ToInt(d, h)) return false;
  } else {
    return false;
  }
  if (h > 23 || m > 59) return false;
  aMinutes = sign * (h * 60 + m);
  return true;
}

// h:m[:s] or h.m[.s] (a fraction of the seconds is dropped).
bool ParseTime(std::string_view s, char aSep, int& h, int& m, int& sec) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == aSep) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  if (parts.size() == 4 && aSep == ':') {
    // hh:mm:ss.fff written with ":" before the fraction is not a time.
    return false;
  }
  if (parts.size() < 2 || parts.size() > 3) return false;
  if (parts.size() == 3 && aSep == ':') {
    const auto dot = parts[2].find('.');
    if (dot != std::string_view::npos) {
      if (dot + 1 >= parts[2].size() || !AllDigits(parts[2].substr(dot + 1))) return false;
      parts[2] = parts[2].substr(0, dot);
    }
  }
  for (auto p : parts)
    if (p.empty() || p.size() > 2) return false;
  sec = 0;
  if (!ToInt(parts[0], h) || !ToInt(parts[1], m)) return false;
  if (parts.size() == 3 && !ToInt(parts[2], sec)) return false;
  if (sec == 60) sec = 59;  // a leap second is no reason to drop the date
  return h <= 23 && m <= 59 && sec <= 59;
}

int ExpandYear(int aYear, std::size_t aDigits) {
  if (aDigits <= 2) return aYear < 50 ? 2000 + aYear : 1900 + aYear;
  if (aDigits == 3) return 1900 + aYear;
  return aYear;
}

// yyyy-mm-dd[(T| )hh:mm[:ss[.fff]]][Z|+hh[:mm]|-hh[:mm]]
bool TryISO8601(std::string_view s, TDateTime& aResult) {
  if (s.size() < 10 || !AllDigits(s.substr(0, 4)) || s[4] != '-' || !AllDigits(s.substr(5, 2)) || s[7] != '-' ||
      !AllDigits(s.substr(8, 2)))
    return false;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, offset = 0;
  ToInt(s.substr(0, 4), y);
  ToInt(s.substr(5, 2), mo);
  ToInt(s.substr(8, 2), d);
  std::string_view rest = s.substr(10);
  if (!rest.empty()) {
    if (rest[0] != 'T' && rest[0] != 't' && rest[0] != ' ') return false;
    rest = rest.substr(1);
    std::size_t z = 0;
    while (z < rest.size() && (IsDigit(rest[z]) || rest[z] == ':' || rest[z] == '.')) ++z;
    if (!ParseTime(rest.substr(0, z), ':', h, mi, sec)) return false;
    std::string_view zone = rest.substr(z);
    while (!zone.empty() && zone.front() == ' ') zone.remove_prefix(1);
    if (!zone.empty() && !TryZoneOffsetMinutes(zone, offset)) return false;
  }
  TDateTime dt;
  if (!TryEncodeDateTime(y, mo, d, h, mi, sec, 0, dt)) return false;
  aResult = IncMinute(dt, -offset);
  return true;
}

// Cuts the text into words at blanks and commas; inside the date part, "-"
// separates day, month and year (RFC 850) unless it starts a zone offset.
std::vector<std::string> Tokens(std::string_view s) {
  std::vector<std::string> raw;
  std::string cur;
  for (char c : s) {
    if (c == ' ' || c == '\t' || c == ',') {
      if (!cur.empty()) raw.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) raw.push_back(std::move(cur));

  std::vector<std::string> out;
  for (auto& t : raw) {
    // "GMT+0100": a zone name glued to an offset.
    std::size_t alpha = 0;
    while (alpha < t.size() && IsAlpha(t[alpha])) ++alpha;
    if (alpha > 0 && alpha < t.size() && (t[alpha] == '+' || t[alpha] == '-')) {
      out.push_back(t.substr(0, alpha));
      out.push_back(t.substr(alpha));
      continue;
    }
    if ((t[0] != '+' && t[0] != '-') && t.find('-') != std::string::npos && t.find(':') == std::string::npos) {
      std::size_t start = 0;
      for (std::size_t i = 0; i <= t.size(); ++i) {
        if (i == t.size() || t[i] == '-') {
          if (i > start) out.push_back(t.substr(start, i - start));
          start = i + 1;
        }
      }
      continue;
    }
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace

int MonthFromName(std::string_view aText) {
  if (aText.size() < 3) return 0;
  for (int i = 0; i < 12; ++i)
    if (SameText(aText.substr(0, 3), kMonthShortNames[i])) return i + 1;
  return 0;
}

bool TryZoneOffsetMinutes(std::string_view aZone, int& aMinutes) {
  if (NumericZone(aZone, aMinutes)) return true;
  if (!AllAlpha(aZone)) return false;
  for (const auto& row : kZones) {
    if (SameText(aZone, row.Name)) {
      aMinutes = row.Minutes;
      return true;
    }
  }
  aMinutes = 0;  // "-0000": the zone is unknown, the time is taken as UTC
  return true;
}

bool TryInternetDateToUTC(std::string_view aText, TDateTime& aResult) {
  aResult = 0;
  // RFC 822 comments ("(EST)") carry nothing the reader needs.
  std::string uncommented;
  int depth = 0;
  for (char c : aText) {
    if (c == '(') {
      ++depth;
    } else if (c == ')' && depth > 0) {
      --depth;
      uncommented += ' ';
    } else if (depth == 0) {
      uncommented += c;
    }
  }
  const std::string text = Trim(uncommented);
  if (text.empty()) return false;
  if (TryISO8601(text, aResult)) return true;

  int day = -1, month = -1, year = -1, h = -1, mi = 0, sec = 0, offset = 0;
  std::size_t yearDigits = 0;
  int ampm = 0;  // 1 AM, 2 PM
  for (const std::string& t : Tokens(text)) {
    if (AllAlpha(t)) {
      if (SameText(t, "AM") || SameText(t, "PM")) {
        if (h < 0 || ampm) return false;
        ampm = SameText(t, "AM") ? 1 : 2;
      } else if (month < 0 && MonthFromName(t)) {
        month = MonthFromName(t);
      } else if (DayNameIndex(t) >= 0 && day < 0 && month < 0 && year < 0 && h < 0) {
        // an optional day name in front
      } else {
        int z = 0;
        TryZoneOffsetMinutes(t, z);
        offset = z;
      }
    } else if (t[0] == '+' || (t[0] == '-' && t.size() > 1 && IsDigit(t[1]))) {
      if (!NumericZone(t, offset)) return false;
    } else if (t.find(':') != std::string::npos) {
      if (h >= 0 || !ParseTime(t, ':', h, mi, sec)) return false;
    } else if (AllDigits(t)) {
      int v = 0;
      if (!ToInt(t, v)) return false;
      if (t.size() >= 3) {
        if (year >= 0 || t.size() > 4) return false;
        year = v;
        yearDigits = t.size();
      } else if (day < 0) {
        day = v;
      } else if (year < 0) {
        year = v;
        yearDigits = t.size();
      } else {
        return false;
      }
    } else if (t.find('.') != std::string::npos && h < 0 && IsDigit(t[0])) {
      if (!ParseTime(t, '.', h, mi, sec)) return false;
    } else {
      return false;
    }
  }
  if (day < 0 || month < 0 || year < 0) return false;
  year = ExpandYear(year, yearDigits);
  if (h < 0) {
    if (ampm) return false;
    h = 0;
  }
  if (ampm) {
    if (h < 1 || h > 12) return false;
    if (ampm == 1 && h == 12) h = 0;
    if (ampm == 2 && h < 12) h += 12;
  }
  TDateTime dt;
  if (!TryEncodeDateTime(year, month, day, h, mi, sec, 0, dt)) return false;
  aResult = IncMinute(dt, -offset);
  return true;
}

TDateTime InternetDateToUTC(std::string_view aText) {
  TDateTime r = 0;
  return TryInternetDateToUTC(aText, r) ? r : 0;
}

TDateTime InternetDateToLocal(std::string_view aText) {
  TDateTime r = 0;
  return TryInternetDateToUTC(aText, r) ? UTCToLocalTime(r) : 0;
}

namespace {
std::string FormatInternetDate(TDateTime aUTC) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(aUTC, y, mo, d, h, mi, s, ms);
  char time[48];
  std::snprintf(time, sizeof time, "%.2d:%.2d:%.2d", h, mi, s);
  char out[160];
  std::snprintf(out, sizeof out, kInternetDateFormat, kDayShortNames[DayOfWeek(aUTC) - 1], d, kMonthShortNames[mo - 1],
                y, time, "GMT");
  return out;
}
}  // namespace

std::string UTCToInternetDate(TDateTime aUTC) {
  // Every response carries the date, which changes once a second: each
  // thread keeps the text of the last second it wrote.
  if (aUTC < 0) return FormatInternetDate(aUTC);
  thread_local std::int64_t lastSecond = INT64_MIN;
  thread_local std::string lastText;
  const std::int64_t second = DateTimeToUnix(aUTC);
  if (second != lastSecond) {
    lastText = FormatInternetDate(aUTC);
    lastSecond = second;
  }
  return lastText;
}

std::string LocalToInternetDate(TDateTime aLocal) { return UTCToInternetDate(LocalTimeToUTC(aLocal)); }
