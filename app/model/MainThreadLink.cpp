#include "model/MainThreadLink.h"

namespace dorvex::app {

void MainThreadLink::post(std::function<void()> call) {
    std::lock_guard guard(lock_);
    if (!receiver_) return;
    // The call takes the lock once more before it runs, so that the hand-over is also seen by
    // ThreadSanitizer, to which Qt's own event-queue locking is invisible.
    QMetaObject::invokeMethod(
        receiver_,
        [this, call = std::move(call)] {
            { std::lock_guard handedOver(lock_); }
            call();
        },
        Qt::QueuedConnection);
}

void MainThreadLink::close() {
    std::lock_guard guard(lock_);
    receiver_ = nullptr;
}

}  // namespace dorvex::app
