#pragma once
// What a benchmark reads of its own process: CPU time used and resident memory.
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace kv::bench {

// User and system CPU seconds of the whole process so far.
inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Resident set size in MiB; 0 when /proc cannot tell.
inline double RssMiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

}  // namespace kv::bench
