// availableCores: the CPUs this process may use, from its affinity mask and
// the cgroup (v1 or v2) CPU quota on the way from its cgroup up to the mount.
#include "cores.h"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace zorva {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

bool parseInt(std::string_view s, std::int64_t& out) {
  s = trim(s);
  if (s.empty()) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && ptr == s.data() + s.size();
}

std::size_t ceilRatio(std::int64_t quota, std::int64_t period) {
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<std::size_t>(quota / period + (quota % period != 0 ? 1 : 0));
}

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  out = text.str();
  return true;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    auto at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

// mountinfo escapes blanks and backslashes as octal.
std::string unescapeOctal(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      int v = 0;
      bool ok = true;
      for (std::size_t k = 1; k <= 3; ++k) {
        char c = s[i + k];
        if (c < '0' || c > '7') ok = false;
        v = v * 8 + (c - '0');
      }
      if (ok) {
        out.push_back(static_cast<char>(v));
        i += 3;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

struct Mount {
  std::string root;
  std::string point;
};

std::size_t affinityCount() {
  for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return 0;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      const int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    const int err = errno;
    CPU_FREE(set);
    if (err != EINVAL) return 0;
  }
  return 0;
}

// The directory of our cgroup under a mount, or the mount itself when the
// cgroup path lies outside the mount's root (another namespace's view).
std::string cgroupDir(const Mount& mount, const std::string& path) {
  std::string_view rel = path;
  if (mount.root != "/") {
    if (rel.substr(0, mount.root.size()) == mount.root &&
        (rel.size() == mount.root.size() || rel[mount.root.size()] == '/')) {
      rel.remove_prefix(mount.root.size());
    } else {
      rel = "";
    }
  }
  std::string dir = mount.point;
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  if (!rel.empty() && rel != "/") dir += rel[0] == '/' ? std::string(rel) : "/" + std::string(rel);
  return dir;
}

// Smallest limit on the way from our cgroup up to the mount: a parent's quota
// binds its children too.
template <typename Read>
std::size_t walkUp(const Mount& mount, const std::string& path, Read read) {
  std::string top = mount.point;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  std::string dir = cgroupDir(mount, path);
  std::size_t best = 0;
  for (;;) {
    const std::size_t limit = read(dir);
    if (limit != 0 && (best == 0 || limit < best)) best = limit;
    if (dir.size() <= top.size()) break;
    const auto slash = dir.find_last_of('/');
    if (slash == std::string::npos || slash < top.size()) break;
    dir.resize(slash);
  }
  return best;
}

std::size_t cgroupLimit() {
  std::string v2Path, v1Path;
  bool haveV2 = false, haveV1 = false;
  std::string text;
  if (readFile("/proc/self/cgroup", text)) {
    for (std::string_view line : split(text, '\n')) {
      // hierarchy-id:controllers:path; the path may itself hold ':'.
      const auto a = line.find(':');
      if (a == std::string_view::npos) continue;
      const auto b = line.find(':', a + 1);
      if (b == std::string_view::npos) continue;
      const std::string_view id = line.substr(0, a);
      const std::string_view controllers = line.substr(a + 1, b - a - 1);
      const std::string_view path = line.substr(b + 1);
      if (id == "0" && controllers.empty()) {
        v2Path = std::string(path);
        haveV2 = true;
      } else {
        for (std::string_view c : split(controllers, ',')) {
          if (c == "cpu") {
            v1Path = std::string(path);
            haveV1 = true;
          }
        }
      }
    }
  }

  Mount v2Mount{"/", "/sys/fs/cgroup"};
  Mount v1Mount{"/", "/sys/fs/cgroup/cpu"};
  bool foundV2 = false, foundV1 = false;
  if (readFile("/proc/self/mountinfo", text)) {
    for (std::string_view line : split(text, '\n')) {
      const auto dash = line.find(" - ");
      if (dash == std::string_view::npos) continue;
      const auto left = split(line.substr(0, dash), ' ');
      const auto right = split(line.substr(dash + 3), ' ');
      if (left.size() < 5 || right.size() < 3) continue;
      Mount mount{unescapeOctal(left[3]), unescapeOctal(left[4])};
      if (right[0] == "cgroup2" && !foundV2) {
        v2Mount = mount;
        foundV2 = true;
      } else if (right[0] == "cgroup" && !foundV1) {
        for (std::string_view option : split(right[2], ',')) {
          if (option == "cpu") {
            v1Mount = mount;
            foundV1 = true;
          }
        }
      }
    }
  }
  if (!haveV2) v2Path = "/";
  if (!haveV1) v1Path = "/";

  std::size_t best = 0;
  auto consider = [&](std::size_t limit) {
    if (limit != 0 && (best == 0 || limit < best)) best = limit;
  };
  consider(walkUp(v2Mount, v2Path, [](const std::string& dir) {
    std::string cpuMax;
    return readFile(dir + "/cpu.max", cpuMax) ? cpuCountFromCpuMax(cpuMax) : 0;
  }));
  consider(walkUp(v1Mount, v1Path, [](const std::string& dir) {
    std::string quota, period;
    if (!readFile(dir + "/cpu.cfs_quota_us", quota) || !readFile(dir + "/cpu.cfs_period_us", period))
      return std::size_t{0};
    return cpuCountFromCfs(quota, period);
  }));
  return best;
}

}  // namespace

std::size_t cpuCountFromCpuMax(std::string_view text) noexcept {
  text = trim(text);
  const auto blank = text.find(' ');
  if (blank == std::string_view::npos) return 0;
  std::int64_t quota = 0, period = 0;
  if (!parseInt(text.substr(0, blank), quota) || !parseInt(text.substr(blank + 1), period)) return 0;
  return ceilRatio(quota, period);
}

std::size_t cpuCountFromCfs(std::string_view quota, std::string_view period) noexcept {
  std::int64_t q = 0, p = 0;
  if (!parseInt(quota, q) || !parseInt(period, p)) return 0;
  return ceilRatio(q, p);
}

std::size_t availableCores() noexcept {
  std::size_t cores = 0;
  try {
    cores = affinityCount();
    if (cores == 0) cores = std::thread::hardware_concurrency();
    const std::size_t quota = cgroupLimit();
    if (quota != 0 && (cores == 0 || quota < cores)) cores = quota;
  } catch (...) {
    // Allocation failure while reading: keep what is known.
  }
  return std::max<std::size_t>(cores, 1);
}

}  // namespace zorva
