#pragma once
// MainThreadLink: carries calls from the engine's threads to the thread of one QObject (the
// model's, the main thread), one queued call each, until its owner closes it. Shared between the
// owner and every engine callback; safe to use from any thread.

#include <QObject>

#include <functional>
#include <mutex>

namespace dorvex::app {

class MainThreadLink {
public:
    explicit MainThreadLink(QObject* receiver) : receiver_(receiver) {}

    // Queues `call` on the receiver's thread. Nothing happens once close() has returned, and a
    // call still queued when the receiver is destroyed is dropped with it. The receiver's owner
    // keeps the link alive at least as long as the receiver.
    void post(std::function<void()> call);
    // Called by the receiver's owner before the receiver goes.
    void close();

private:
    std::mutex lock_;  // held while a call is queued, so that close() waits for it
    QObject* receiver_;
};

}  // namespace dorvex::app
