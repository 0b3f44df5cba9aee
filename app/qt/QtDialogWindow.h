// The main window on Qt Widgets: builds its controls from the dialog template, forwards the
// user's events to the controller (DownloaderDialog) and carries out the controller's window
// services. It holds no state of its own beyond the widgets. QtDialogWindow.cpp builds the
// controls, QtDialogEvents.cpp forwards the events and QtDialogServices.cpp carries out the
// services.
#pragma once

#include <QDialog>
#include <QHash>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/DialogWindow.h"
#include "app/qt/DialogTemplate.h"

class QButtonGroup;
class QMimeData;

namespace tervan {
class DownloaderDialog;
}

namespace tervan::qt {

class QtDialogWindow : public QDialog, public DialogWindow {
    Q_OBJECT

public:
    // Builds the widgets (hidden). The controller is told about the window by initialise().
    explicit QtDialogWindow(DownloaderDialog& controller,
                            const DialogTemplate& dialogTemplate = DialogTemplate::mainWindow());
    // The window is destroyed: the controller closes what is still open (windowDestroyed).
    ~QtDialogWindow() override;

    // Hands the window to the controller and runs its initialisation (which may show message
    // boxes before the window is visible), then centres the window on the screen. An
    // `imageFile` (the program's argument) is taken as if chosen with Open once the window's
    // event loop runs, that is after it has been shown.
    void initialise(const std::optional<std::string>& imageFile = std::nullopt);
    // initialise(), then runs the dialog modally until the controller ends it.
    int run(const std::optional<std::string>& imageFile = std::nullopt);

    // The control with this id, or nullptr.
    QWidget* control(int id) const { return controls_.value(id, nullptr); }
    // Every control in creation order, those without an id included.
    const std::vector<QWidget*>& controlsInCreationOrder() const { return ordered_; }
    const DialogUnits& units() const { return units_; }

    // DialogWindow
    void setControlText(int id, const std::string& text) override;
    std::string controlText(int id) override;
    void setChecked(int id, bool checked) override;
    bool isChecked(int id) override;
    void selectListEntry(int id, int index) override;
    int selectedListEntry(int id) override;
    void enableControl(int id, bool enabled) override;
    bool isControlEnabled(int id) override;
    void setProgressRange(std::uint16_t lower, std::uint16_t upper) override;
    void setProgressPosition(std::int16_t position) override;
    void messageBox(const std::string& text) override;
    void beep(BeepKind kind) override;
    void setWaitCursor(bool on) override;
    std::optional<std::string> chooseImageFile(const std::string& initialPath) override;
    void endDialog(DialogResult result) override;
    void repaint() override;
    void queueHeldActivation() override;
    void queueHeldCommands() override;
    bool keepsAlive() const override { return true; }
    void keepAlive() override;

    // The one local file, not a folder, that a drag carries; nothing for anything else
    // (several files, a folder, a link that is not a file).
    static std::optional<std::string> droppedImageFile(const QMimeData* data);

    // How long after an activation a mouse press still counts as the click that activated
    // the window.
    static constexpr int kClickActivationMs = 150;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void reject() override;  // Escape, the title bar's close button
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildControls(const DialogTemplate& dialogTemplate);
    QWidget* createControl(const ControlTemplate& control);  // placed on the dialog
    QWidget* createWidget(const ControlTemplate& control);

    // The user's events, each run through the controller's HandlerGate, so that none starts
    // inside another. One that arrives while a handler runs (an assistive technology's action,
    // taken while the window was kept alive, reaches the controls despite a message box) waits
    // until no handler runs, as the user's input does, and then runs only if `control` (0 for
    // none) is still enabled.
    void runHandler(int control, std::function<void()> handler);
    void buttonClicked(int id);  // push buttons, and radio buttons by their group
    void listActivated(int index);
    void activated();
    void deliverActivation(int state);
    // A mouse or key press while an activation waits to be classified.
    void noteInput(const QEvent* event);

    DownloaderDialog& controller_;
    DialogUnits units_;
    QHash<int, QWidget*> controls_;
    std::vector<QWidget*> ordered_;
    std::vector<QButtonGroup*> radioGroups_;
    int progressLower_ = 0;
    int progressUpper_ = 100;
    int lastListIndex_ = -1;
    int waitCursorDepth_ = 0;
    // The file name last written into the path field, in the file system's bytes, and the text
    // it was shown as. Qt shows bytes that are not UTF-8 as U+FFFD, so while the field still
    // shows that text, reading it gives back these bytes rather than the text's UTF-8.
    std::string pathFieldName_;
    QString pathFieldShown_;
    bool initialised_ = false;
    QTimer clickActivationTimer_;
};

}  // namespace tervan::qt
