// The settings store: domains as JSON files, the application's values with registered defaults,
// unusable files kept aside, the change signal, and concurrent use.

#include "dorvex/library/SettingsStore.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dorvex/library/Preset.h"
#include "dorvex/platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "TestSupport.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using json::Json;
using testing::contents;
using testing::namesIn;
using testing::put;
using testing::TestHome;

[[maybe_unused]] auto* const home = ::testing::AddGlobalTestEnvironment(new TestHome("SettingsStoreTest-"));

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = testing::makeTemporaryFolder(TestHome::root(), "config-");
        store_ = std::make_unique<SettingsStore>(folder_);
    }
    void TearDown() override {
        store_.reset();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    fs::path appFile() const { return folder_ / "local.dorvex.app.json"; }

    fs::path folder_;
    std::unique_ptr<SettingsStore> store_;
};

TEST_F(SettingsStoreTest, ValuesAreStoredInTheApplicationDomainFile) {
    EXPECT_FALSE(store_->value("lastOutputFolder"));
    store_->setValue("lastOutputFolder", "/home/me/Out");
    store_->setValue("showMenuBarIcon", false);
    EXPECT_EQ(store_->stringValue("lastOutputFolder"), "/home/me/Out");
    EXPECT_EQ(store_->boolValue("showMenuBarIcon"), false);
    EXPECT_EQ(store_->boolValue("lastOutputFolder"), std::nullopt);  // another type

    EXPECT_EQ(Json::parse(contents(appFile())), (Json{{"lastOutputFolder", "/home/me/Out"}, {"showMenuBarIcon", false}}));
    // A second store on the same folder (the next launch, or the command line) sees them.
    EXPECT_EQ(SettingsStore(folder_).stringValue("lastOutputFolder"), "/home/me/Out");

    store_->removeValue("lastOutputFolder");
    EXPECT_FALSE(store_->value("lastOutputFolder"));
    EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"local.dorvex.app.json"});
}

TEST_F(SettingsStoreTest, RegisteredDefaultsFillInButNeverOverrideOrGetWritten) {
    store_->setValue("showMenuBarIcon", false);
    store_->registerDefaults({{"showMenuBarIcon", true}, {"keepRunningInMenuBar", true}});
    EXPECT_EQ(store_->boolValue("showMenuBarIcon"), false);
    EXPECT_EQ(store_->boolValue("keepRunningInMenuBar"), true);
    EXPECT_EQ(store_->persistentDomain("local.dorvex.app"), (Json{{"showMenuBarIcon", false}}));

    store_->removeValue("showMenuBarIcon");
    EXPECT_EQ(store_->boolValue("showMenuBarIcon"), true);
}

TEST_F(SettingsStoreTest, WholeDomainsAreReadAndReplacedByName) {
    EXPECT_FALSE(store_->persistentDomain("local.tavelin.app"));
    const Json domain{{"selectedPresetID", "00000000-0000-0000-0000-000000000002"}, {"n", 3}};
    store_->setPersistentDomain(domain, "local.tavelin.app");
    EXPECT_EQ(store_->persistentDomain("local.tavelin.app"), domain);
    EXPECT_TRUE(fs::exists(folder_ / "local.tavelin.app.json"));
    EXPECT_FALSE(store_->value("n"));  // not the application's domain

    store_->removePersistentDomain("local.tavelin.app");
    EXPECT_FALSE(store_->persistentDomain("local.tavelin.app"));
    EXPECT_THROW(store_->setPersistentDomain(Json::array(), "local.tavelin.app"), std::invalid_argument);
}

TEST_F(SettingsStoreTest, DomainNamesMustBePlainFileNames) {
    for (const char* bad : {"", "../escape", "a/b", ".hidden", "."}) {
        EXPECT_THROW(store_->persistentDomain(bad), std::invalid_argument) << bad;
        EXPECT_THROW(store_->setPersistentDomain(Json::object(), bad), std::invalid_argument) << bad;
    }
    EXPECT_THROW(SettingsStore(folder_, "a/b"), std::invalid_argument);
}

TEST_F(SettingsStoreTest, UnusableFileReadsAsEmptyAndIsKeptAsBackupBeforeTheFirstWrite) {
    // Each one met gets a backup of its own: none replaces an earlier one.
    const std::vector<std::pair<std::string, std::string>> cases{
        {"{ not json", ".bak"}, {"[1, 2]", ".bak.1"}, {"\"text\"", ".bak.2"}, {"", ".bak.3"}};
    for (const auto& [text, backup] : cases) {
        SCOPED_TRACE(text);
        put(appFile(), text);
        EXPECT_FALSE(store_->persistentDomain("local.dorvex.app"));
        EXPECT_FALSE(store_->value("showMenuBarIcon"));
        store_->setValue("showMenuBarIcon", true);
        EXPECT_EQ(store_->persistentDomain("local.dorvex.app"), (Json{{"showMenuBarIcon", true}}));
    }
    for (const auto& [text, backup] : cases) EXPECT_EQ(contents(fs::path(appFile()) += backup), text);
}

TEST_F(SettingsStoreTest, AReadOnlyStoreKeepsItsChangesInMemory) {
    put(appFile(), "{ damaged");
    SettingsStore store(folder_, "local.dorvex.app", StoreAccess::readOnly);
    store.setValue("lastOutputFolder", "/out");
    EXPECT_EQ(store.stringValue("lastOutputFolder"), "/out");
    store.removePersistentDomain("local.dorvex.app");
    EXPECT_FALSE(store.value("lastOutputFolder"));
    EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"local.dorvex.app.json"});
    EXPECT_EQ(contents(appFile()), "{ damaged");
}

// A FIFO where the settings belong would block a plain open until a writer came; a huge file is
// not ours. Both read as unusable at once, and so do presets.
TEST_F(SettingsStoreTest, WhatIsNotASmallRegularFileIsUnusable) {
    const auto fifo = [](const fs::path& file) { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); };
    const auto huge = [](const fs::path& file) { put(file, std::string(AtomicFile::maxReadBytes + 1, ' ')); };
    for (const auto& make : std::vector<std::function<void(const fs::path&)>>{fifo, huge}) {
        fs::remove(appFile());
        fs::remove(fs::path(appFile()) += ".bak");
        make(appFile());
        EXPECT_FALSE(store_->persistentDomain("local.dorvex.app"));
        EXPECT_THROW(AtomicFile::read(appFile()), AtomicFile::FileError);

        const fs::path presets = folder_ / "presets.json";
        fs::remove(presets);
        make(presets);
        EXPECT_EQ(PresetLibrary::load(presets), PresetLibrary::initial());
    }
}

TEST_F(SettingsStoreTest, WriteFailureIsThrown) {
    const fs::path blocked = folder_ / "blocked";
    put(blocked, "a file where the folder should be");
    SettingsStore store(blocked / "config");
    EXPECT_THROW(store.setValue("showMenuBarIcon", true), AtomicFile::FileError);
    EXPECT_FALSE(store.value("showMenuBarIcon"));
}

TEST_F(SettingsStoreTest, ObserversHearWhichKeysChanged) {
    std::vector<SettingsStore::Change> heard;
    auto subscription = store_->observe([&](const SettingsStore::Change& change) { heard.push_back(change); });

    store_->setValue("showMenuBarIcon", false);
    store_->setValue("showMenuBarIcon", false);  // no change, no call
    store_->setPersistentDomain({{"showMenuBarIcon", false}, {"a", 1}, {"b", 2}}, "local.dorvex.app");
    store_->setPersistentDomain({{"a", 1}, {"b", 3}}, "local.dorvex.app");
    store_->setPersistentDomain({{"x", 1}}, "local.tavelin.app");
    store_->removePersistentDomain("local.tavelin.app");
    store_->registerDefaults({{"keepRunningInMenuBar", true}});  // registration is not a change

    using Change = SettingsStore::Change;
    const std::vector<Change> expected{
        {"local.dorvex.app", {"showMenuBarIcon"}},
        {"local.dorvex.app", {"a", "b"}},
        {"local.dorvex.app", {"b", "showMenuBarIcon"}},
        {"local.tavelin.app", {"x"}},
        {"local.tavelin.app", {"x"}},
    };
    EXPECT_EQ(heard, expected);
}

TEST_F(SettingsStoreTest, CancelledObserversAreNotCalled) {
    int first = 0, second = 0, selfCancelling = 0;
    auto a = store_->observe([&](const SettingsStore::Change&) { ++first; });
    {
        auto b = store_->observe([&](const SettingsStore::Change&) { ++second; });
        store_->setValue("k", 1);
    }  // b dropped
    SettingsStore::Subscription c;
    c = store_->observe([&](const SettingsStore::Change&) {
        ++selfCancelling;
        c.cancel();  // allowed from inside the observer
    });
    store_->setValue("k", 2);
    store_->setValue("k", 3);
    a.cancel();
    store_->setValue("k", 4);
    EXPECT_EQ(first, 3);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(selfCancelling, 1);
}

TEST_F(SettingsStoreTest, ObserversMayUseTheStore) {
    std::optional<Json> seen;
    auto subscription = store_->observe([&](const SettingsStore::Change& change) {
        if (change.keys == std::vector<std::string>{"source"}) {
            seen = store_->value("source");
            store_->setValue("echo", *seen);
        }
    });
    store_->setValue("source", "x");
    EXPECT_EQ(seen, Json("x"));
    EXPECT_EQ(store_->stringValue("echo"), "x");
}

TEST_F(SettingsStoreTest, ConcurrentChangesAreAllKept) {
    constexpr int threads = 4, perThread = 25;
    std::atomic<int> calls{0};
    auto subscription = store_->observe([&](const SettingsStore::Change&) { ++calls; });
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                store_->setValue("key-" + std::to_string(t) + "-" + std::to_string(i), i);
                (void)store_->value("key-0-0");
            }
        });
    }
    // Observers come and go while the others write.
    workers.emplace_back([&] {
        for (int i = 0; i < 50; ++i) {
            auto passing = store_->observe([](const SettingsStore::Change&) {});
        }
    });
    for (auto& worker : workers) worker.join();

    const auto domain = store_->persistentDomain("local.dorvex.app");
    ASSERT_TRUE(domain);
    EXPECT_EQ(domain->size(), std::size_t(threads * perThread));
    EXPECT_EQ(calls.load(), threads * perThread);
    EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"local.dorvex.app.json"});
}

TEST(SettingsPathsTest, PathsFollowTheXdgVariables) {
    const fs::path root = TestHome::root();
    ::setenv("XDG_CONFIG_HOME", (root / "cfg").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    EXPECT_EQ(AppPaths::settingsFolder(), root / "cfg");
    EXPECT_EQ(AppPaths::presetsFile(), root / "data" / "Dorvex" / "presets.json");
    EXPECT_EQ(AppPaths::legacyPresetsFile(), root / "data" / "Tavelin" / "presets.json");

    // Relative values are ignored, unset ones fall back under the home folder.
    ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1);
    ::unsetenv("XDG_DATA_HOME");
    const fs::path homeFolder = ::getenv("HOME");
    EXPECT_EQ(AppPaths::settingsFolder(), homeFolder / ".config");
    EXPECT_EQ(AppPaths::presetsFile(), homeFolder / ".local" / "share" / "Dorvex" / "presets.json");

    ::setenv("XDG_CONFIG_HOME", (root / "cfg").c_str(), 1);
    SettingsStore::standard().setValue("selectedPresetID", "00000000-0000-0000-0000-000000000001");
    EXPECT_TRUE(fs::exists(root / "cfg" / "local.dorvex.app.json"));
    EXPECT_EQ(SettingsStore::standard().applicationDomain(), "local.dorvex.app");
}

}  // namespace
}  // namespace dorvex
