#pragma once
// OwnedThreads: the threads one owner starts and joins, each with the flag it sets, under the
// owner's lock, once it is past its last use of the owner. Joining such a thread waits only for it
// to return, so the owner can do it with its lock held.

#include <list>
#include <thread>

namespace dorvex::OwnedThreads {

// Joins and removes the entries whose thread has ended (`ended` set; the thread may also never
// have started). Call with the owner's lock held.
template <typename Entry>
void joinEnded(std::list<Entry>& entries) {
    entries.remove_if([](Entry& entry) {
        if (!entry.ended) return false;
        if (entry.thread.joinable()) entry.thread.join();
        return true;
    });
}

}  // namespace dorvex::OwnedThreads
