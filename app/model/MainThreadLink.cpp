#include "model/MainThreadLink.h"

namespace dorvex::app {

void MainThreadLink::post(std::function<void()> call) {
    std::lock_guard guard(lock_);
    if (!receiver_) return;
    QMetaObject::invokeMethod(receiver_, std::move(call), Qt::QueuedConnection);
}

void MainThreadLink::close() {
    std::lock_guard guard(lock_);
    receiver_ = nullptr;
}

}  // namespace dorvex::app
