// bin/fetch: see tools/fetch.h and the README.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/fetch.h"
#include "transport/vynIdSSLOpenSSLHeaders.h"

int main(int argc, char** argv) {
  // --cacert names the whole trust, as users of command-line clients expect:
  // the system's CA bundle is then neither trusted nor read.
  detail::SetRootFilesReplaceDefaultRoots(true);
  std::vector<std::string> args(argv + 1, argv + argc);
  return fetch::Main(args, stdout, stderr);
}
