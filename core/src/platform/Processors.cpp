#include "dorvex/platform/Processors.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace dorvex::Processors {

namespace {

namespace fs = std::filesystem;

// A cgroup hierarchy as mounted: where, and which cgroup its top is.
struct Mount {
    fs::path point;
    std::string top;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
    return parts;
}

// The first line of a file; nothing when it cannot be read.
std::optional<std::string> firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

std::optional<double> number(const std::string& text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used == text.size() && std::isfinite(value)) return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// cgroup v2: "max 100000" (no quota) or "QUOTA PERIOD".
std::optional<double> quotaV2(const fs::path& folder) {
    const std::optional<std::string> line = firstLine(folder / "cpu.max");
    if (!line) return std::nullopt;
    const std::vector<std::string> fields = split(*line, ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    const std::optional<double> quota = number(fields[0]), period = number(fields[1]);
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    return *quota / *period;
}

// cgroup v1: a quota of -1 is none.
std::optional<double> quotaV1(const fs::path& folder) {
    const std::optional<std::string> quotaText = firstLine(folder / "cpu.cfs_quota_us");
    const std::optional<std::string> periodText = firstLine(folder / "cpu.cfs_period_us");
    if (!quotaText || !periodText) return std::nullopt;
    const std::optional<double> quota = number(*quotaText), period = number(*periodText);
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    return *quota / *period;
}

// The cgroup2 mount and the v1 mount that carries the cpu controller, from mountinfo:
// "ID PARENT MAJOR:MINOR TOP POINT OPTIONS [OPTIONAL…] - TYPE SOURCE SUPEROPTIONS".
void findMounts(const fs::path& root, std::optional<Mount>& v2, std::optional<Mount>& v1) {
    std::ifstream in(root / "proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        const std::vector<std::string> fields = split(line.substr(0, dash), ' ');
        const std::vector<std::string> tail = split(line.substr(dash + 3), ' ');
        if (fields.size() < 5 || tail.size() < 3) continue;
        const Mount mount{fields[4], fields[3]};
        if (tail[0] == "cgroup2" && !v2) v2 = mount;
        if (tail[0] == "cgroup" && !v1) {
            const std::vector<std::string> options = split(tail[2], ',');
            if (std::find(options.begin(), options.end(), "cpu") != options.end()) v1 = mount;
        }
    }
}

// The smallest quota of the cgroup at `path` and its ancestors, up to the mount's top. A path
// that is not under the mount's top is read as if it were; folders that do not exist (a cgroup
// namespace hides the path) give nothing, and the top is read last.
std::optional<double> smallestUpward(const fs::path& root, const Mount& mount, const std::string& path,
                                     std::optional<double> (*read)(const fs::path&)) {
    const fs::path top = root / mount.point.relative_path();
    fs::path inside = fs::path(path).lexically_relative(mount.top);
    if (inside.empty() || *inside.begin() == "..") inside = fs::path(path).relative_path().lexically_normal();
    if (!inside.empty() && *inside.begin() == "..") inside.clear();
    std::optional<double> smallest;
    for (;;) {
        if (const std::optional<double> quota = read(top / inside); quota && (!smallest || *quota < *smallest)) {
            smallest = quota;
        }
        if (inside.empty() || inside == ".") break;
        inside = inside.parent_path();
    }
    return smallest;
}

unsigned affinityCount() {
    for (int size = 1024; size <= 1 << 16; size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (!set) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(size);
        CPU_ZERO_S(bytes, set);
        const int status = ::sched_getaffinity(0, bytes, set);
        const int count = CPU_COUNT_S(bytes, set);
        CPU_FREE(set);
        if (status == 0) return unsigned(count);
        if (errno != EINVAL) break;  // EINVAL: the mask is larger than this set
    }
    return std::thread::hardware_concurrency();
}

}  // namespace

std::optional<double> cgroupQuota(const fs::path& root) {
    std::optional<Mount> v2, v1;
    findMounts(root, v2, v1);
    std::optional<double> smallest;
    const auto keep = [&smallest](std::optional<double> quota) {
        if (quota && (!smallest || *quota < *smallest)) smallest = quota;
    };
    // "0::PATH" is the v2 hierarchy; "N:CONTROLLERS:PATH" a v1 one.
    std::ifstream in(root / "proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
        const std::size_t first = line.find(':'), second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            if (v2) keep(smallestUpward(root, *v2, path, quotaV2));
        } else if (v1) {
            const std::vector<std::string> names = split(controllers, ',');
            if (std::find(names.begin(), names.end(), "cpu") != names.end()) keep(smallestUpward(root, *v1, path, quotaV1));
        }
    }
    return smallest;
}

unsigned usable() {
    unsigned count = std::max(affinityCount(), 1u);
    if (const std::optional<double> quota = cgroupQuota(); quota && *quota < double(count)) {
        count = unsigned(std::max(1.0, std::ceil(*quota - 1e-9)));
    }
    return count;
}

}  // namespace dorvex::Processors
