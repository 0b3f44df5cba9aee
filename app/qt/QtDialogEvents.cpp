// The user's events: forwarded to the controller through its HandlerGate, the window's
// activations classified as by a click or not, files dropped on the window, and the window
// kept alive while a handler waits on the target.
#include <QCoreApplication>
#include <QDropEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>
#include <filesystem>
#include <system_error>

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

// Paint, expose and the window manager's messages (its "are you alive" ping among them) are
// processed; the user's input (mouse, keys, the title bar's close button) stays queued and is
// handled once the handler has returned, against the button states it left.
void QtDialogWindow::keepAlive() {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void QtDialogWindow::runHandler(int control, std::function<void()> handler) {
    controller_.handlers.command(control, std::move(handler));
}

void QtDialogWindow::queueHeldCommands() {
    QMetaObject::invokeMethod(
        this, [this] { controller_.handlers.deliverHeldCommands(); }, Qt::QueuedConnection);
}

void QtDialogWindow::buttonClicked(int id) {
    if (id == kCloseButton) {
        runHandler(id, [this] { controller_.okCommand(); });
    } else {
        runHandler(id, [this, id] { controller_.controlClicked(id); });
    }
}

void QtDialogWindow::reject() {
    runHandler(0, [this] { controller_.cancelCommand(); });
}

std::optional<std::string> QtDialogWindow::droppedImageFile(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) {
        return std::nullopt;
    }
    const QUrl url = data->urls().first();
    if (!url.isLocalFile()) {
        return std::nullopt;
    }
    // The link's percent-encoded bytes are the file system's, also where they are not UTF-8.
    const std::string path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
    std::error_code error;
    if (path.empty() || std::filesystem::is_directory(path, error)) {
        return std::nullopt;
    }
    return path;
}

// A drop is taken only while no handler runs: a drag can reach the window while it is kept
// alive during a download.
void QtDialogWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!controller_.handlers.running() && droppedImageFile(event->mimeData())) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void QtDialogWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (!controller_.handlers.running() && droppedImageFile(event->mimeData())) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void QtDialogWindow::dropEvent(QDropEvent* event) {
    const std::optional<std::string> path = droppedImageFile(event->mimeData());
    if (!path || controller_.handlers.running()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    runHandler(0, [this, file = *path] { controller_.imageFileGiven(file); });
}

void QtDialogWindow::listActivated(int index) {
    // Only a new selection is a change; picking the entry already shown does nothing.
    if (index == lastListIndex_) {
        return;
    }
    lastListIndex_ = index;
    runHandler(kComList, [this] { controller_.comSelectionChanged(); });
}

}  // namespace tervan::qt
