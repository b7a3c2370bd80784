// Carrying over the earlier product's presets file and settings, once, without overriding what
// this application already has.

#include "dorvex/library/LegacyMigration.h"

#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/AtomicFile.h"
#include "dorvex/library/Preset.h"
#include "dorvex/library/PresetStore.h"
#include "dorvex/platform/AppPaths.h"
#include "TestSupport.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using json::Json;
using testing::contents;
using testing::namesIn;
using testing::put;

constexpr std::string_view oldDomain = legacySettingsDomain;
constexpr std::string_view newDomain = applicationSettingsDomain;

class LegacyMigrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = testing::makeTemporaryFolder(testing::executableFolder(), "LegacyMigrationTest-");
        store_ = std::make_unique<SettingsStore>(root_ / "config");
    }
    void TearDown() override {
        store_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path oldFile() const { return root_ / "data" / "Tavelin" / "presets.json"; }
    fs::path newFile() const { return root_ / "data" / "Dorvex" / "presets.json"; }
    void migrate() { LegacyMigration::migratePreferences(*store_, oldDomain, newDomain, LegacyMigration::preferenceKeys); }

    fs::path root_;
    std::unique_ptr<SettingsStore> store_;
};

// ---- presets file -------------------------------------------------------------------------

TEST_F(LegacyMigrationTest, FirstLaunchCopiesTheEarlierPresetsAndLaterLaunchesIgnoreThem) {
    PresetLibrary earlier = PresetLibrary::initial();
    earlier.add("From before", CompressionOptions{});
    earlier.save(oldFile());
    const std::string oldText = contents(oldFile());

    LegacyMigration::copyPresetsIfNeeded(oldFile(), newFile());
    EXPECT_EQ(contents(newFile()), oldText);
    EXPECT_EQ(contents(oldFile()), oldText);  // left where it was
    EXPECT_EQ(PresetLibrary::load(newFile()), earlier);
    EXPECT_EQ(namesIn(newFile().parent_path()), std::vector<std::string>{"presets.json"});

    put(oldFile(), "changed later");
    LegacyMigration::copyPresetsIfNeeded(oldFile(), newFile());
    EXPECT_EQ(contents(newFile()), oldText);
}

// Should the copy fail, the earlier file is read in place; damaged, it stays as it was, whether
// the store may write or not.
TEST_F(LegacyMigrationTest, TheEarlierPresetsFileIsOnlyEverRead) {
    const std::string dataHome = (root_ / "data").string();
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    put(oldFile(), "{ damaged");
    put(root_ / "data" / "Dorvex", "a file where the folder should be");
    for (const StoreAccess access : {StoreAccess::readWrite, StoreAccess::readOnly}) {
        SettingsStore settings(root_ / "config", std::string(newDomain), access);
        int logged = 0;
        const PresetStore store(AppPaths::presetsFile(), settings, [&](const std::string&) { ++logged; });
        EXPECT_EQ(store.library(), PresetLibrary::initial());
        EXPECT_EQ(logged, access == StoreAccess::readWrite ? 1 : 0);
        EXPECT_EQ(namesIn(oldFile().parent_path()), std::vector<std::string>{"presets.json"});
    }
    ::unsetenv("XDG_DATA_HOME");
}

TEST_F(LegacyMigrationTest, OwnPresetsFileAlwaysWins) {
    put(oldFile(), "old");
    put(newFile(), "own");
    LegacyMigration::copyPresetsIfNeeded(oldFile(), newFile());
    EXPECT_EQ(contents(newFile()), "own");
}

TEST_F(LegacyMigrationTest, NothingToCopyWritesNothing) {
    LegacyMigration::copyPresetsIfNeeded(oldFile(), newFile());
    EXPECT_FALSE(fs::exists(newFile().parent_path()));
}

TEST_F(LegacyMigrationTest, CopyFailuresAreThrownAndLeaveNoPartialFile) {
    put(oldFile(), "old");
    put(root_ / "data" / "Dorvex", "a file where the folder should be");
    EXPECT_THROW(LegacyMigration::copyPresetsIfNeeded(oldFile(), newFile()), AtomicFile::FileError);

    fs::remove(root_ / "data" / "Dorvex");
    fs::remove(oldFile());
    fs::create_directory(oldFile());  // exists but cannot be read as a file
    EXPECT_THROW(LegacyMigration::copyPresetsIfNeeded(oldFile(), newFile()), AtomicFile::FileError);
    EXPECT_FALSE(fs::exists(newFile()));
}

// ---- preferences --------------------------------------------------------------------------

TEST_F(LegacyMigrationTest, PreferencesAreCarriedOverOnceWithoutOverridingOwnValues) {
    store_->setPersistentDomain({{"showMenuBarIcon", false},
                                 {"keepRunningInMenuBar", false},
                                 {"selectedPresetID", "00000000-0000-0000-0000-000000000002"},
                                 {"unrelated", "not carried"}},
                                oldDomain);
    store_->setPersistentDomain({{"keepRunningInMenuBar", true}}, newDomain);

    migrate();
    EXPECT_EQ(store_->persistentDomain(newDomain),
              (Json{{"keepRunningInMenuBar", true},
                    {"showMenuBarIcon", false},
                    {"selectedPresetID", "00000000-0000-0000-0000-000000000002"},
                    {"didMigrateTavelinPreferences", true}}));

    // Changes in the earlier domain afterwards are not carried, nor values removed meanwhile.
    store_->setPersistentDomain({{"lastOutputFolder", "/new"}, {"showMenuBarIcon", true}}, oldDomain);
    store_->removeValue("showMenuBarIcon");
    migrate();
    EXPECT_FALSE(store_->value("lastOutputFolder"));
    EXPECT_FALSE(store_->value("showMenuBarIcon"));
}

TEST_F(LegacyMigrationTest, FlagIsSetEvenWhenThereWasNothingToCarry) {
    migrate();
    EXPECT_EQ(store_->persistentDomain(newDomain), (Json{{"didMigrateTavelinPreferences", true}}));
    EXPECT_FALSE(fs::exists(store_->fileOf(oldDomain)));

    store_->setPersistentDomain({{"showMenuBarIcon", false}}, oldDomain);
    migrate();
    EXPECT_FALSE(store_->value("showMenuBarIcon"));
}

TEST_F(LegacyMigrationTest, OnlyABooleanTrueFlagCountsAsDone) {
    for (const Json& flag : {Json(false), Json("true"), Json(1)}) {
        SCOPED_TRACE(flag.dump());
        store_->setPersistentDomain({{"showMenuBarIcon", false}}, oldDomain);
        store_->setPersistentDomain({{"didMigrateTavelinPreferences", flag}}, newDomain);
        migrate();
        EXPECT_EQ(store_->boolValue("showMenuBarIcon"), false);
        EXPECT_EQ(store_->value("didMigrateTavelinPreferences"), Json(true));
    }
}

TEST_F(LegacyMigrationTest, UnusableOwnDomainIsKeptAsideAndMigrationStillRuns) {
    put(store_->fileOf(newDomain), "{ broken");
    store_->setPersistentDomain({{"lastOutputFolder", "/out"}}, oldDomain);
    migrate();
    EXPECT_EQ(store_->stringValue("lastOutputFolder"), "/out");
    EXPECT_EQ(contents(fs::path(store_->fileOf(newDomain)) += ".bak"), "{ broken");
}

TEST_F(LegacyMigrationTest, WriteFailureIsSwallowedAndTriedAgainNextTime) {
    put(root_ / "blocked", "a file where the folder should be");
    SettingsStore blocked(root_ / "blocked" / "config");
    EXPECT_NO_THROW(LegacyMigration::migratePreferences(blocked, oldDomain, newDomain, LegacyMigration::preferenceKeys));
    EXPECT_FALSE(blocked.persistentDomain(newDomain));
}

}  // namespace
}  // namespace dorvex
