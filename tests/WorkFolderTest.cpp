// Work folders in a temporary folder shared with other users: never reached through a name that
// something else holds, and dead runs' folders removed while everything else is left alone.

#include "platform/WorkFolder.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>

#include "dorvex/platform/FileDescriptor.h"
#include "dorvex/platform/Uuid.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::WorkFolder;
using dorvex::testing::namesIn;
using dorvex::testing::put;
using Names = std::vector<std::string>;

namespace {

// TMPDIR is a folder of the test's own while it lives, with "private/photo.jpg" in it: another
// user's folder.
struct OwnTemporaryFolder : dorvex::testing::TemporaryFolder {
    OwnTemporaryFolder() {
        ::setenv("TMPDIR", path().c_str(), 1);
        put(victim / "photo.jpg", "bytes");
    }
    ~OwnTemporaryFolder() { ::unsetenv("TMPDIR"); }
    const fs::path victim = path() / "private";
};

}  // namespace

// A link or a directory at the folder's name is refused and left as it is; so is a link put at a
// kept spare's name (a temp cleaner removed the spare), and the next folder is one of its own.
TEST(WorkFolders, NamesHeldByAnythingElseAreLeftAlone) {
    const OwnTemporaryFolder temporary;
    for (const bool asLink : {true, false}) {
        fs::path taken;
        {
            WorkFolder work("dorvex-");
            taken = work.path();
            asLink ? fs::create_directory_symlink(temporary.victim, taken) : put(taken / "photo.jpg", "bytes");
            std::error_code error;
            work.create(error);
            EXPECT_EQ(error, std::errc::file_exists);
        }
        EXPECT_EQ(namesIn(taken), Names{"photo.jpg"}) << asLink;
        fs::remove_all(taken);
    }
    {
        WorkFolder work("dorvex-");
        work.create();
        put(work.path() / "attempt-0.png", "bytes");
    }
    const Names spare = namesIn(temporary.path());
    ASSERT_EQ(spare.size(), 2u);
    ASSERT_TRUE(spare[0].starts_with("dorvex-spare-"));
    fs::remove(temporary / spare[0]);
    fs::create_directory_symlink(temporary.victim, temporary / spare[0]);
    {
        WorkFolder next("dorvex-");
        next.create();
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(next.path())));
    }
    EXPECT_EQ(namesIn(temporary.victim), Names{"photo.jpg"});
}

// The emptied folders a process keeps for its next jobs go when it exits normally.
TEST(WorkFolders, SparesGoAtExit) {
    const OwnTemporaryFolder temporary;
    const pid_t run = ::fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
        for (int i = 0; i < 2; ++i) {
            WorkFolder work("dorvex-");
            work.create();
            put(work.path() / "attempt-0.png", "bytes");
        }
        const bool kept = namesIn(::getenv("TMPDIR")).size() == 2;  // private/ and a spare
        std::exit(kept ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(run, &status, 0), run);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "no spare was kept";
    EXPECT_EQ(namesIn(temporary.path()), Names{"private"});
}

// A folder of a killed run, or one of ours that nobody holds, goes at the next start; one that a
// live process holds, one others may enter, a link, a name not ours and another user's stay.
TEST(WorkFolders, DeadRunsFoldersAreRemovedAndNothingElse) {
    const OwnTemporaryFolder temporary;
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
    ASSERT_EQ(namesIn(temporary.path()).size(), 2u);

    const auto folder = [&](const std::string& prefix, fs::perms permissions, std::string name = "") {
        const fs::path made = temporary / (prefix + (name.empty() ? dorvex::Uuid::random().text() : name));
        put(made / "attempt-0.jpg", "bytes");
        fs::permissions(made, permissions);
        return made;
    };
    folder("dorvex-spare-", fs::perms(0700));
    const fs::path held = folder("dorvex-", fs::perms(0700));
    const dorvex::FileDescriptor lock(::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    Names kept{held.filename(), folder("dorvex-", fs::perms(0755)).filename(),
               folder("dorvex-test-", fs::perms(0700), "a1B2c3").filename(), "private"};
    kept.push_back("dorvex-" + dorvex::Uuid::random().text());
    fs::create_directory_symlink(temporary.victim, temporary / kept.back());
    if (::geteuid() == 0) {  // only root can give a folder to another user
        const fs::path others = folder("dorvex-", fs::perms(0700));
        ASSERT_EQ(::chown(others.c_str(), 65534, 65534), 0);
        kept.push_back(others.filename());
    }

    WorkFolder next("dorvex-");
    next.create();
    kept.push_back(next.path().filename());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(namesIn(temporary.path()), kept);
    EXPECT_EQ(namesIn(temporary.victim), Names{"photo.jpg"});
}
