// Work folders in a temporary folder shared with other users: made exclusively and private, never
// reached through a name that something else took over, and the folders of dead runs removed at
// the next start while everything that may not be ours is left alone.

#include "dorvex/platform/WorkFolder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <string>
#include <vector>

#include "dorvex/platform/FileDescriptor.h"
#include "dorvex/platform/Uuid.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::WorkFolder;
using dorvex::testing::TemporaryFolder;
using dorvex::testing::namesIn;
using dorvex::testing::put;

namespace {

// TMPDIR points at a fresh folder of the test's own while it lives: what is made and removed
// there is the test's alone, and the first folder made there looks for dead runs' folders.
class OwnTemporaryFolder {
public:
    OwnTemporaryFolder() { ::setenv("TMPDIR", folder_.path().c_str(), 1); }
    ~OwnTemporaryFolder() { ::unsetenv("TMPDIR"); }
    OwnTemporaryFolder(const OwnTemporaryFolder&) = delete;
    OwnTemporaryFolder& operator=(const OwnTemporaryFolder&) = delete;

    const fs::path& path() const { return folder_.path(); }

private:
    TemporaryFolder folder_;
};

// A folder with one file, standing for another user's private files.
fs::path victimIn(const fs::path& parent) {
    const fs::path victim = parent / "private";
    put(victim / "photo.jpg", "bytes");
    return victim;
}

fs::perms permissionsOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

}  // namespace

// Something already at the folder's name (a link to someone's folder, a directory) makes the
// creation fail, and nothing behind the name is touched, then or when the WorkFolder goes.
TEST(WorkFolders, AnyExistingNameIsRefusedAndLeftAlone) {
    const OwnTemporaryFolder temporary;
    const fs::path victim = victimIn(temporary.path());
    for (const bool asLink : {true, false}) {
        SCOPED_TRACE(asLink ? "link" : "directory");
        fs::path taken;
        {
            WorkFolder work("dorvex-");
            taken = work.path();
            if (asLink) {
                fs::create_directory_symlink(victim, taken);
            } else {
                put(taken / "photo.jpg", "bytes");
            }
            std::error_code error;
            work.create(error);
            EXPECT_EQ(error, std::errc::file_exists);
            EXPECT_THROW(work.create(), fs::filesystem_error);
        }
        EXPECT_EQ(namesIn(taken), std::vector<std::string>{"photo.jpg"});
    }
}

// A kept spare whose name was taken over (a temp cleaner removed it, a link was put there) is
// dropped: the next folder is a directory of its own, and the link's target is never emptied.
TEST(WorkFolders, ASpareWhoseNameWasTakenOverIsDropped) {
    const OwnTemporaryFolder temporary;
    const fs::path victim = victimIn(temporary.path());
    {
        WorkFolder work("dorvex-");
        work.create();
        EXPECT_EQ(permissionsOf(work.path()), fs::perms(0700));
        put(work.path() / "attempt-0.png", "bytes");
    }
    std::vector<fs::path> spares;
    for (const auto& entry : fs::directory_iterator(temporary.path())) {
        if (entry.path().filename().string().starts_with("dorvex-spare-")) spares.push_back(entry.path());
    }
    ASSERT_EQ(spares.size(), 1u);
    fs::remove(spares[0]);
    fs::create_directory_symlink(victim, spares[0]);
    {
        WorkFolder next("dorvex-");
        next.create();
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(next.path())));
        EXPECT_TRUE(fs::is_empty(next.path()));
    }
    EXPECT_TRUE(fs::is_symlink(spares[0]));
    EXPECT_EQ(namesIn(victim), std::vector<std::string>{"photo.jpg"});
}

// The folders a dead run left are removed when the next process makes its first folder there:
// only folders named as ours, private, ours and locked by nobody.
TEST(WorkFolders, DeadRunsFoldersAreRemovedAndNothingElse) {
    const OwnTemporaryFolder temporary;
    const auto ourName = [](const std::string& prefix) { return prefix + dorvex::Uuid::random().text(); };
    const auto folder = [&](const std::string& name, fs::perms permissions) {
        const fs::path made = temporary.path() / name;
        put(made / "attempt-0.jpg", "bytes");
        fs::permissions(made, permissions);
        return made;
    };

    // A run killed while its folder held a file.
    const pid_t run = ::fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
        WorkFolder work("dorvex-video-");
        work.create();
        put(work.path() / "attempt-0.mp4", "bytes");
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(run, &status, 0), run);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(namesIn(temporary.path()).size(), 1u);
    const fs::path killed = temporary.path() / namesIn(temporary.path())[0];

    const fs::path unlocked = folder(ourName("dorvex-spare-"), fs::perms(0700));
    const fs::path locked = folder(ourName("dorvex-"), fs::perms(0700));
    const dorvex::FileDescriptor lock(::open(locked.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);  // as a live process holds its folder
    const fs::path open = folder(ourName("dorvex-"), fs::perms(0755));
    const fs::path otherName = folder("dorvex-test-" + dorvex::Uuid::random().text().substr(0, 6), fs::perms(0700));
    const fs::path victim = victimIn(temporary.path());
    const fs::path link = temporary.path() / ourName("dorvex-");
    fs::create_directory_symlink(victim, link);
    fs::path others;
    if (::geteuid() == 0) {  // only root can give a folder to another user
        others = folder(ourName("dorvex-"), fs::perms(0700));
        ASSERT_EQ(::chown(others.c_str(), 65534, 65534), 0);
    }

    WorkFolder next("dorvex-");
    next.create();
    EXPECT_FALSE(fs::exists(fs::symlink_status(killed)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(unlocked)));
    for (const fs::path& kept : {locked, open, otherName, victim, others}) {
        if (kept.empty()) continue;
        EXPECT_EQ(namesIn(kept), std::vector<std::string>{kept == victim ? "photo.jpg" : "attempt-0.jpg"}) << kept;
    }
    EXPECT_TRUE(fs::is_symlink(link));
}
