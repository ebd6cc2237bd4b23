#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tavelin::testing {

inline double seconds(const timeval& user, const timeval& system) {
  return static_cast<double>(user.tv_sec + system.tv_sec) +
         static_cast<double>(user.tv_usec + system.tv_usec) / 1e6;
}

// CPU seconds this process has used so far, all threads.
inline double ownCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return seconds(usage.ru_utime, usage.ru_stime);
}

// CPU seconds another process has used so far, from /proc (which says its files are empty:
// read as a stream); 0 when it cannot be read.
inline double processCpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::ostringstream read;
  read << file.rdbuf();
  const std::string text = read.str();
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoull(field);
    if (i == 15) system = std::stoull(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace tavelin::testing
