// The Qt window over the real controller, on Qt's offscreen platform: the layout built from the
// template, the tab order, the first-start state, that writing the state into the controls
// starts no handler, the user's clicks and keys, and the window services.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/DownloaderDialog.h"
#include "app/qt/DialogTemplate.h"
#include "app/qt/QtDialogWindow.h"
#include "link/SystemPaths.h"
#include "support/DeviceRootTest.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::qt::ControlKind;
using tervan::qt::ControlTemplate;
using tervan::qt::DialogTemplate;
using tervan::qt::DialogUnits;
using tervan::qt::kNoControlId;
using tervan::qt::QtDialogWindow;
using tervan::testing::DeviceRootTest;
using tervan::testing::readFile;
using tervan::testing::writeFile;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "gui_tests";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { application_.reset(); }

private:
    std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Answers the modal boxes and choosers the window opens, from a timer running in their own
// event loop. Message boxes are recorded and closed with OK; other dialogs go to `answer`,
// which must close them. The answer runs from the event loop, so it may open further boxes.
class ModalAnswerer {
public:
    explicit ModalAnswerer(std::function<void(QDialog*)> answer = {}) : answer_(std::move(answer)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(5);
    }

    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        int buttons;
        Qt::CursorShape cursor;
    };
    std::vector<Box> boxes;

private:
    void poll() {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (modal == nullptr || qobject_cast<QtDialogWindow*>(modal) != nullptr ||
            modal->property("answered").toBool()) {
            return;
        }
        modal->setProperty("answered", true);
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            const QCursor* cursor = QApplication::overrideCursor();
            boxes.push_back({box->windowTitle(), box->text(), box->icon(),
                             static_cast<int>(box->buttons().size()),
                             cursor != nullptr ? cursor->shape() : Qt::ArrowCursor});
            QMetaObject::invokeMethod(
                box, [box] { box->buttons().first()->click(); }, Qt::QueuedConnection);
        } else if (answer_) {
            QMetaObject::invokeMethod(
                modal, [this, modal] { answer_(modal); }, Qt::QueuedConnection);
        } else {
            ADD_FAILURE() << "unexpected dialog " << modal->windowTitle().toStdString();
            QMetaObject::invokeMethod(
                modal, [modal] { modal->reject(); }, Qt::QueuedConnection);
        }
    }

    std::function<void(QDialog*)> answer_;
    QTimer timer_;
};

class WindowTest : public DeviceRootTest {
protected:
    WindowTest() { std::filesystem::create_directory(dir.file("ports")); }
    ~WindowTest() override {
        window.reset();
        dialog.reset();
    }

    QtDialogWindow& open() {
        dialog = std::make_unique<DownloaderDialog>(settings);
        window = std::make_unique<QtDialogWindow>(*dialog);
        window->initialise();
        return *window;
    }
    QtDialogWindow& openShown() {
        open();
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return *window;
    }
    template <typename T>
    T* widget(int id) {
        T* result = qobject_cast<T*>(window->control(id));
        EXPECT_NE(result, nullptr) << "control " << id;
        return result;
    }
    std::string storedSetting(const char* key) { return settings.readSettingText("setup", key); }
    // A port that is there (any device that opens) or missing (a link to nothing).
    void port(int number, bool present) {
        std::filesystem::create_symlink(present ? "/dev/null" : dir.file("no-such-device"),
                                        dir.file("ports/COM" + std::to_string(number)));
    }
    std::string image(const std::string& name, std::size_t size) {
        writeFile(dir.file(name), std::string(size, '\x11'));
        return dir.file(name);
    }

    SettingsStore settings{dir.file("tervan.ini")};
    std::unique_ptr<DownloaderDialog> dialog;
    std::unique_ptr<QtDialogWindow> window;
};

// The layout the window is built from: the dialog's own template file in the source tree, read
// here as it is on disk rather than the copy compiled into the program.
const DialogTemplate& layoutFile() {
    static const DialogTemplate layout = [] {
        QFile file(QStringLiteral(TERVAN_DIALOG_JSON));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << TERVAN_DIALOG_JSON;
        QString error;
        DialogTemplate parsed = DialogTemplate::parse(file.readAll(), &error);
        EXPECT_FALSE(parsed.controls.empty()) << error.toStdString();
        return parsed;
    }();
    return layout;
}

// The Qt class each kind of control must become.
const char* classFor(ControlKind kind) {
    switch (kind) {
        case ControlKind::DefaultPushButton:
        case ControlKind::PushButton:
            return "QPushButton";
        case ControlKind::Edit:
            return "QLineEdit";
        case ControlKind::Radio:
            return "QRadioButton";
        case ControlKind::DropList:
            return "QComboBox";
        case ControlKind::Static:
            return "QLabel";
        case ControlKind::GroupBox:
            return "QGroupBox";
        case ControlKind::Progress:
            return "QProgressBar";
    }
    return "";
}

QString textOf(QWidget* widget) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        return edit->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget))
        return group->title();
    return {};
}

}  // namespace

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

TEST(DialogUnitsTest, ConvertsWithRoundingLikeTheDialogManager) {
    const DialogUnits units(6, 13);
    EXPECT_EQ(units.toPixels(QRect(224, 5, 50, 14)), QRect(336, 8, 75, 23));
    EXPECT_EQ(units.toPixels(QSize(290, 165)), QSize(435, 268));
}

TEST_F(WindowTest, ControlsFollowTheLayout) {
    // Built but not initialised: the controls as they are created.
    dialog = std::make_unique<DownloaderDialog>(settings);
    window = std::make_unique<QtDialogWindow>(*dialog);
    const DialogUnits& units = window->units();

    const DialogTemplate& layout = layoutFile();
    EXPECT_EQ(window->windowTitle(), layout.caption);
    EXPECT_EQ(window->minimumSize(), units.toPixels(layout.size));
    EXPECT_EQ(window->maximumSize(), window->minimumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowIcon().availableSizes().contains(QSize(32, 32)));

    const auto& created = window->controlsInCreationOrder();
    ASSERT_EQ(created.size(), layout.controls.size());
    for (std::size_t i = 0; i < created.size(); ++i) {
        const ControlTemplate& expected = layout.controls[i];
        QWidget* widget = created[i];
        SCOPED_TRACE(::testing::Message() << "control " << i << " id " << expected.id);
        EXPECT_STREQ(widget->metaObject()->className(), classFor(expected.kind));
        EXPECT_EQ(textOf(widget), expected.text);
        EXPECT_EQ(widget->isEnabled(), !expected.disabled);
        if (expected.id != kNoControlId) {
            EXPECT_EQ(window->control(expected.id), widget);
            EXPECT_EQ(widget->objectName(), QStringLiteral("control%1").arg(expected.id));
        }
        QRect pixels = units.toPixels(expected.rect);
        if (expected.id == kComList) {
            // The template's height includes the opened list; the closed box is one line.
            EXPECT_LE(widget->height(), units.toPixelsY(16));
            EXPECT_GE(static_cast<QComboBox*>(widget)->maxVisibleItems(), 10);
            pixels.setHeight(widget->height());
        }
        EXPECT_EQ(widget->geometry(), pixels);
    }

    EXPECT_TRUE(widget<QPushButton>(kCloseButton)->isDefault());
    auto* list = widget<QComboBox>(kComList);
    ASSERT_EQ(list->count(), 10);
    EXPECT_EQ(list->itemText(0), "COM1");
    EXPECT_EQ(list->itemText(9), "COM10");
    EXPECT_EQ(widget<QLabel>(kStatusLine)->alignment(), Qt::AlignCenter);
    EXPECT_FALSE(widget<QProgressBar>(kProgressBar)->isTextVisible());

    // Three radio groups, each holding exactly its own pair.
    const std::pair<int, int> groups[] = {
        {kModel256Radio, kModel64Radio}, {kUsbRadio, kSerialRadio}, {kRomRadio, kRamRadio}};
    for (const auto& [first, second] : groups) {
        QButtonGroup* group = widget<QRadioButton>(first)->group();
        ASSERT_NE(group, nullptr);
        EXPECT_EQ(group->buttons().size(), 2);
        EXPECT_EQ(widget<QRadioButton>(second)->group(), group);
        EXPECT_EQ(group->id(widget<QRadioButton>(second)), second);
    }
}

TEST_F(WindowTest, TabOrderIsCreationOrderWithoutRadioButtons) {
    open();
    // The focus chain holds the tab stops in creation order; radio buttons and labels are
    // not in it.
    std::vector<int> chain;
    QWidget* start = window->control(kCloseButton);
    QWidget* current = start;
    do {
        if (current->focusPolicy() & Qt::TabFocus) {
            chain.push_back(current->objectName().mid(7).toInt());  // "control<id>"
        }
        current = current->nextInFocusChain();
    } while (current != start && chain.size() < 40);
    EXPECT_EQ(chain, (std::vector<int>{kCloseButton, kPathField, kOpenButton, kDownloadButton,
                                       kResetButton, kDownToRamButton, kRunRamButton,
                                       kConnectButton, kDisconnectButton, kComList}));

    // Shown, the window starts with the focus on the first tab stop.
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    EXPECT_EQ(QApplication::focusWidget(), window->control(kCloseButton));
}

TEST_F(WindowTest, FirstStartWithoutSettingsFile) {
    ModalAnswerer answerer;
    open();
    EXPECT_TRUE(widget<QRadioButton>(kSerialRadio)->isChecked());
    EXPECT_FALSE(widget<QRadioButton>(kUsbRadio)->isChecked());
    EXPECT_TRUE(widget<QRadioButton>(kModel256Radio)->isChecked());
    EXPECT_TRUE(widget<QRadioButton>(kRomRadio)->isChecked());
    EXPECT_EQ(widget<QComboBox>(kComList)->currentText(), "COM1");
    EXPECT_EQ(widget<QLineEdit>(kPathField)->text(), "");
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "");
    EXPECT_EQ(widget<QLabel>(kStatusLine)->text(), "Disconnected");
    EXPECT_EQ(widget<QProgressBar>(kProgressBar)->value(), 0);
    EXPECT_FALSE(window->control(kUsbRadio)->isEnabled());
    EXPECT_TRUE(window->control(kComList)->isEnabled());
    // Of the six connection and action buttons only Connect is enabled.
    for (int id :
         {kDisconnectButton, kDownloadButton, kResetButton, kDownToRamButton, kRunRamButton}) {
        EXPECT_FALSE(window->control(id)->isEnabled()) << id;
    }
    EXPECT_TRUE(window->control(kConnectButton)->isEnabled());
    EXPECT_TRUE(answerer.boxes.empty());
    EXPECT_FALSE(std::filesystem::exists(settings.settingsPath));
}

TEST_F(WindowTest, WritingTheStateIntoTheControlsStartsNoHandler) {
    // COM7 is missing: a selection change that reached the controller would probe it and
    // show a box; a radio change would write the settings file.
    port(7, false);
    writeFile(settings.settingsPath, "[setup]\ninterface=1\nmodel=1\ncom=6\ntarget=1\n");
    const std::string before = readFile(settings.settingsPath);
    ModalAnswerer answerer;
    openShown();
    EXPECT_TRUE(widget<QRadioButton>(kModel64Radio)->isChecked());
    EXPECT_TRUE(widget<QRadioButton>(kRamRadio)->isChecked());
    EXPECT_EQ(widget<QComboBox>(kComList)->currentIndex(), 6);

    SessionOptions chosen = dialog->session().options();
    chosen.targetModel = 0;
    chosen.targetMemory = 0;
    dialog->session().configure(chosen);
    dialog->comIndex = 2;
    dialog->refreshControls();
    chosen = dialog->session().options();
    chosen.targetMemory = 2;  // checks neither button of the group
    dialog->session().configure(chosen);
    dialog->comIndex = 12;  // selects no entry
    dialog->refreshControls();
    QTest::qWait(50);

    EXPECT_TRUE(widget<QRadioButton>(kModel256Radio)->isChecked());
    EXPECT_FALSE(widget<QRadioButton>(kRomRadio)->isChecked());
    EXPECT_FALSE(widget<QRadioButton>(kRamRadio)->isChecked());
    EXPECT_EQ(widget<QComboBox>(kComList)->currentIndex(), -1);
    EXPECT_TRUE(answerer.boxes.empty());
    EXPECT_EQ(readFile(settings.settingsPath), before);
}

TEST_F(WindowTest, RamClickWhileConnectedDisablesTheFlashButtons) {
    openShown();
    // The connected window with ROM chosen.
    window->enableControl(kConnectButton, false);
    for (int id : {kDisconnectButton, kDownloadButton, kResetButton}) {
        window->enableControl(id, true);
    }

    QTest::mouseClick(window->control(kRamRadio), Qt::LeftButton);
    EXPECT_TRUE(widget<QRadioButton>(kRamRadio)->isChecked());
    EXPECT_FALSE(window->control(kDownloadButton)->isEnabled());
    EXPECT_FALSE(window->control(kResetButton)->isEnabled());
    EXPECT_FALSE(window->control(kDownToRamButton)->isEnabled());
    EXPECT_FALSE(window->control(kRunRamButton)->isEnabled());
    EXPECT_TRUE(window->control(kDisconnectButton)->isEnabled());
    EXPECT_EQ(storedSetting("target"), "1");

    // A click on the button already checked runs the handler too.
    std::filesystem::remove(settings.settingsPath);
    QTest::mouseClick(window->control(kRamRadio), Qt::LeftButton);
    EXPECT_EQ(storedSetting("target"), "1");
}

TEST_F(WindowTest, ComListSelectionByTheUser) {
    port(6, true);
    port(7, false);
    port(8, true);
    settings.writeSettingInt("setup", "com", 5);
    ModalAnswerer answerer;
    openShown();
    auto* list = widget<QComboBox>(kComList);
    list->setFocus();

    QTest::keyClick(list, Qt::Key_Down);  // COM7, missing
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].text, "This COM-Port is not available!");
    EXPECT_EQ(answerer.boxes[0].title, "gui_tests");
    EXPECT_EQ(answerer.boxes[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(answerer.boxes[0].buttons, 1);
    EXPECT_EQ(list->currentText(), "COM7");
    EXPECT_EQ(storedSetting("com"), "5");

    // Picking the entry already shown is no change.
    Q_EMIT list->activated(6);
    EXPECT_EQ(answerer.boxes.size(), 1u);

    QTest::keyClick(list, Qt::Key_Down);  // COM8, there
    EXPECT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(storedSetting("com"), "7");
    EXPECT_EQ(dialog->session().options().comPortPath, "\\\\.\\COM8");
    EXPECT_EQ(widget<QLabel>(kStatusLine)->text(), "Disconnected");
}

TEST_F(WindowTest, EnterInThePathFieldIsTheOkCommandAndEscapeCancels) {
    openShown();
    auto* path = widget<QLineEdit>(kPathField);
    QTimer::singleShot(0, path, [path] {
        path->setFocus();
        path->setText("/typed/image.bin");
        QTest::keyClick(path, Qt::Key_Return);
    });
    EXPECT_EQ(window->exec(), static_cast<int>(DialogResult::Ok));
    EXPECT_EQ(dialog->imagePath, "/typed/image.bin");  // the controls were read

    window->show();
    QTimer::singleShot(0, window.get(), [this] { QTest::keyClick(window.get(), Qt::Key_Escape); });
    EXPECT_EQ(window->exec(), static_cast<int>(DialogResult::Cancel));

    // The title bar's close button is cancel as well.
    window->show();
    QTimer::singleShot(0, window.get(), [this] { window->close(); });
    EXPECT_EQ(window->exec(), static_cast<int>(DialogResult::Cancel));
}

TEST_F(WindowTest, ProgressBarClampsAndNeverTurnsIntoABusyIndicator) {
    open();
    auto* bar = widget<QProgressBar>(kProgressBar);
    window->setProgressRange(0, 0);
    EXPECT_GT(bar->maximum(), bar->minimum());
    EXPECT_EQ(bar->value(), 0);

    window->setProgressRange(0, 1024);
    window->setProgressPosition(2000);
    EXPECT_EQ(bar->value(), 1024);
    window->setProgressPosition(-5);
    EXPECT_EQ(bar->value(), 0);
    window->setProgressPosition(300);
    window->setProgressRange(0, 100);  // a narrower range keeps the position inside it
    EXPECT_EQ(bar->value(), 100);
}

TEST_F(WindowTest, WaitCursorNestsAndMessageBoxesShowTheNormalCursor) {
    ModalAnswerer answerer;
    open();
    window->setWaitCursor(true);
    window->setWaitCursor(true);
    window->messageBox("Target <b>not</b> found");
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].cursor, Qt::ArrowCursor);
    EXPECT_EQ(answerer.boxes[0].text, "Target <b>not</b> found");
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);

    window->setWaitCursor(false);
    EXPECT_NE(QApplication::overrideCursor(), nullptr);
    window->setWaitCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    window->setWaitCursor(false);  // one too many changes nothing
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // A window destroyed while waiting gives the cursor back.
    window->setWaitCursor(true);
    window.reset();
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(WindowTest, ActivationOtherThanByAClickRechecksTheImage) {
    const std::string path = image("app.bin", 100);
    settings.writeSettingText("setup", "file", path);
    openShown();
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "100 Bytes");
    QWidget other;
    auto switchAway = [&other] {
        other.show();
        other.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    };
    // Let the activation of the first show be settled before the file changes.
    QTest::qWait(2 * QtDialogWindow::kClickActivationMs);

    image("app.bin", 2000);
    switchAway();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTRY_COMPARE_WITH_TIMEOUT(widget<QLabel>(kSizeLabel)->text(), QString("2000 Bytes"), 2000);

    // Activated by a click on the window: no re-check. The button is down when the window
    // becomes active, so the click is known at once, however late the activation comes.
    image("app.bin", 3000);
    switchAway();
    QTest::mousePress(window->control(kSizeLabel), Qt::LeftButton);
    ASSERT_NE(QGuiApplication::mouseButtons(), Qt::NoButton);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::mouseRelease(window->control(kSizeLabel), Qt::LeftButton);
    QTest::qWait(3 * QtDialogWindow::kClickActivationMs);
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "2000 Bytes");
}

TEST_F(WindowTest, OpenChoosesAnImageFile) {
    const std::string first = image("first.bin", 10);
    const std::string second = image("second.bin", 20);
    settings.writeSettingText("setup", "file", first);

    // Cancel changes nothing.
    QString startFolder;
    {
        ModalAnswerer answerer([&](QDialog* modal) {
            auto* chooser = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(chooser, nullptr);
            startFolder = chooser->directory().absolutePath();
            EXPECT_TRUE(chooser->testOption(QFileDialog::DontUseNativeDialog));
            EXPECT_EQ(chooser->nameFilters(), QStringList{"BIN (*.bin)"});
            chooser->reject();
        });
        openShown();
        QTest::mouseClick(window->control(kOpenButton), Qt::LeftButton);
    }
    EXPECT_EQ(startFolder, QString::fromStdString(dir.path()));
    EXPECT_EQ(dialog->imagePath, first);
    EXPECT_EQ(storedSetting("file"), first);

    // A name in a folder that does not exist is refused (with a box) and the chooser stays
    // open; an existing file is taken, checked and stored.
    bool refused = false;
    ModalAnswerer answerer([&](QDialog* modal) {
        auto* chooser = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(chooser, nullptr);
        auto* name = chooser->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromStdString(dir.file("missing/x.bin")));
        static_cast<QDialog*>(chooser)->accept();
        refused = chooser->isVisible();
        name->setText(QString::fromStdString(second));
        static_cast<QDialog*>(chooser)->accept();
    });
    QTest::mouseClick(window->control(kOpenButton), Qt::LeftButton);
    EXPECT_TRUE(refused);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_NE(answerer.boxes[0].text.indexOf("does not exist"), -1);
    EXPECT_EQ(dialog->imagePath, second);
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "20 Bytes");
    EXPECT_EQ(storedSetting("file"), second);
}

// Names from a Latin-1 system: their bytes are not UTF-8 and Qt shows them with U+FFFD.
TEST_F(WindowTest, PathFieldKeepsNamesThatAreNotUtf8) {
    const std::string path = image("img-\xE9.bin", 30);
    settings.writeSettingText("setup", "file", path);
    openShown();
    EXPECT_EQ(widget<QLineEdit>(kPathField)->text(),
              QString::fromStdString(dir.path()) + "/img-\uFFFD.bin");
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "30 Bytes");
    EXPECT_EQ(window->controlText(kPathField), path);

    // The OK command reads the controls back into the state.
    QTimer::singleShot(0, window.get(), [this] {
        QTest::mouseClick(window->control(kCloseButton), Qt::LeftButton);
    });
    EXPECT_EQ(window->exec(), static_cast<int>(DialogResult::Ok));
    EXPECT_EQ(dialog->imagePath, path);
}

TEST_F(WindowTest, OpenKeepsNamesThatAreNotUtf8) {
    std::filesystem::create_directory(dir.file("dir-\xE9"));
    settings.writeSettingText("setup", "file", image("dir-\xE9/old.bin", 10));
    const std::string chosen = image("img-\xE9.bin", 40);

    // Qt cannot show the folder that holds the last image: the chooser starts above it. The
    // file chosen under the name Qt shows is the file with the bytes.
    QString startFolder;
    ModalAnswerer answerer([&](QDialog* modal) {
        auto* chooser = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(chooser, nullptr);
        startFolder = chooser->directory().absolutePath();
        auto* name = chooser->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(QFile::decodeName(QByteArray::fromStdString(chosen)));
        static_cast<QDialog*>(chooser)->accept();
    });
    openShown();
    QTest::mouseClick(window->control(kOpenButton), Qt::LeftButton);
    EXPECT_EQ(startFolder, QString::fromStdString(dir.path()));
    EXPECT_EQ(dialog->imagePath, chosen);
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "40 Bytes");
    EXPECT_EQ(storedSetting("file"), chosen);
}

// ---- what assistive technology gets ----

namespace {

QString accessibleText(QWidget* widget, QAccessible::Text kind) {
    QAccessibleInterface* interface = QAccessible::queryAccessibleInterface(widget);
    return interface != nullptr ? interface->text(kind) : QString();
}

}  // namespace

TEST_F(WindowTest, AccessibleNamesSayWhatTheControlsShowAndWhatTheyAreFor) {
    const std::string path = image("app.bin", 1234);
    settings.writeSettingText("setup", "file", path);
    open();
    auto* status = widget<QLabel>(kStatusLine);
    auto* size = widget<QLabel>(kSizeLabel);

    // The labels are read by their visible text; what they are for is their description.
    EXPECT_EQ(accessibleText(status, QAccessible::Name), "Disconnected");
    EXPECT_EQ(accessibleText(status, QAccessible::Description), "Status");
    EXPECT_EQ(accessibleText(size, QAccessible::Name), "1234 Bytes");
    EXPECT_EQ(accessibleText(size, QAccessible::Description), "Size");
    EXPECT_EQ(accessibleText(window->control(kPathField), QAccessible::Name), "Rom File");
    EXPECT_EQ(accessibleText(window->control(kPathField), QAccessible::Value),
              QString::fromStdString(path));

    // The COM list is labelled by its purpose, while its name is its entry.
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(window->control(kComList));
    ASSERT_NE(list, nullptr);
    const auto labels = list->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels.first().first->text(QAccessible::Name), "COM port");
    EXPECT_EQ(list->text(QAccessible::Description), "COM port");

    // The progress bar by its purpose, with its value readable.
    QAccessibleInterface* bar =
        QAccessible::queryAccessibleInterface(window->control(kProgressBar));
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(bar->valueInterface(), nullptr);
    EXPECT_EQ(bar->text(QAccessible::Name), "Download progress");
    window->setProgressRange(0, 64);
    window->setProgressPosition(16);
    EXPECT_EQ(bar->valueInterface()->currentValue().toInt(), 16);
    EXPECT_EQ(bar->valueInterface()->maximumValue().toInt(), 64);
}

// An assistive technology presses buttons over the bus whatever modal box is open: such a press
// while a handler shows its box must wait for that handler to return, and then runs only if the
// handler left its button enabled (a Connect pressed during a connect that succeeded must not
// run: it would time out on a connected target and leave Download enabled on a closed port).
TEST_F(WindowTest, AButtonPressedDuringAHandlerRunsAfterItIfStillEnabled) {
    for (const bool disabledByHandler : {false, true}) {
        SCOPED_TRACE(disabledByHandler ? "Connect disabled by the handler" : "Connect enabled");
        window.reset();
        dialog.reset();
        std::filesystem::remove_all(dir.file("ports"));
        std::filesystem::create_directory(dir.file("ports"));
        port(2, false);
        ModalAnswerer answerer;
        openShown();
        auto* list = widget<QComboBox>(kComList);
        list->setFocus();
        QString statusRightAfterPress;
        bool pressedInsideHandler = false;
        QTimer::singleShot(0, window.get(), [&] {
            pressedInsideHandler = dialog->handlers.running();
            static_cast<QPushButton*>(window->control(kConnectButton))->click();
            statusRightAfterPress = widget<QLabel>(kStatusLine)->text();
            if (disabledByHandler) {
                window->enableControl(kConnectButton, false);
            }
        });
        QTest::keyClick(list, Qt::Key_Down);  // COM2 is missing: its box is open at the press
        ASSERT_TRUE(pressedInsideHandler);
        EXPECT_EQ(statusRightAfterPress, "Disconnected");
        QTRY_VERIFY(!answerer.boxes.empty());
        EXPECT_EQ(answerer.boxes[0].text, "This COM-Port is not available!");
        if (disabledByHandler) {
            QTest::qWait(100);
            EXPECT_EQ(answerer.boxes.size(), 1u);
            EXPECT_EQ(widget<QLabel>(kStatusLine)->text(), "Disconnected");
        } else {
            QTRY_COMPARE(answerer.boxes.size(), 2u);
            EXPECT_EQ(answerer.boxes[1].text, "COM port not available!");
            EXPECT_EQ(widget<QLabel>(kStatusLine)->text(), "COM port not available!");
        }
    }
}

// ---- files handed over by the desktop ----

TEST_F(WindowTest, DroppingOneFileIsOpeningIt) {
    const std::string first = image("first.bin", 10);
    const std::string second = image("second.bin", 20);
    const std::string large = image("large.bin", 262145);
    const std::string latin1 = image("img-\xE9.bin", 40);  // a name whose bytes are not UTF-8
    std::filesystem::create_directory(dir.file("folder"));
    settings.writeSettingText("setup", "file", first);
    ModalAnswerer answerer;
    openShown();

    const auto file = [](const std::string& path) {
        return QUrl::fromLocalFile(QString::fromStdString(path));
    };
    const struct {
        const char* what;
        QList<QUrl> urls;
        bool taken;
    } cases[] = {
        {"two files", {file(second), file(large)}, false},
        {"a folder", {file(dir.file("folder"))}, false},
        {"a link that is not a file", {QUrl("https://tervan.example.org/second.bin")}, false},
        {"no links at all", {}, false},
        {"one file", {file(second)}, true},
    };
    const auto fileUrl = [](const std::string& path) {
        return QUrl(QStringLiteral("file://") +
                    QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding("/")));
    };
    for (const auto& drop : cases) {
        SCOPED_TRACE(drop.what);
        QMimeData data;
        data.setUrls(drop.urls);
        if (drop.urls.isEmpty()) {
            data.setText(QString::fromStdString(second));
        }
        const QPoint at = window->control(kPathField)->geometry().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        EXPECT_EQ(enter.isAccepted(), drop.taken);
        QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &dropped);
        EXPECT_EQ(dialog->imagePath, drop.taken ? second : first);
        EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), drop.taken ? "20 Bytes" : "10 Bytes");
        EXPECT_EQ(storedSetting("file"), drop.taken ? second : first);
    }
    EXPECT_TRUE(answerer.boxes.empty());

    // A file manager names a file in its bytes, percent-encoded; they are taken as they are.
    QMimeData named;
    named.setUrls({fileUrl(latin1)});
    QDragEnterEvent enterNamed(QPoint(5, 5), Qt::CopyAction, &named, Qt::LeftButton,
                               Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enterNamed);
    QDropEvent dropNamed(QPoint(5, 5), Qt::CopyAction, &named, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &dropNamed);
    EXPECT_EQ(dialog->imagePath, latin1);
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "40 Bytes");

    // A file too large is reported as Open reports it, and nothing else changes.
    QMimeData data;
    data.setUrls({file(large)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    QDropEvent dropped(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &dropped);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].text, "File size is larger than 256KB !");
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "40 Bytes");
    EXPECT_EQ(storedSetting("file"), latin1);
}

TEST_F(WindowTest, TheProgramsArgumentIsOpenedOnceTheWindowRuns) {
    settings.writeSettingText("setup", "file", image("stored.bin", 10));
    const std::string given = image("given.bin", 30);
    dialog = std::make_unique<DownloaderDialog>(settings);
    window = std::make_unique<QtDialogWindow>(*dialog);
    window->initialise(given);
    // Initialisation checks the stored file first; the argument comes after, like Open.
    EXPECT_EQ(widget<QLabel>(kSizeLabel)->text(), "10 Bytes");
    QTRY_COMPARE(widget<QLabel>(kSizeLabel)->text(), QString("30 Bytes"));
    EXPECT_EQ(dialog->imagePath, given);
    EXPECT_EQ(widget<QLineEdit>(kPathField)->text(), QString::fromStdString(given));
    EXPECT_EQ(storedSetting("file"), given);
}

// ---- light and dark palettes ----

TEST_F(WindowTest, FramesAndTheProgressBarShowInLightAndDarkPalettes) {
    open();
    QPalette dark(QColor(53, 53, 53), QColor(45, 45, 45));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    const struct {
        const char* name;
        QPalette palette;
    } palettes[] = {{"light", QApplication::style()->standardPalette()}, {"dark", dark}};
    const auto distance = [](QColor a, QColor b) {
        return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
               std::abs(a.blue() - b.blue());
    };
    window->setProgressRange(0, 100);
    window->setProgressPosition(50);
    for (const auto& [name, palette] : palettes) {
        SCOPED_TRACE(name);
        window->setPalette(palette);
        const QImage shot = window->grab().toImage();
        const QColor background = palette.color(QPalette::Window);
        const int textContrast = distance(palette.color(QPalette::WindowText), background);

        // Each group box's left edge, half-way down, is a line clearly off the background.
        for (QWidget* control : window->controlsInCreationOrder()) {
            if (qobject_cast<QGroupBox*>(control) == nullptr) {
                continue;
            }
            const QColor edge = shot.pixelColor(control->x(), control->geometry().center().y());
            EXPECT_GE(distance(edge, background) * 3, textContrast)
                << static_cast<QGroupBox*>(control)->title().toStdString();
        }
        // The bar's filled half is the highlight, its empty half the base colour.
        const QRect bar = window->control(kProgressBar)->geometry();
        const int middle = bar.center().y();
        EXPECT_EQ(shot.pixelColor(bar.left() + bar.width() / 4, middle),
                  palette.color(QPalette::Highlight));
        EXPECT_EQ(shot.pixelColor(bar.right() - bar.width() / 4, middle),
                  palette.color(QPalette::Base));
    }
}
