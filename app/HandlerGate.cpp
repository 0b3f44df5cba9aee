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

void HandlerGate::command(int control, std::function<void()> handler) {
    if (running()) {
        heldCommands_.push_back({control, std::move(handler)});
        return;
    }
    run(handler);
}

void HandlerGate::deliverHeldCommands() {
    while (!running() && !heldCommands_.empty()) {
        HeldCommand next = std::move(heldCommands_.front());
        heldCommands_.pop_front();
        // A handler that ran meanwhile may have disabled the control (Connect after a
        // connect): a press on it would reach a state the window cannot otherwise reach.
        if (next.control == 0 || (window_ != nullptr && window_->isControlEnabled(next.control))) {
            run(next.handler);
        }
    }
}

void HandlerGate::leave() {
    if (--depth_ != 0) {
        return;
    }
    if (held_) {
        held_ = false;
        if (window_ != nullptr) {
            window_->queueHeldActivation();
        }
    }
    if (!heldCommands_.empty() && window_ != nullptr) {
        window_->queueHeldCommands();
    }
}

}  // namespace tervan
