#include "host/cli/memory.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <fstream>
#include <string>

namespace host {

uint64_t frame_memory_needed(int width, int height) {
  return uint64_t{64} * static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
}

namespace {

// A value of "Name:   123 kB" from /proc/meminfo, in bytes; 0 when absent.
uint64_t meminfo(const char* name) {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  uint64_t value = 0;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == name) return value * 1024;
  }
  return 0;
}

// Room left under the control group's memory limit; 0 when there is none.
uint64_t cgroup_room() {
  std::ifstream max("/sys/fs/cgroup/memory.max"), current("/sys/fs/cgroup/memory.current");
  uint64_t limit = 0, used = 0;
  if (!(max >> limit) || !(current >> used)) return 0;  // "max": no limit
  return limit > used ? limit - used : 1;
}

}  // namespace

uint64_t memory_available() {
  uint64_t room = meminfo("MemAvailable:");
  const uint64_t group = cgroup_room();
  if (group && (!room || group < room)) room = group;
#ifndef _WIN32
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      (!room || limit.rlim_cur < room))
    room = limit.rlim_cur;
#endif
  return room;
}

}  // namespace host
