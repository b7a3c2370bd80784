// The processors a process may use: its control group's CPU quota read from fake cgroup trees
// (v2, v1, nested, hidden by a namespace), and the count itself.

#include "dorvex/platform/Processors.h"

#include <gtest/gtest.h>

#include <thread>

#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::testing::put;

namespace {

const std::string v2Mount = "30 24 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const std::string v1Mount = "31 24 0:27 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";

struct Tree {
    const char* what;
    std::string mountinfo;
    std::string cgroup;
    std::vector<std::pair<std::string, std::string>> files;  // under the root
    std::optional<double> quota;
};

}  // namespace

TEST(Processors, QuotaOfTheControlGroup) {
    const Tree trees[] = {
        {"v2, one and a half processors", v2Mount, "0::/job\n", {{"sys/fs/cgroup/job/cpu.max", "150000 100000\n"}}, 1.5},
        {"v2, no quota", v2Mount, "0::/job\n", {{"sys/fs/cgroup/job/cpu.max", "max 100000\n"}}, std::nullopt},
        {"v2, the smallest on the way up",
         v2Mount,
         "0::/a/b/c\n",
         {{"sys/fs/cgroup/a/b/c/cpu.max", "max 100000\n"},
          {"sys/fs/cgroup/a/b/cpu.max", "400000 100000\n"},
          {"sys/fs/cgroup/a/cpu.max", "200000 100000\n"}},
         2},
        {"v2, the cgroup's folder not mounted here: the mount's top",
         v2Mount,
         "0::/docker/abc\n",
         {{"sys/fs/cgroup/cpu.max", "300000 100000\n"}},
         3},
        {"v2, the mount's top is the cgroup",
         "30 24 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
         "0::/docker/abc\n",
         {{"sys/fs/cgroup/cpu.max", "50000 100000\n"}},
         0.5},
        {"v1",
         v1Mount,
         "4:memory:/x\n2:cpu,cpuacct:/job\n",
         {{"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "250000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
         2.5},
        {"v1 without a quota",
         v1Mount,
         "2:cpu,cpuacct:/job\n",
         {{"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n"},
          {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
         std::nullopt},
        {"hybrid: the smaller of both", v2Mount + v1Mount, "2:cpu,cpuacct:/\n0::/\n",
         {{"sys/fs/cgroup/cpu.max", "300000 100000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "100000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         1},
        {"nonsense", v2Mount, "0::/job\n", {{"sys/fs/cgroup/job/cpu.max", "lots 0\n"}}, std::nullopt},
        {"no cgroup files", "", "", {}, std::nullopt},
    };
    for (const Tree& tree : trees) {
        const dorvex::testing::TemporaryFolder root;
        put(root.path() / "proc/self/mountinfo", tree.mountinfo);
        put(root.path() / "proc/self/cgroup", tree.cgroup);
        for (const auto& [name, text] : tree.files) put(root.path() / name, text);
        EXPECT_EQ(dorvex::Processors::cgroupQuota(root.path()), tree.quota) << tree.what;
    }
}

TEST(Processors, UsableIsAtLeastOneAndAtMostTheMachine) {
    const unsigned usable = dorvex::Processors::usable();
    EXPECT_GE(usable, 1u);
    if (std::thread::hardware_concurrency() > 0) {
        EXPECT_LE(usable, std::thread::hardware_concurrency());
    }
}
