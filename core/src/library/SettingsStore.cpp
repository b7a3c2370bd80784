#include "dorvex/library/SettingsStore.h"

#include <algorithm>
#include <condition_variable>
#include <set>
#include <stdexcept>
#include <utility>

#include "dorvex/platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "library/SetAside.h"

namespace dorvex {

namespace fs = std::filesystem;
using json::Json;

struct SettingsStore::ObserverEntry {
    explicit ObserverEntry(Observer observer) : callback(std::move(observer)) {}

    const Observer callback;
    std::mutex mutex;
    std::condition_variable idle;
    bool active = true;  // guarded by mutex
    int running = 0;     // calls under way, on any thread; guarded by mutex
};

struct SettingsStore::Observers {
    std::mutex mutex;
    std::vector<std::shared_ptr<ObserverEntry>> entries;  // in registration order
};

struct SettingsStore::Stored {
    enum class State { absent, usable, unusable };
    State state = State::absent;
    Json object = Json::object();
};

namespace {

// The observers being called on this thread, innermost last; lets an observer cancel itself.
thread_local std::vector<const void*> runningHere;

void checkDomainName(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        throw std::invalid_argument("not a settings domain name: \"" + std::string(name) + "\"");
    }
}

std::vector<std::string> changedKeys(const Json& before, const Json& after) {
    std::vector<std::string> keys;
    for (const auto& item : after.items()) {
        auto old = before.find(item.key());
        if (old == before.end() || *old != item.value()) keys.push_back(item.key());
    }
    for (const auto& item : before.items()) {
        if (!after.contains(item.key())) keys.push_back(item.key());
    }
    return keys;
}

}  // namespace

// ---- subscriptions ------------------------------------------------------------------------

SettingsStore::Subscription& SettingsStore::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        cancel();
        observers_ = std::move(other.observers_);
        entry_ = std::move(other.entry_);
    }
    return *this;
}

void SettingsStore::Subscription::cancel() {
    if (!entry_) return;
    if (auto observers = observers_.lock()) {
        std::lock_guard lock(observers->mutex);
        std::erase(observers->entries, entry_);
    }
    // Wait for calls on other threads; calls of this observer further up this thread's own
    // stack (it cancels itself) cannot be waited for.
    const auto mine = int(std::count(runningHere.begin(), runningHere.end(), entry_.get()));
    {
        std::unique_lock lock(entry_->mutex);
        entry_->active = false;
        entry_->idle.wait(lock, [&] { return entry_->running == mine; });
    }
    entry_.reset();
    observers_.reset();
}

SettingsStore::Subscription SettingsStore::observe(Observer observer) {
    Subscription subscription;
    subscription.entry_ = std::make_shared<ObserverEntry>(std::move(observer));
    subscription.observers_ = observers_;
    std::lock_guard lock(observers_->mutex);
    observers_->entries.push_back(subscription.entry_);
    return subscription;
}

void SettingsStore::notify(const Change& change) {
    std::vector<std::shared_ptr<ObserverEntry>> entries;
    {
        std::lock_guard lock(observers_->mutex);
        entries = observers_->entries;
    }
    for (const auto& entry : entries) {
        {
            std::lock_guard lock(entry->mutex);
            if (!entry->active) continue;
            ++entry->running;
        }
        runningHere.push_back(entry.get());
        struct Finish {
            ObserverEntry& entry;
            ~Finish() {
                runningHere.pop_back();
                std::lock_guard lock(entry.mutex);
                --entry.running;
                entry.idle.notify_all();
            }
        } finish{*entry};
        entry->callback(change);
    }
}

// ---- the store ----------------------------------------------------------------------------

SettingsStore::SettingsStore(fs::path folder, std::string applicationDomain, StoreAccess access)
    : folder_(std::move(folder)),
      applicationDomain_(std::move(applicationDomain)),
      access_(access),
      observers_(std::make_shared<Observers>()) {
    checkDomainName(applicationDomain_);
}

SettingsStore::~SettingsStore() = default;

SettingsStore& SettingsStore::standard() {
    static SettingsStore store(AppPaths::settingsFolder());
    return store;
}

fs::path SettingsStore::fileOf(std::string_view domain) const {
    checkDomainName(domain);
    return folder_ / (std::string(domain) + ".json");
}

SettingsStore::Stored SettingsStore::readDomain(std::string_view name) const {
    const fs::path file = fileOf(name);
    if (const auto changed = unsaved_.find(name); changed != unsaved_.end()) {
        if (!changed->second) return {};
        return {Stored::State::usable, *changed->second};
    }
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) return {};
    try {
        Json object = Json::parse(AtomicFile::read(file));
        if (object.is_object()) return {Stored::State::usable, std::move(object)};
    } catch (const std::exception&) {
    }
    return {Stored::State::unusable, Json::object()};
}

std::vector<std::string> SettingsStore::writeDomain(std::string_view name, const Stored& stored,
                                                    const Json& updated) {
    std::vector<std::string> keys = changedKeys(stored.object, updated);
    if (keys.empty() && stored.state == Stored::State::usable) return keys;
    if (access_ == StoreAccess::readOnly) {
        unsaved_[std::string(name)] = updated;
        return keys;
    }
    const fs::path file = fileOf(name);
    if (stored.state == Stored::State::unusable) {
        // Whatever the user had there is kept aside rather than overwritten.
        std::error_code error;
        if (!SetAside::unusable(file, error) && error != std::errc::no_such_file_or_directory) {
            throw AtomicFile::FileError(AtomicFile::FileError::Kind::write, file, error);
        }
    }
    AtomicFile::write(file, updated.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
    return keys;
}

std::optional<Json> SettingsStore::persistentDomain(std::string_view domain) const {
    std::lock_guard lock(mutex_);
    Stored stored = readDomain(domain);
    if (stored.state != Stored::State::usable) return std::nullopt;
    return std::move(stored.object);
}

void SettingsStore::setPersistentDomain(const Json& domain, std::string_view name) {
    if (!domain.is_object()) throw std::invalid_argument("a settings domain must be a JSON object");
    modifyPersistentDomain(name, [&](Json& object) { object = domain; });
}

void SettingsStore::modifyPersistentDomain(std::string_view name, const std::function<void(Json&)>& change) {
    std::vector<std::string> keys;
    {
        std::lock_guard lock(mutex_);
        const Stored stored = readDomain(name);
        Json updated = stored.object;
        change(updated);
        if (!updated.is_object()) throw std::invalid_argument("a settings domain must be a JSON object");
        keys = writeDomain(name, stored, updated);
    }
    if (!keys.empty()) notify(Change{std::string(name), std::move(keys)});
}

void SettingsStore::removePersistentDomain(std::string_view name) {
    std::vector<std::string> keys;
    {
        std::lock_guard lock(mutex_);
        const Stored stored = readDomain(name);
        if (stored.state == Stored::State::absent) return;
        const fs::path file = fileOf(name);
        std::error_code error;
        if (access_ == StoreAccess::readOnly) {
            unsaved_[std::string(name)] = std::nullopt;
        } else {
            fs::remove(file, error);
        }
        if (error) throw AtomicFile::FileError(AtomicFile::FileError::Kind::write, file, error);
        keys = changedKeys(stored.object, Json::object());
    }
    if (!keys.empty()) notify(Change{std::string(name), std::move(keys)});
}

void SettingsStore::registerDefaults(const Json& defaults) {
    if (!defaults.is_object()) throw std::invalid_argument("settings defaults must be a JSON object");
    std::lock_guard lock(mutex_);
    for (const auto& item : defaults.items()) defaults_[item.key()] = item.value();
}

std::optional<Json> SettingsStore::value(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const Stored stored = readDomain(applicationDomain_);
    const std::string name(key);
    if (auto it = stored.object.find(name); it != stored.object.end()) return *it;
    if (auto it = defaults_.find(name); it != defaults_.end()) return *it;
    return std::nullopt;
}

std::optional<bool> SettingsStore::boolValue(std::string_view key) const {
    std::optional<Json> found = value(key);
    if (!found || !found->is_boolean()) return std::nullopt;
    return found->get<bool>();
}

std::optional<std::string> SettingsStore::stringValue(std::string_view key) const {
    std::optional<Json> found = value(key);
    if (!found || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

void SettingsStore::setValue(std::string_view key, Json value) {
    modifyPersistentDomain(applicationDomain_, [&](Json& object) { object[std::string(key)] = std::move(value); });
}

void SettingsStore::removeValue(std::string_view key) {
    modifyPersistentDomain(applicationDomain_, [&](Json& object) { object.erase(std::string(key)); });
}

}  // namespace dorvex
