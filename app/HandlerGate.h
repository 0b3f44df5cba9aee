// Runs the window's events one at a time. A handler may show a message box or the file chooser,
// whose own event loop keeps the window alive; the window becoming active again when it closes
// must not start the image re-check inside the handler that is still running. Such an
// activation is held and delivered from the window's event loop once the outermost handler has
// returned, as an activation other than by a click, if the window is still the active one. A
// command from a control that arrives meanwhile (an automation tool or an assistive technology
// reaches the controls while the window is kept alive) is held the same way and runs after the
// handler, against the button states it left: only if its control is still enabled then.
#pragma once

#include <deque>
#include <functional>

namespace tervan {

class DialogWindow;
class DownloaderDialog;

class HandlerGate {
public:
    explicit HandlerGate(DownloaderDialog& controller) : controller_(controller) {}

    // The window that delivers held activations (DialogWindow::queueHeldActivation).
    void setWindow(DialogWindow* window) { window_ = window; }

    // Runs one event from the window. Runs started inside it (a modal loop's events) count
    // towards the same outermost handler.
    template <typename Handler>
    void run(Handler&& handler) {
        ++depth_;
        handler();
        leave();
    }
    bool running() const { return depth_ > 0; }

    // An activation of a kind not yet known arrived while a handler runs: held.
    void hold() { held_ = running() || held_; }
    // The window became inactive (state 0) or active (1 not by a click, 2 by a click). Runs
    // the controller's activation handler now; while a handler runs, an activation other than
    // by a click is held, as only that one leads to a re-check.
    void activation(int state, bool minimized);
    // A command from `control` (0 for one without a control, such as Escape): runs now, or
    // is held while a handler runs.
    void command(int control, std::function<void()> handler);
    // The window's event loop runs the held commands in the order they came (see
    // DialogWindow::queueHeldCommands), each only if its control is still enabled; a handler
    // one of them starts holds the rest again.
    void deliverHeldCommands();
    // The window's event loop delivers what was held (see DialogWindow::queueHeldActivation).
    // Runs the activation handler if the window is still the active one; a handler that has
    // started meanwhile holds it again.
    void deliverHeld(bool active, bool minimized);

private:
    void leave();

    DownloaderDialog& controller_;
    DialogWindow* window_ = nullptr;
    int depth_ = 0;      // handlers running, nested ones included
    bool held_ = false;  // an activation arrived while one ran
    struct HeldCommand {
        int control;
        std::function<void()> handler;
    };
    std::deque<HeldCommand> heldCommands_;
};

}  // namespace tervan
