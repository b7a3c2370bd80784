#include "output/DestinationLock.h"

#include <condition_variable>
#include <mutex>
#include <set>

#include "output/SameFile.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

namespace {

// The destinations being written right now, process-wide. A writer waits until its key is free,
// claims it, and frees it when it is done.
struct BusyDestinations {
    std::mutex mutex;
    std::condition_variable freed;
    std::set<std::string> keys;
};

BusyDestinations& busyDestinations() {
    static BusyDestinations busy;
    return busy;
}

}  // namespace

std::string lockKey(const fs::path& destination) {
    const fs::path absolute = absoluteNormal(destination);
    std::error_code error;
    fs::path folder = fs::weakly_canonical(absolute.parent_path(), error);
    if (error) folder = absolute.parent_path();
    return (folder / absolute.filename()).string();
}

DestinationLock::DestinationLock(const fs::path& destination) : key_(lockKey(destination)) {
    auto& busy = busyDestinations();
    std::unique_lock lock(busy.mutex);
    busy.freed.wait(lock, [&] { return !busy.keys.contains(key_); });
    busy.keys.insert(key_);
}

DestinationLock::~DestinationLock() {
    auto& busy = busyDestinations();
    {
        std::lock_guard lock(busy.mutex);
        busy.keys.erase(key_);
    }
    busy.freed.notify_all();
}

}  // namespace dorvex::OutputPlanner
