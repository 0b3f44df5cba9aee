#include "app/HandlerGate.h"

#include "app/DownloaderDialog.h"

namespace tervan {

void HandlerGate::activation(int state, bool minimized) {
    if (running()) {
        held_ = held_ || state == 1;
        return;
    }
    run([&] { controller_.handleActivation(state, minimized); });
}

void HandlerGate::deliverHeld(bool active, bool minimized) {
    if (running()) {
        held_ = true;
    } else if (active) {
        run([&] { controller_.handleActivation(1, minimized); });
    }
}

void HandlerGate::leave() {
    if (--depth_ == 0 && held_) {
        held_ = false;
        if (window_ != nullptr) {
            window_->queueHeldActivation();
        }
    }
}

}  // namespace tervan
