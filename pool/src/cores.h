// The cores query behind availableCores(): affinity and cgroup CPU quotas.
#pragma once

#include <cstddef>
#include <string_view>

namespace zorva {

// The CPUs this process may use: affinity and the cgroup CPU quota (v1 and
// v2) on Linux; at least 1.
std::size_t availableCores() noexcept;

// The CPU count a cgroup v2 "cpu.max" text allows ("quota period", rounded
// up), or 0 for no limit or a text that cannot be read.
std::size_t cpuCountFromCpuMax(std::string_view text) noexcept;
// The same for cgroup v1 "cpu.cfs_quota_us" and "cpu.cfs_period_us" texts.
std::size_t cpuCountFromCfs(std::string_view quota, std::string_view period) noexcept;

}  // namespace zorva
