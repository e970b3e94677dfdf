// Dates of HTTP messages: reading the Internet date styles that servers send
// (RFC 822/1123, RFC 850, asctime, ISO 8601) and writing the RFC 1123 form.
#pragma once

#include <string>
#include <string_view>

#include "platform/DateUtils.h"

// "%s, %.2d %s %.4d %s %s": day name, day, month name, year, hh:nn:ss, "GMT".
inline constexpr const char* kInternetDateFormat = "%s, %.2d %s %.4d %s %s";

// Reads a date in any of the accepted styles; the result is UTC. False (and
// aResult 0) when the text is no readable date.
bool TryInternetDateToUTC(std::string_view aText, TDateTime& aResult);
// As above, 0 when unreadable.
TDateTime InternetDateToUTC(std::string_view aText);
// As above, converted to local time; 0 when unreadable.
TDateTime InternetDateToLocal(std::string_view aText);

// The offset in minutes east of UTC of a zone written as a name (GMT, EST,
// military letters, ...) or as +hhmm, +hh:mm, +hh (or with "-"). A name not
// in the table is "-0000": offset 0 and True. False only for text that is
// neither a name nor a numeric offset.
bool TryZoneOffsetMinutes(std::string_view aZone, int& aMinutes);

// "Sun, 06 Nov 1994 08:49:37 GMT" from a UTC or a local date-time.
std::string UTCToInternetDate(TDateTime aUTC);
std::string LocalToInternetDate(TDateTime aLocal);

// English three-letter names, for the writers and readers of dates.
inline constexpr const char* kMonthShortNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
inline constexpr const char* kDayShortNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
// 1..12 for a text whose first three letters name a month (letter case
// ignored), else 0.
int MonthFromName(std::string_view aText);
