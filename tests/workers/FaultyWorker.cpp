// A worker that fails the way decoders fail, chosen by the source's name: "abort", "segv",
// "hang", "alloc" (without bound, under a 512 MB address-space limit of its own) and "escape"
// (writes beside its source, which its sandbox must refuse, then works as usual). Any other
// source is compressed as the real worker does.

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "engine/worker/WorkerLoop.h"

namespace {

void misbehave(const std::filesystem::path& source) {
    const std::string name = source.stem().string();
    if (name.find("abort") != std::string::npos) std::abort();
    if (name.find("segv") != std::string::npos) std::raise(SIGSEGV);
    if (name.find("hang") != std::string::npos) {
        while (true) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (name.find("alloc") != std::string::npos) {
        const rlimit bound{512ul << 20, 512ul << 20};
        ::setrlimit(RLIMIT_AS, &bound);
        std::vector<void*> kept;
        while (true) {
            void* block = std::malloc(16 << 20);
            if (!block) std::abort();  // as GLib's allocator does
            std::memset(block, 1, 16 << 20);
            kept.push_back(block);
        }
    }
    if (name.find("escape") != std::string::npos) {
        std::ofstream(source.parent_path() / "escaped") << "written from a worker";
    }
}

}  // namespace

int main(int argc, char** argv) { return dorvex::WorkerLoop::main(argc, argv, misbehave); }
