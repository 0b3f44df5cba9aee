#include "app/qt/QtDialogWindow.h"

#include <qdrawutil.h>
#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <algorithm>

#include "app/DownloaderDialog.h"

namespace tervan::qt {

namespace {

QFont dialogFont(const DialogTemplate& dialogTemplate) {
    QFont font = QApplication::font();
    font.setPointSize(dialogTemplate.pointSize);
    return font;
}

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/tervan/icons/tervan-downloader-%1.png").arg(size),
                     QSize(size, size));
    }
    return icon;
}

// The program's name as message boxes show it: the executable's file name without extension.
QString programName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

// The file-open chooser. Any name may be typed (the file need not exist), but its folder must.
class ImageFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList files = selectedFiles();
        if (!files.isEmpty()) {
            const QFileInfo chosen(files.first());
            if (!chosen.isDir() && !chosen.absoluteDir().exists()) {
                QMessageBox box(QMessageBox::Warning, windowTitle(),
                                tr("The folder %1 does not exist.\nCheck the path and try again.")
                                    .arg(QDir::toNativeSeparators(chosen.absolutePath())),
                                QMessageBox::Ok, this);
                box.setTextFormat(Qt::PlainText);
                box.exec();
                return;
            }
        }
        QFileDialog::accept();
    }
};

// A progress bar drawn as a sunken frame with a continuous fill. A blocking download repaints
// it after every page, and the styles' own bars (gradients, animation) cost about ten times as
// much to paint.
class SmoothProgressBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        const QRect frame = rect();
        qDrawShadePanel(&painter, frame, palette(), true, 1, &palette().brush(QPalette::Base));
        const QRect inside = frame.adjusted(2, 2, -2, -2);
        const long long span = static_cast<long long>(maximum()) - minimum();
        if (span <= 0 || value() <= minimum() || inside.isEmpty()) {
            return;
        }
        const long long done = std::min<long long>(value() - minimum(), span);
        const int width = static_cast<int>(inside.width() * done / span);
        painter.fillRect(QRect(inside.left(), inside.top(), width, inside.height()),
                         palette().brush(QPalette::Highlight));
    }
};

}  // namespace

QtDialogWindow::QtDialogWindow(DownloaderDialog& controller, const DialogTemplate& dialogTemplate)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      controller_(controller),
      units_(dialogFont(dialogTemplate)) {
    setFont(dialogFont(dialogTemplate));
    setWindowTitle(dialogTemplate.caption);
    setWindowIcon(programIcon());
    setFixedSize(units_.toPixels(dialogTemplate.size));
    setSizeGripEnabled(false);
    buildControls(dialogTemplate);

    clickActivationTimer_.setSingleShot(true);
    clickActivationTimer_.setInterval(kClickActivationMs);
    connect(&clickActivationTimer_, &QTimer::timeout, this, [this] { deliverActivation(1); });
}

QtDialogWindow::~QtDialogWindow() {
    clickActivationTimer_.stop();
    if (initialised_) {
        controller_.windowDestroyed();
        controller_.setWindow(nullptr);
    }
    while (waitCursorDepth_ > 0) {
        setWaitCursor(false);
    }
}

void QtDialogWindow::buildControls(const DialogTemplate& dialogTemplate) {
    QButtonGroup* currentGroup = nullptr;
    QWidget* previousTabStop = nullptr;
    for (const ControlTemplate& control : dialogTemplate.controls) {
        // A radio group runs from a control marked as a group start to the next such control.
        if (control.groupStart) {
            currentGroup = nullptr;
        }
        QWidget* widget = createControl(control);
        widget->setEnabled(!control.disabled);
        if (!control.accessibleName.isEmpty()) {
            widget->setAccessibleName(control.accessibleName);
        }
        if (control.id != kNoControlId) {
            widget->setObjectName(QStringLiteral("control%1").arg(control.id));
            controls_.insert(control.id, widget);
        }
        ordered_.push_back(widget);
        widget->installEventFilter(this);

        if (control.kind == ControlKind::Radio) {
            if (currentGroup == nullptr) {
                currentGroup = new QButtonGroup(this);
                currentGroup->setExclusive(true);
                radioGroups_.push_back(currentGroup);
            }
            currentGroup->addButton(static_cast<QAbstractButton*>(widget), control.id);
        }
        if (control.tabStop) {
            if (previousTabStop != nullptr) {
                QWidget::setTabOrder(previousTabStop, widget);
            }
            previousTabStop = widget;
        }
    }

    // Only user clicks reach the controller: idClicked is not raised when a button is checked
    // from code, so writing the state into the controls never starts a handler.
    for (QButtonGroup* group : radioGroups_) {
        connect(group, &QButtonGroup::idClicked, this, &QtDialogWindow::buttonClicked);
    }
}

QWidget* QtDialogWindow::createControl(const ControlTemplate& control) {
    QWidget* widget = createWidget(control);
    if (control.kind != ControlKind::DropList) {
        widget->setGeometry(units_.toPixels(control.rect));
    }
    return widget;
}

QWidget* QtDialogWindow::createWidget(const ControlTemplate& control) {
    const Qt::FocusPolicy focus = control.tabStop ? Qt::StrongFocus : Qt::ClickFocus;
    switch (control.kind) {
        case ControlKind::DefaultPushButton:
        case ControlKind::PushButton: {
            auto* button = new QPushButton(control.text, this);
            button->setFocusPolicy(focus);
            // Every push button takes Enter while it has the focus; elsewhere (the path field)
            // Enter goes to the default button, the OK command.
            button->setAutoDefault(true);
            button->setDefault(control.kind == ControlKind::DefaultPushButton);
            const int id = control.id;
            connect(button, &QPushButton::clicked, this, [this, id] { buttonClicked(id); });
            return button;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(control.text, this);
            edit->setFrame(control.border);
            edit->setFocusPolicy(focus);
            return edit;
        }
        case ControlKind::Radio: {
            auto* radio = new QRadioButton(control.text, this);
            radio->setFocusPolicy(focus);
            return radio;
        }
        case ControlKind::DropList: {
            auto* list = new QComboBox(this);
            list->setEditable(false);
            list->setFocusPolicy(focus);
            list->addItems(control.items);
            list->setCurrentIndex(-1);
            // The template's height includes the opened list; the closed box takes the height
            // the style asks for and the opened list shows as many entries as fit in the rest.
            QRect pixels = units_.toPixels(control.rect);
            const int closed = std::min(list->sizeHint().height(), pixels.height());
            const int entry = std::max(1, list->fontMetrics().height() + 2);
            list->setMaxVisibleItems(std::max(1, (pixels.height() - closed) / entry));
            pixels.setHeight(closed);
            list->setGeometry(pixels);
            connect(list, &QComboBox::activated, this, &QtDialogWindow::listActivated);
            return list;
        }
        case ControlKind::Static: {
            auto* label = new QLabel(control.text, this);
            label->setTextFormat(Qt::PlainText);
            label->setFocusPolicy(Qt::NoFocus);
            const Qt::Alignment horizontal = control.centred ? Qt::AlignHCenter : Qt::AlignLeft;
            const Qt::Alignment vertical =
                control.verticallyCentred ? Qt::AlignVCenter : Qt::AlignTop;
            label->setAlignment(horizontal | vertical);
            if (control.border) {
                label->setFrameStyle(QFrame::Box | QFrame::Plain);
                label->setLineWidth(1);
            }
            return label;
        }
        case ControlKind::GroupBox: {
            auto* group = new QGroupBox(control.text, this);
            group->setAlignment(control.centred ? Qt::AlignHCenter : Qt::AlignLeft);
            group->setFocusPolicy(Qt::NoFocus);
            // The frame is drawn behind the controls it surrounds, which are its siblings.
            group->lower();
            return group;
        }
        case ControlKind::Progress: {
            auto* bar = new SmoothProgressBar(this);
            bar->setTextVisible(false);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setFocusPolicy(Qt::NoFocus);
            return bar;
        }
    }
    return new QWidget(this);
}

void QtDialogWindow::initialise() {
    // Centred first, so that a message box during the initialisation (a stored image that is
    // too large) appears where the window will.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    controller_.setWindow(this);
    initialised_ = true;
    controller_.handlers.run([this] { controller_.initWindow(); });

    // The keyboard focus starts on the first control with a tab stop.
    for (QWidget* widget : ordered_) {
        if ((widget->focusPolicy() & Qt::TabFocus) && widget->isEnabled()) {
            widget->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
}

int QtDialogWindow::run() {
    initialise();
    return exec();
}

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

void QtDialogWindow::setControlText(int id, const std::string& text) {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        // The path field holds a file name in the file system's encoding.
        edit->setText(QFile::decodeName(QByteArray::fromStdString(text)));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(QString::fromStdString(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(QString::fromStdString(text));
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        group->setTitle(QString::fromStdString(text));
    }
}

std::string QtDialogWindow::controlText(int id) {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        return QFile::encodeName(edit->text()).toStdString();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return label->text().toStdString();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text().toStdString();
    }
    if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        return group->title().toStdString();
    }
    return {};
}

void QtDialogWindow::setChecked(int id, bool checked) {
    auto* button = qobject_cast<QAbstractButton*>(control(id));
    if (button == nullptr || button->isChecked() == checked) {
        return;
    }
    QButtonGroup* group = button->group();
    if (!checked && group != nullptr && group->exclusive()) {
        // An exclusive group refuses to uncheck its checked button; the state may ask for no
        // button of the group to be checked.
        group->setExclusive(false);
        button->setChecked(false);
        group->setExclusive(true);
    } else {
        button->setChecked(checked);
    }
}

bool QtDialogWindow::isChecked(int id) {
    auto* button = qobject_cast<QAbstractButton*>(control(id));
    return button != nullptr && button->isChecked();
}

void QtDialogWindow::selectListEntry(int id, int index) {
    auto* list = qobject_cast<QComboBox*>(control(id));
    if (list == nullptr) {
        return;
    }
    const int entry = index >= 0 && index < list->count() ? index : -1;
    list->setCurrentIndex(entry);
    lastListIndex_ = entry;
}

int QtDialogWindow::selectedListEntry(int id) {
    auto* list = qobject_cast<QComboBox*>(control(id));
    return list == nullptr ? -1 : list->currentIndex();
}

void QtDialogWindow::enableControl(int id, bool enabled) {
    if (QWidget* widget = control(id)) {
        widget->setEnabled(enabled);
    }
}

bool QtDialogWindow::isControlEnabled(int id) {
    QWidget* widget = control(id);
    return widget != nullptr && widget->isEnabled();
}

void QtDialogWindow::setProgressRange(std::uint16_t lower, std::uint16_t upper) {
    auto* bar = qobject_cast<QProgressBar*>(control(kProgressBar));
    if (bar == nullptr) {
        return;
    }
    progressLower_ = lower;
    progressUpper_ = std::max<int>(lower, upper);
    const int position = bar->value();
    // Equal bounds would turn the bar into a busy indicator; show an empty bar instead.
    bar->setRange(progressLower_, std::max(progressUpper_, progressLower_ + 1));
    bar->setValue(std::clamp(position, progressLower_, progressUpper_));
}

void QtDialogWindow::setProgressPosition(std::int16_t position) {
    auto* bar = qobject_cast<QProgressBar*>(control(kProgressBar));
    if (bar == nullptr) {
        return;
    }
    // Like the range, the position is clamped rather than ignored when it lies outside.
    bar->setValue(std::clamp<int>(position, progressLower_, progressUpper_));
}

void QtDialogWindow::messageBox(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, programName(), QString::fromStdString(text),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    // While a handler shows the wait cursor, the box gets the normal one.
    const bool waiting = waitCursorDepth_ > 0;
    if (waiting) {
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    }
    box.exec();
    if (waiting) {
        QApplication::restoreOverrideCursor();
    }
}

void QtDialogWindow::beep(BeepKind /*kind*/) {
    QApplication::beep();
}

void QtDialogWindow::setWaitCursor(bool on) {
    if (on) {
        ++waitCursorDepth_;
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (waitCursorDepth_ > 0) {
        --waitCursorDepth_;
        QApplication::restoreOverrideCursor();
    }
}

std::optional<std::string> QtDialogWindow::chooseImageFile(const std::string& initialPath) {
    QString folder;
    if (!initialPath.empty()) {
        const QFileInfo initial(QFile::decodeName(QByteArray::fromStdString(initialPath)));
        folder = initial.isDir() ? initial.absoluteFilePath() : initial.absolutePath();
        if (!QDir(folder).exists()) {
            folder.clear();
        }
    }
    // The one filter "BIN *.bin": Qt takes the pattern from the parentheses.
    ImageFileDialog chooser(this, tr("Open"), folder, tr("BIN (*.bin)"));
    chooser.setOption(QFileDialog::DontUseNativeDialog, true);
    chooser.setOption(QFileDialog::ReadOnly, false);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setFileMode(QFileDialog::AnyFile);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return QFile::encodeName(chooser.selectedFiles().first()).toStdString();
}

void QtDialogWindow::endDialog(DialogResult result) {
    done(static_cast<int>(result));
}

void QtDialogWindow::repaint() {
    if (QWidget* status = control(kStatusLine)) {
        status->repaint();
    }
    if (QWidget* progress = control(kProgressBar)) {
        progress->repaint();
    }
}

}  // namespace tervan::qt
