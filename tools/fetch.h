// bin/fetch: a small command-line HTTP client on the project's own stack, for
// people and scripts. The parsing and the run live here so tests can drive
// them in process; fetch_main.cpp only hands over argv and the exit code.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace fetch {

// What the command line asked for.
struct Options {
  std::string Method;                // -X; empty: GET, or POST when a body was given
  std::vector<std::string> Headers;  // -H, "Name: value", in order
  bool HasBody = false;              // -d was given (an empty body is still a body)
  std::string Body;                  // -d; several are joined with "&"
  std::string CACert;                // --cacert: trust this file instead of the system roots
  bool Insecure = false;             // --insecure: no certificate check at all
  std::string Proxy;                 // --proxy: http://[user:password@]host:port
  bool FollowRedirects = false;      // -L
  bool IncludeHead = false;          // -i
  double MaxTime = 0;                // --max-time: the whole transfer, in seconds; 0: no limit
  double ConnectTimeout = 0;         // --connect-timeout: each connect, in seconds; 0: the system's
  bool Help = false;                 // -h, --help
  std::string URL;

  // The verb the request goes out with.
  std::string EffectiveMethod() const;
};

// Reads the arguments after the program name. Bad usage raises Exception with
// a message that names the offending argument.
Options ParseArgs(const std::vector<std::string>& aArgs);

extern const char* const kUsage;

// Runs one request as aOptions says: the body (and with -i the heads first)
// to aOut as it arrives; on any failure the message to aErr (for an HTTP
// status of 400 or more the status line and a short excerpt of the body).
// Returns the exit code: 0 on success, 1 on any error (bad usage,
// connection, TLS, time limit, an HTTP status of 400 or more).
int Run(const Options& aOptions, std::FILE* aOut, std::FILE* aErr);

// ParseArgs and Run together, as the program does.
int Main(const std::vector<std::string>& aArgs, std::FILE* aOut, std::FILE* aErr);

}  // namespace fetch
