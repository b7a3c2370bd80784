#pragma once
// CallGate: lets callbacks run without their owner's lock while the owner can still cut them off.
// Each call holds an Entry while it runs; close() refuses every later entry and waits until the
// entries under way are given back, after which the callbacks may be let go.

#include <condition_variable>
#include <mutex>

namespace dorvex {

class CallGate {
public:
    // Held while a call runs; empty (false) when the gate was closed.
    class Entry {
    public:
        Entry(Entry&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        Entry& operator=(Entry&&) = delete;
        ~Entry() {
            if (gate_) gate_->leave();
        }
        explicit operator bool() const { return gate_ != nullptr; }

    private:
        friend class CallGate;
        explicit Entry(CallGate* gate) : gate_(gate) {}
        CallGate* gate_;
    };

    CallGate() = default;
    CallGate(const CallGate&) = delete;
    CallGate& operator=(const CallGate&) = delete;

    Entry enter() {
        std::lock_guard guard(lock_);
        if (closed_) return Entry(nullptr);
        ++calls_;
        return Entry(this);
    }

    // Not from inside a call: it would wait for itself.
    void close() {
        std::unique_lock guard(lock_);
        closed_ = true;
        idle_.wait(guard, [this] { return calls_ == 0; });
    }

private:
    void leave() {
        std::lock_guard guard(lock_);
        if (--calls_ == 0) idle_.notify_all();  // under the lock: the gate may go once close() returns
    }

    std::mutex lock_;
    std::condition_variable idle_;
    int calls_ = 0;
    bool closed_ = false;
};

}  // namespace dorvex
