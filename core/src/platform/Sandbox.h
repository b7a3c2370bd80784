#pragma once
// The confinement a worker process puts itself in before it decodes anything: no new privileges,
// Landlock for writing, a seccomp filter for the network and the kernel's dangerous interfaces,
// and a ceiling on its address space. Writing is allowed only beneath the folders and to the files
// named in the rules; the network is down to AF_UNIX sockets that connect nowhere (a worker speaks
// to its parent over an inherited socket pair; connect() is refused, as a named socket of the
// user's session, its bus, starts programs on request); signals and abstract sockets reach only
// the worker and its children (Landlock ABI 6); calls a decoder never makes (ptrace, mounts,
// namespaces, bpf, keyrings, io_uring, module loading, TIOCSTI, other architectures' calls …)
// fail with EPERM. Reading and exec stay open on purpose: a worker is reused for many sources,
// whose folders it cannot know when it starts, and it runs the external encoders (which inherit
// every part of this, and so write only where the worker may). Every other call is allowed, since
// libvips, libheif, qpdf and FFmpeg need a wide set that changes with their versions, and a call
// nobody foresaw must not end a job. Nothing here is undone: it binds the process and its
// children for good.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dorvex::Sandbox {

struct Rules {
    std::vector<std::filesystem::path> writableFolders;  // everything beneath may be written, made, removed
    std::vector<std::filesystem::path> writableFiles;    // e.g. /dev/null
    std::optional<std::uint64_t> addressSpaceBytes;      // RLIMIT_AS; none: unchanged
    bool operator==(const Rules&) const = default;
};

// What is in force after `enter`, for the parent to say once.
struct Report {
    std::vector<std::string> applied;  // e.g. "no new privileges", "seccomp", "Landlock ABI 2", "address space 6.0 GiB"
    std::vector<std::string> missing;  // one short English line each, why a mechanism is not in force
    std::vector<std::string> waived;   // what a sanitizer build leaves out on purpose (not the system's lack)
    bool operator==(const Report&) const = default;
};

// Confines the calling process for good. Call it while the process has one thread (before any
// library that starts threads is loaded): Landlock binds only the calling thread and what it
// starts afterwards. Never throws; what the kernel lacks or refuses is a `missing` line, and the
// process runs on. A writable folder or file that cannot be opened is left out of the rules (so
// less may be written, never more) and named in a `missing` line.
Report enter(const Rules& rules);

}  // namespace dorvex::Sandbox
