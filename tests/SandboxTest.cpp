// The worker sandbox, entered by forked children: each case confines a fresh child and checks one
// side there; the child prints each check that fails and exits with their number. What is in
// force on this machine is printed once.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "TestSupport.h"
#include "dorvex/platform/FileDescriptor.h"
#include "platform/Sandbox.h"

namespace {

using namespace dorvex::testing;

// A confined child: the folder it may write, one it may only read (holding "kept"), what it entered.
struct Confined {
    fs::path inside, outside;
    dorvex::Sandbox::Report report;
    int failures = 0;

    void expect(bool held, const std::string& what) {
        if (held) return;
        ++failures;
        std::fprintf(stderr, "sandboxed child: %s did not hold\n", what.c_str());
    }
    void refused(long result, int error, const std::string& what) {
        const int got = result < 0 ? errno : 0;
        expect(got == error, what + " refused: " + std::strerror(error) + " (got: " + std::strerror(got) + ")");
    }
    // Whether a line of what is not in force (missing here, or waived by this build) holds `part`.
    bool missing(const std::string& part) const {
        const auto holds = [&](const std::vector<std::string>& lines) {
            return std::any_of(lines.begin(), lines.end(), [&](auto& line) { return line.find(part) != std::string::npos; });
        };
        return holds(report.missing) || holds(report.waived);
    }
    int landlockAbi() const {
        for (const auto& line : report.applied)
            if (line.starts_with("Landlock ABI ")) return std::stoi(line.substr(13));
        std::printf("note: Landlock is not in force here; writing outside the folder stays unchecked\n");
        return 0;
    }
};

void files(Confined& c) {
    const fs::path made = c.inside / "made", moved = c.inside / "sub" / "moved", kept = c.outside / "kept";
    put(made, "made");
    c.expect(contents(made) == "made" && ::mkdir(moved.parent_path().c_str(), 0700) == 0 &&
                 ::rename(made.c_str(), moved.c_str()) == 0 && ::rename(moved.c_str(), made.c_str()) == 0,
             "writing, making folders and renaming between them inside");
    c.expect(bool(dorvex::FileDescriptor(::open("/dev/null", O_WRONLY | O_TRUNC | O_CLOEXEC))), "writing /dev/null");
    c.expect(contents(kept) == "kept", "reading outside");
    const int abi = c.landlockAbi();
    // A folder that cannot be allowed is named, and the rest is in force all the same.
    c.expect(c.missing("absent (No such file or directory)") == (abi > 0), "a line for the absent folder");
    if (abi == 0) return;
    c.refused(::open((c.outside / "new").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), EACCES, "creating outside");
    c.refused(::open(kept.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC), EACCES, "opening outside for writing");
    if (abi >= 3) c.refused(::truncate(kept.c_str(), 0), EACCES, "truncating outside");
    c.refused(::rename(made.c_str(), (c.outside / "moved").c_str()), EACCES, "renaming to outside");
    c.refused(::rename(kept.c_str(), (c.inside / "taken").c_str()), EACCES, "renaming from outside");
    c.refused(::link(made.c_str(), (c.outside / "linked").c_str()), EACCES, "linking outside");
    c.refused(::symlink("kept", (c.outside / "symlink").c_str()), EACCES, "a symbolic link outside");
    c.refused(::mkdir((c.outside / "folder").c_str(), 0700), EACCES, "making a folder outside");
    c.refused(::unlink(kept.c_str()), EACCES, "removing outside");
}

void children(Confined& c) {
    const auto shell = [](const fs::path& target) {
        const pid_t child = ::fork();
        if (child == 0) {
            const char* argv[] = {"sh", "-c", "exec 2>/dev/null; echo x > \"$0\"", target.c_str(), nullptr};
            ::execve("/bin/sh", const_cast<char* const*>(argv), environ);
            ::_exit(127);
        }
        int status = -1;
        return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    c.expect(shell(c.inside / "by-child") == 0 && contents(c.inside / "by-child") == "x\n", "a child writing inside");
    if (c.landlockAbi() > 0)
        c.expect(shell(c.outside / "by-child") > 0 && !fs::exists(c.outside / "by-child"), "a child kept from outside");
}

void calls(Confined& c) {
    c.refused(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), EPERM, "socket(AF_INET)");
    int pair[2];
    c.expect(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair(AF_UNIX)");
    const dorvex::FileDescriptor local(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    c.expect(bool(local), "socket(AF_UNIX)");
    sockaddr_un named{AF_UNIX, "/nonexistent"};
    c.refused(::connect(local.get(), reinterpret_cast<const sockaddr*>(&named), sizeof named), EPERM, "connect");
    if (!c.missing("ptrace")) c.refused(::ptrace(PTRACE_PEEKUSER, ::getpid(), nullptr, nullptr), EPERM, "ptrace");
    c.refused(::unshare(CLONE_NEWUSER), EPERM, "unshare");
    const long cloned = ::syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (cloned == 0) ::_exit(0);
    c.refused(cloned, EPERM, "clone into a new user namespace");
    c.refused(::syscall(SYS_clone3, nullptr, 0), ENOSYS, "clone3");
    std::thread([] {}).join();  // the C library falls back to clone
    const dorvex::FileDescriptor null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    char byte = 'x';
    c.refused(::syscall(SYS_ioctl, null.get(), (1UL << 32) | TIOCSTI, &byte), EPERM, "TIOCSTI with high bits");
    c.expect(::personality(0xffffffff) >= 0, "asking for the persona");
    c.refused(::personality(PER_LINUX32), EPERM, "changing the persona");
#if defined(__x86_64__)
    c.refused(::syscall(0x40000000 | SYS_getpid), EPERM, "an x32 call (another architecture's)");
#endif
    if (c.landlockAbi() >= 6) c.refused(::kill(::getppid(), 0), EPERM, "signalling a process outside");
}

void addressSpace(Confined& c) {
    if (c.missing("address space limit (sanitizer build)")) return;
    // Through a volatile pointer, so that the compiler cannot assume that allocations succeed.
    void* (*volatile allocate)(std::size_t) = std::malloc;
    void* small = allocate(16 << 20);
    void* large = allocate(std::size_t(1) << 30);
    c.expect(small != nullptr && large == nullptr, "16 MiB within the limit, 1 GiB beyond it refused");
}

struct Case {
    const char* name;
    void (*check)(Confined&);
};
void PrintTo(const Case& side, std::ostream* out) { *out << side.name; }

class SandboxSides : public ::testing::TestWithParam<Case> {};

TEST_P(SandboxSides, HoldInAConfinedChild) {
    const TemporaryFolder inside, outside;
    put(outside / "kept", "kept");
    const std::string self = contents("/proc/self/status");  // a forked child has the same address space
    const std::uint64_t inUse = std::stoull(self.substr(self.find("VmSize:") + 7)) << 10;
    const dorvex::Sandbox::Rules rules{{inside.path(), inside / "absent"}, {"/dev/null"}, inUse + (512 << 20)};
    static bool reported = false;
    const bool print = !std::exchange(reported, true);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Confined confined{inside.path(), outside.path(), dorvex::Sandbox::enter(rules)};
        if (print)
            for (const auto& [lines, kind] : {std::pair(&confined.report.applied, "applied"), {&confined.report.missing, "missing"}, {&confined.report.waived, "waived"}})
                for (const auto& line : *lines) std::printf("sandbox %s: %s\n", kind, line.c_str());
        try {  // nothing may leave the child for the test runner
            GetParam().check(confined);
        } catch (const std::exception& error) {
            confined.expect(false, std::string("a check without exceptions (") + error.what() + ")");
        }
        std::fflush(nullptr);
        ::_exit(std::min(confined.failures, 100));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "checks that did not hold (printed above)";
}

INSTANTIATE_TEST_SUITE_P(Sandbox, SandboxSides,
                         ::testing::Values(Case{"Files", files}, Case{"Children", children}, Case{"Calls", calls},
                                           Case{"AddressSpace", addressSpace}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
