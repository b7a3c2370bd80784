#pragma once
// Processors: how many processors this process may use — the ones its CPU affinity lets it run
// on, and no more than its control group's CPU quota allows — for sizing thread pools and the
// number of jobs run at once. A container limited to two CPUs on a 64-processor machine gets 2,
// where std::thread::hardware_concurrency() says 64.

#include <filesystem>
#include <optional>

namespace dorvex::Processors {

// The processors this process may use: the count of its CPU affinity mask (the machine's
// processor count when the mask cannot be read), lowered to its control group's quota rounded
// up; at least 1.
unsigned usable();

// The CPU quota of this process's control group in processors (quota ÷ period, not rounded),
// read from the file system under `root` ("/" for the real one): the cgroup of
// proc/self/cgroup, found through proc/self/mountinfo — cgroup v2's cpu.max, or v1's
// cpu.cfs_quota_us and cpu.cfs_period_us — and each of its ancestors up to the mount's top,
// the smallest quota of them. None when no quota is set or nothing can be read.
std::optional<double> cgroupQuota(const std::filesystem::path& root = "/");

}  // namespace dorvex::Processors
