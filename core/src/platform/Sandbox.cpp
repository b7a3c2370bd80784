#include "platform/Sandbox.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include <fmt/format.h>

#include "dorvex/platform/FileDescriptor.h"

// Sanitizer runtimes reserve terabytes of shadow memory, and the leak checker stops the process's
// threads with ptrace when it ends.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DORVEX_SANITIZER_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DORVEX_SANITIZER_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DORVEX_LEAK_CHECKER_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DORVEX_LEAK_CHECKER_BUILD 1
#endif
#endif

namespace dorvex::Sandbox {
namespace {

// Landlock's calls have the same numbers on every architecture; older C libraries lack the names.
#ifdef SYS_landlock_create_ruleset
constexpr long createRulesetCall = SYS_landlock_create_ruleset;
constexpr long addRuleCall = SYS_landlock_add_rule;
constexpr long restrictSelfCall = SYS_landlock_restrict_self;
#else
constexpr long createRulesetCall = 444;
constexpr long addRuleCall = 445;
constexpr long restrictSelfCall = 446;
#endif

// Rights and scopes of later ABIs than older kernel headers describe.
constexpr std::uint64_t truncateRight = 1ULL << 14;  // ABI 3
constexpr std::uint64_t abstractUnixSocketScope = 1ULL << 0;  // ABI 6
constexpr std::uint64_t signalScope = 1ULL << 1;  // ABI 6
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
static_assert(LANDLOCK_ACCESS_FS_TRUNCATE == truncateRight);
#endif

// landlock_ruleset_attr as ABI 6 knows it; the kernel takes the size we pass, so the first field
// alone works on every ABI.
struct RulesetAttributes {
    std::uint64_t handledAccessFs = 0;
    std::uint64_t handledAccessNet = 0;
    std::uint64_t scoped = 0;
};

// Every right that writes to the file system; reading, listing and executing stay unhandled.
constexpr std::uint64_t writeRights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
    LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
    LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
    LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

int threadCount() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator task("/proc/self/task", error), end; !error && task != end;
         task.increment(error))
        ++count;
    return std::max(count, 1);
}

void forbidNewPrivileges(Report& report) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)
        report.applied.emplace_back("no new privileges");
    else
        report.missing.push_back("no new privileges: " + errorText(errno));
}

// Allows `rights` beneath each of `paths`; a path that cannot be opened or allowed gets no rule.
void allowBeneath(int ruleset, const std::vector<std::filesystem::path>& paths, std::uint64_t rights,
                  Report& report) {
    for (const auto& path : paths) {
        const FileDescriptor target(::open(path.c_str(), O_PATH | O_CLOEXEC));
        landlock_path_beneath_attr rule{};
        rule.allowed_access = rights;
        rule.parent_fd = target.get();
        if (!target || ::syscall(addRuleCall, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
            report.missing.push_back("Landlock: no writing to " + path.string() + " (" + errorText(errno) + ")");
    }
}

void confineWriting(const Rules& rules, Report& report) {
    const long abi = ::syscall(createRulesetCall, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 0) {
        report.missing.push_back(errno == ENOSYS        ? "Landlock: not in this kernel"
                                 : errno == EOPNOTSUPP ? "Landlock: disabled at boot"
                                                       : "Landlock: " + errorText(errno));
        return;
    }
    const std::uint64_t fileRights = LANDLOCK_ACCESS_FS_WRITE_FILE | (abi >= 3 ? truncateRight : 0);
    const std::uint64_t folderRights =
        writeRights | (abi >= 2 ? LANDLOCK_ACCESS_FS_REFER : 0) | (abi >= 3 ? truncateRight : 0);
    RulesetAttributes attributes;
    attributes.handledAccessFs = folderRights;
    // Abstract sockets and signals of processes outside the worker and its children are out of reach.
    attributes.scoped = abi >= 6 ? abstractUnixSocketScope | signalScope : 0;
    const std::size_t size = abi >= 6 ? sizeof attributes : sizeof attributes.handledAccessFs;
    const FileDescriptor ruleset(static_cast<int>(::syscall(createRulesetCall, &attributes, size, 0)));
    if (!ruleset) {
        report.missing.push_back("Landlock: " + errorText(errno));
        return;
    }
    allowBeneath(ruleset.get(), rules.writableFolders, folderRights, report);
    allowBeneath(ruleset.get(), rules.writableFiles, fileRights, report);
    if (::syscall(restrictSelfCall, ruleset.get(), 0) != 0) {
        report.missing.push_back("Landlock: " + errorText(errno));
        return;
    }
    report.applied.push_back(fmt::format("Landlock ABI {}", abi));
}

// Calls no decoder or encoder makes, refused with EPERM whatever their arguments. connect():
// the worker's only socket is inherited, and a named socket of the user's session (its bus, which
// starts programs on request) would be a way out of everything else here.
constexpr const char* refusedCalls[] = {
    "connect", "process_vm_readv", "process_vm_writev",
    "mount", "umount2", "pivot_root", "chroot", "move_mount", "open_tree", "fsopen", "fsmount", "fspick",
    "mount_setattr", "unshare", "setns", "bpf", "perf_event_open", "kexec_load", "kexec_file_load",
    "init_module", "finit_module", "delete_module", "keyctl", "add_key", "request_key", "userfaultfd",
    "io_uring_setup", "io_uring_enter", "io_uring_register", "swapon", "swapoff", "reboot", "acct",
    "settimeofday", "clock_settime", "adjtimex", "clock_adjtime", "ioperm", "iopl", "quotactl",
    "quotactl_fd", "name_to_handle_at", "open_by_handle_at", "lookup_dcookie",
#ifndef DORVEX_LEAK_CHECKER_BUILD
    "ptrace",
#endif
};

// New namespaces through clone() are refused like unshare().
constexpr std::uint64_t namespaceFlags[] = {CLONE_NEWNS, CLONE_NEWUTS, CLONE_NEWIPC, CLONE_NEWUSER,
                                            CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWCGROUP};

// A condition on argument `index` of a call (libseccomp's SCMP_A* macros are C compound literals).
scmp_arg_cmp argument(unsigned index, scmp_compare test, std::uint64_t a, std::uint64_t b = 0) {
    return {index, test, a, b};
}

struct FilterRelease {
    void operator()(void* filter) const { seccomp_release(filter); }
};

void filterCalls(Report& report) {
    const std::unique_ptr<void, FilterRelease> filter(seccomp_init(SCMP_ACT_ALLOW));
    if (!filter) {
        report.missing.emplace_back("seccomp: libseccomp could not make a filter");
        return;
    }
    // Only the native architecture is in the filter: another one's calls (i386's int 0x80, x32's
    // numbers on x86-64) are refused.
    seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM));
    seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1);
    std::vector<std::string> failed;
    const auto refuse = [&](const char* name, std::uint32_t action, auto... conditions) {
        const int call = seccomp_syscall_resolve_name(name);
        if (call == __NR_SCMP_ERROR) {
            failed.push_back(std::string(name) + " unknown to libseccomp");
        } else if (call >= 0) {  // below: not a call on this architecture
            const int result = seccomp_rule_add(filter.get(), action, call, sizeof...(conditions), conditions...);
            if (result != 0) failed.push_back(std::string(name) + ": " + errorText(-result));
        }
    };
    const std::uint32_t refused = SCMP_ACT_ERRNO(EPERM);
    for (const char* name : refusedCalls) refuse(name, refused);
    refuse("socket", refused, argument(0, SCMP_CMP_NE, AF_UNIX));
    refuse("socketpair", refused, argument(0, SCMP_CMP_NE, AF_UNIX));
    // The kernel reads the request as 32 bits.
    refuse("ioctl", refused, argument(1, SCMP_CMP_MASKED_EQ, 0xffffffffU, TIOCSTI));
    // Asking for the current persona stays open; changing it does not.
    refuse("personality", refused, argument(0, SCMP_CMP_NE, 0xffffffffU));
    for (const std::uint64_t flag : namespaceFlags) refuse("clone", refused, argument(0, SCMP_CMP_MASKED_EQ, flag, flag));
    // clone3's flags are behind a pointer that a filter cannot read: the C library falls back to clone.
    refuse("clone3", SCMP_ACT_ERRNO(ENOSYS));
    if (!failed.empty()) {
        std::string line = "seccomp: not refused:";
        for (const auto& reason : failed) line += " " + reason + ";";
        line.pop_back();
        report.missing.push_back(std::move(line));
    }
    if (const int result = seccomp_load(filter.get()); result != 0) {
        report.missing.push_back("seccomp: " + errorText(-result));
        return;
    }
    report.applied.emplace_back("seccomp");
#ifdef DORVEX_LEAK_CHECKER_BUILD
    report.waived.emplace_back("ptrace refusal (leak checker build)");
#endif
}

void limitAddressSpace([[maybe_unused]] std::uint64_t bytes, Report& report) {
#ifdef DORVEX_SANITIZER_BUILD
    report.waived.emplace_back("address space limit (sanitizer build)");
#else
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max = std::min<rlim_t>(bytes, limit.rlim_max);
        if (::setrlimit(RLIMIT_AS, &limit) == 0) {
            report.applied.push_back(
                fmt::format("address space {:.1f} GiB", static_cast<double>(limit.rlim_cur) / (1ULL << 30)));
            return;
        }
    }
    report.missing.push_back("address space limit: " + errorText(errno));
#endif
}

}  // namespace

Report enter(const Rules& rules) {
    Report report;
    if (const int threads = threadCount(); threads > 1)
        report.missing.push_back(fmt::format("other threads running ({}): Landlock binds only the calling one", threads - 1));
    forbidNewPrivileges(report);
    confineWriting(rules, report);
    filterCalls(report);
    if (rules.addressSpaceBytes) limitAddressSpace(*rules.addressSpaceBytes, report);
    return report;
}

}  // namespace dorvex::Sandbox
