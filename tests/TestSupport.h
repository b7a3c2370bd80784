#pragma once
// Helpers shared by the tests that touch files: the test media kept in the repository, temporary
// folders beside the test executable (on the build's file system, which has a trash and extended
// attributes, unlike tmpfs), a test home whose trash is the test's own, and small file helpers.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace dorvex::testing {

namespace fs = std::filesystem;

// A file or folder of tests/media ("images/city.png"). The files there are read, never changed:
// tests copy what they change into their own folders.
inline fs::path testMedia(const std::string& relative) { return fs::path(DORVEX_TEST_MEDIA_DIR) / relative; }

inline fs::path makeTemporaryFolder(const fs::path& parent, const std::string& prefix) {
    std::string pattern = (parent / (prefix + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed in " + parent.string());
    return pattern;
}

// A fresh folder in the temporary folder, removed with everything in it when the object goes.
class TemporaryFolder {
public:
    TemporaryFolder() : path_(makeTemporaryFolder(fs::temp_directory_path(), "dorvex-test-")) {}
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const fs::path& path() const { return path_; }
    std::string string() const { return path_.string(); }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline fs::path executableFolder() { return fs::read_symlink("/proc/self/exe").parent_path(); }

// HOME and XDG_DATA_HOME point at a fresh folder before the first test (GIO reads them once per
// process), and the folder goes when the last test has run. Register it once per test program:
//   [[maybe_unused]] auto* const home = ::testing::AddGlobalTestEnvironment(new TestHome("Name-"));
class TestHome : public ::testing::Environment {
public:
    explicit TestHome(std::string prefix) : prefix_(std::move(prefix)) {}

    static fs::path root() { return root_; }
    static fs::path trashFiles() { return root_ / "home" / ".local" / "share" / "Trash" / "files"; }

    void SetUp() override {
        root_ = makeTemporaryFolder(executableFolder(), prefix_);
        const fs::path home = root_ / "home";
        fs::create_directories(home / ".local" / "share");
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / ".local" / "share").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }

private:
    std::string prefix_;
    static inline fs::path root_;
};

inline std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

inline void put(const fs::path& file, const std::string& data) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << data;
}

// Names in a folder, hidden files included, sorted.
inline std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What jobs left in a temporary folder while this process lives: its names, without the emptied
// work folders that wait for the next job ("dorvex-spare-…"; that they go at exit is checked apart).
inline std::vector<std::string> leftoversIn(const fs::path& temporary) {
    std::vector<std::string> names = namesIn(temporary);
    std::erase_if(names, [&](const std::string& name) {
        std::error_code error;
        return name.starts_with("dorvex-spare-") && fs::is_empty(temporary / name, error);
    });
    return names;
}

}  // namespace dorvex::testing
