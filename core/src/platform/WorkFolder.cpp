#include "dorvex/platform/WorkFolder.h"

#include <fcntl.h>
#include <stdio.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dorvex/platform/Uuid.h"

namespace dorvex {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maxSpareFolders = 8;

// Renames `from` to `to` unless something already has that name.
bool renameFresh(const fs::path& from, const fs::path& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

// Emptied work folders waiting for the next job. Never destroyed, so that a job ending while the
// process exits finds it intact; the folders themselves are removed at exit, after which
// folders that come back are removed at once.
class SpareFolders {
public:
    static SpareFolders& shared() {
        static SpareFolders* const spares = [] {
            auto* made = new SpareFolders;
            std::atexit([] { shared().close(); });
            return made;
        }();
        return *spares;
    }

    // The spare folder in `parent` that came back last, taken out of the pool.
    std::optional<fs::path> take(const fs::path& parent) {
        const std::lock_guard lock(mutex_);
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
            if (it->parent_path() == parent) {
                fs::path folder = std::move(*it);
                folders_.erase(std::next(it).base());
                return folder;
            }
        }
        return std::nullopt;
    }

    // Keeps the empty `folder` (renamed to a fresh name beside it), or removes it.
    void give(const fs::path& folder) {
        {
            const std::lock_guard lock(mutex_);
            if (!closed_ && folders_.size() < maxSpareFolders) {
                fs::path spare = folder.parent_path() / ("dorvex-spare-" + Uuid::random().text());
                if (renameFresh(folder, spare)) {
                    folders_.push_back(std::move(spare));
                    return;
                }
            }
        }
        std::error_code ignored;
        fs::remove(folder, ignored);
    }

private:
    void close() {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        for (const fs::path& folder : folders_) {
            std::error_code ignored;
            fs::remove(folder, ignored);
        }
        folders_.clear();
    }

    std::mutex mutex_;
    std::vector<fs::path> folders_;
    bool closed_ = false;
};

// Removes everything in `folder`; false when something could not be removed or listed.
bool empty(const fs::path& folder) {
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    if (error) return false;
    for (const fs::path& entry : entries) {
        fs::remove_all(entry, error);
        if (error) return false;
    }
    return true;
}

}  // namespace

WorkFolder::WorkFolder(std::string_view prefix)
    : path_(fs::temp_directory_path() / (std::string(prefix) + Uuid::random().text())) {}

WorkFolder::~WorkFolder() {
    if (created_ && empty(path_)) {
        SpareFolders::shared().give(path_);
        return;
    }
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void WorkFolder::create(std::error_code& error) {
    error.clear();
    if (created_) return;
    while (auto spare = SpareFolders::shared().take(path_.parent_path())) {
        if (renameFresh(*spare, path_)) {
            created_ = true;
            return;
        }
        std::error_code ignored;
        fs::remove_all(*spare, ignored);
    }
    fs::create_directories(path_, error);
    created_ = !error;
}

void WorkFolder::create() {
    std::error_code error;
    create(error);
    if (error) throw fs::filesystem_error("cannot create directories", path_, error);
}

}  // namespace dorvex
