// Runs a test in a fixed time zone (with daylight saving), so conversions
// between local time and GMT are visible; restores the zone afterwards.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class TZGuard {
public:
  explicit TZGuard(const char* aZone) {
    if (const char* old = std::getenv("TZ")) FOld = old;
    setenv("TZ", aZone, 1);
    tzset();
  }
  ~TZGuard() {
    if (FOld)
      setenv("TZ", FOld->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TZGuard(const TZGuard&) = delete;
  TZGuard& operator=(const TZGuard&) = delete;

private:
  std::optional<std::string> FOld;
};
