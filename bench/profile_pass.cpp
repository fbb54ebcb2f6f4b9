// One sequential inferTypes pass over the file named on the command line,
// with the comparison script's pattern table: a small target for a profiler.
#include <cstdio>

#include "bench_common.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.csv\n", argv[0]);
    return 2;
  }
  Inf inf = bench::makeInf(argv[1]);
  inf.inferTypes();
  std::printf("%llu data rows\n", static_cast<unsigned long long>(inf.getNumRows()));
  return 0;
}
