// The user's events: forwarded to the controller through its HandlerGate, and the window's
// activations classified as by a click or not.
#include <QEvent>
#include <QGuiApplication>

#include "app/DownloaderDialog.h"
#include "app/qt/QtDialogWindow.h"

namespace tervan::qt {

// The controller needs to know whether the window became active by a mouse click (state 2)
// or otherwise (state 1: the keyboard, a closed message box, the window manager). Qt does not
// say, and on X11 the focus change is reported before the click that caused it. So an
// activation with a mouse button already down counts as a click at once; otherwise it waits
// kClickActivationMs for a mouse press on the window (a click) or a key press (not a click),
// and without either it counts as not a click. An activation while a handler runs (one of its
// message boxes or the file chooser closed) is held by the controller's HandlerGate.
void QtDialogWindow::activated() {
    clickActivationTimer_.stop();
    if (controller_.handlers.running()) {
        controller_.handlers.hold();
    } else if (QGuiApplication::mouseButtons() != Qt::NoButton) {
        deliverActivation(2);
    } else {
        clickActivationTimer_.start();
    }
}

void QtDialogWindow::deliverActivation(int state) {
    clickActivationTimer_.stop();
    controller_.handlers.activation(state, isMinimized());
}

void QtDialogWindow::queueHeldActivation() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            const bool active = isActiveWindow();
            if (active) {
                clickActivationTimer_.stop();
            }
            controller_.handlers.deliverHeld(active, isMinimized());
        },
        Qt::QueuedConnection);
}

bool QtDialogWindow::event(QEvent* event) {
    switch (event->type()) {
        case QEvent::WindowActivate: {
            const bool result = QDialog::event(event);
            activated();
            return result;
        }
        case QEvent::WindowDeactivate:
            if (clickActivationTimer_.isActive()) {
                deliverActivation(1);
            }
            deliverActivation(0);
            break;
        default:
            noteInput(event);
            break;
    }
    return QDialog::event(event);
}

bool QtDialogWindow::eventFilter(QObject* watched, QEvent* event) {
    noteInput(event);
    return QDialog::eventFilter(watched, event);
}

void QtDialogWindow::noteInput(const QEvent* event) {
    if (!clickActivationTimer_.isActive()) {
        return;
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            deliverActivation(2);
            break;
        case QEvent::KeyPress:
            deliverActivation(1);
            break;
        default:
            break;
    }
}

void QtDialogWindow::buttonClicked(int id) {
    if (id == kCloseButton) {
        controller_.handlers.run([this] { controller_.okCommand(); });
    } else {
        controller_.handlers.run([this, id] { controller_.controlClicked(id); });
    }
}

void QtDialogWindow::reject() {
    controller_.handlers.run([this] { controller_.cancelCommand(); });
}

void QtDialogWindow::listActivated(int index) {
    // Only a new selection is a change; picking the entry already shown does nothing.
    if (index == lastListIndex_) {
        return;
    }
    lastListIndex_ = index;
    controller_.handlers.run([this] { controller_.comSelectionChanged(); });
}

}  // namespace tervan::qt
