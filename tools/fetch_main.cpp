// bin/fetch: see tools/fetch.h and the README.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/fetch.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return fetch::Main(args, stdout, stderr);
}
