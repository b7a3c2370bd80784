#pragma once
// SettingsStore: the user's settings as named domains of key-value pairs, one JSON object per
// domain in "<folder>/<domain>.json" (the config home). Every change is written at once and
// atomically, and announced to the observers of this process. Values of the application's own
// domain fall back on defaults registered at start-up, which are never written.
//
// Thread-safe: changes are serialised, and each one reads the file afresh, changes it and
// replaces it, so a change never undoes another made in the meantime. Reads go to the file too,
// so values written by another process (the command line, a second window) are seen at once. Observers are called on the
// thread that made the change, after the store's lock is released (they may use the store).
//
// A read-only store reads the same files but keeps its changes in memory, where its own reads
// see them (and observers hear them as usual); it never writes, moves or removes a file.

#include <filesystem>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dorvex/library/StoreAccess.h"
#include "dorvex/model/JsonCoding.h"

namespace dorvex {

// The application's settings domain and the earlier product's.
inline constexpr std::string_view applicationSettingsDomain = "local.dorvex.app";
inline constexpr std::string_view legacySettingsDomain = "local.tavelin.app";

// The keys the application keeps in its domain.
namespace SettingsKeys {
inline constexpr std::string_view showMenuBarIcon = "showMenuBarIcon";              // Boolean
inline constexpr std::string_view keepRunningInMenuBar = "keepRunningInMenuBar";    // Boolean
inline constexpr std::string_view selectedPresetID = "selectedPresetID";            // UUID text
inline constexpr std::string_view lastOutputFolder = "lastOutputFolder";            // folder path
inline constexpr std::string_view didMigrateTavelinPreferences = "didMigrateTavelinPreferences";  // Boolean
// Whether the application's jobs measure how different each written picture looks from its source
// (CompressionOptions::perceptualScore).
inline constexpr std::string_view perceptualScore = "perceptualScore";  // Boolean
}  // namespace SettingsKeys

class SettingsStore {
    struct Observers;
    struct ObserverEntry;

public:
    struct Change {
        std::string domain;
        std::vector<std::string> keys;  // the keys whose stored value appeared, changed or went
        bool operator==(const Change&) const = default;
    };
    using Observer = std::function<void(const Change&)>;

    // Keeps an observer registered while it lives. Once cancel() or the destructor returns, the
    // observer is never called again and no call of it is still running on another thread
    // (cancelling from inside the observer itself is allowed).
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&&) noexcept = default;
        Subscription& operator=(Subscription&& other) noexcept;
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription() { cancel(); }
        void cancel();

    private:
        friend class SettingsStore;
        std::weak_ptr<Observers> observers_;
        std::shared_ptr<ObserverEntry> entry_;
    };

    // Domains live in `folder`; value() and friends work on `applicationDomain`.
    explicit SettingsStore(std::filesystem::path folder,
                           std::string applicationDomain = std::string(applicationSettingsDomain),
                           StoreAccess access = StoreAccess::readWrite);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The process's store on AppPaths::settingsFolder() and the application's domain, made on
    // first use.
    static SettingsStore& standard();

    const std::filesystem::path& folder() const { return folder_; }
    const std::string& applicationDomain() const { return applicationDomain_; }
    StoreAccess access() const { return access_; }
    // "<folder>/<domain>.json". A domain name must be a plain file name (no "/", not empty, not
    // starting with "."); any other throws std::invalid_argument here and in every call below.
    std::filesystem::path fileOf(std::string_view domain) const;

    // The stored object of a domain; nullopt when there is none or its file is unusable.
    std::optional<json::Json> persistentDomain(std::string_view domain) const;
    // Replaces the whole domain (a JSON object). An unusable file standing there is first moved
    // aside to a backup name of its own ("<file>.bak", else "<file>.bak.1" …; an earlier backup
    // is never replaced). Throws AtomicFile::FileError (also when the unusable file cannot be
    // moved aside), std::invalid_argument for a non-object.
    void setPersistentDomain(const json::Json& domain, std::string_view name);
    // Reads the domain (an empty object when there is none), lets `change` edit it and writes it
    // back, all under the store's lock. Throws as setPersistentDomain.
    void modifyPersistentDomain(std::string_view name, const std::function<void(json::Json&)>& change);
    // Deletes the domain's file. Throws AtomicFile::FileError.
    void removePersistentDomain(std::string_view name);

    // Defaults for keys the application's domain does not hold; later registrations win over
    // earlier ones for the same key. Kept in memory only; no observer is called.
    void registerDefaults(const json::Json& defaults);
    // The application domain's value of `key`, else its registered default.
    std::optional<json::Json> value(std::string_view key) const;
    // Typed reads: nullopt when the key holds nothing or a value of another type.
    std::optional<bool> boolValue(std::string_view key) const;
    std::optional<std::string> stringValue(std::string_view key) const;
    // Stores a value in the application's domain. Throws as setPersistentDomain.
    void setValue(std::string_view key, json::Json value);
    void removeValue(std::string_view key);

    // Calls `observer` after every change of any domain through this store (writes that change
    // nothing announce nothing), in the order of registration. Observers may be called on several
    // threads at once and must not throw. Keep the subscription: dropping it unregisters.
    [[nodiscard]] Subscription observe(Observer observer);

private:
    struct Stored;
    Stored readDomain(std::string_view name) const;
    // Replaces what `stored` read with `updated` and returns the keys that changed; the caller
    // holds mutex_.
    std::vector<std::string> writeDomain(std::string_view name, const Stored& stored, const json::Json& updated);
    void notify(const Change& change);

    std::filesystem::path folder_;
    std::string applicationDomain_;
    StoreAccess access_;
    mutable std::mutex mutex_;  // serialises reads and writes of the files, and the defaults
    // A read-only store's changes by domain: its object, or nullopt for a removed domain.
    std::map<std::string, std::optional<json::Json>, std::less<>> unsaved_;
    json::Json defaults_ = json::Json::object();
    std::shared_ptr<Observers> observers_;
};

}  // namespace dorvex
