// Building the window: the controls from the dialog template, placed and sized in dialog units,
// and their signals connected to the event forwarding (QtDialogEvents.cpp).
#include "app/qt/QtDialogWindow.h"

#include <qdrawutil.h>
#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
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

// A group box drawn as a frame line whose top the caption interrupts. The styles' own group
// boxes on Linux (a faint panel a shade off the window's colour) are hard to make out. The line
// takes its colour between the window's and its text's, so it shows in light and dark palettes
// alike.
class FramedGroupBox : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

    static QColor frameColour(const QPalette& palette) {
        const QColor window = palette.color(QPalette::Window);
        const QColor text = palette.color(QPalette::WindowText);
        const auto mix = [](int from, int to) { return from + (to - from) * 45 / 100; };
        return QColor(mix(window.red(), text.red()), mix(window.green(), text.green()),
                      mix(window.blue(), text.blue()));
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        const int captionWidth = title().isEmpty() ? 0 : metrics.horizontalAdvance(title());
        const QRect frame = rect().adjusted(0, metrics.height() / 2, -1, -1);
        painter.setPen(frameColour(palette()));
        painter.drawRect(frame);

        if (captionWidth == 0) {
            return;
        }
        const int inset = metrics.averageCharWidth();
        QRect caption(0, 0, captionWidth + inset, metrics.height());
        if (alignment() & Qt::AlignHCenter) {
            caption.moveLeft((width() - caption.width()) / 2);
        } else {
            caption.moveLeft(inset);
        }
        painter.fillRect(caption, palette().brush(backgroundRole()));
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::WindowText));
        painter.drawText(caption, Qt::AlignCenter | Qt::TextSingleLine, title());
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
    setAcceptDrops(true);
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
        // A label's accessible name stays its text, which is what a screen reader reads and
        // announces when it changes; what it is for goes into the description.
        if (!control.accessibleDescription.isEmpty()) {
            widget->setAccessibleDescription(control.accessibleDescription);
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
            if (!control.accessibleName.isEmpty()) {
                // On Linux the accessibility bus names a list by its current entry; what the
                // list is for reaches it through a label. That label is never shown: the
                // window's own texts stay as they are.
                auto* label = new QLabel(control.accessibleName, this);
                label->setBuddy(list);
                label->hide();
                list->setAccessibleDescription(control.accessibleName);
            }
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
            auto* group = new FramedGroupBox(control.text, this);
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

void QtDialogWindow::initialise(const std::optional<std::string>& imageFile) {
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

    if (imageFile) {
        QMetaObject::invokeMethod(
            this,
            [this, path = *imageFile] {
                runHandler(0, [this, path] { controller_.imageFileGiven(path); });
            },
            Qt::QueuedConnection);
    }
}

int QtDialogWindow::run(const std::optional<std::string>& imageFile) {
    initialise(imageFile);
    return exec();
}

}  // namespace tervan::qt
