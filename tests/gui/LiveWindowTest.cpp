// The window under a real X server (Xvfb) with the accessibility bus on: what a screen reader is
// told as the status line changes, and that the window stays alive while a download runs (it
// answers the window manager's ping and repaints what was covered) while a click made meanwhile
// is handled only once the download has returned. Run by tests/gui/under-x.sh.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "app/DownloaderDialog.h"
#include "app/qt/QtDialogWindow.h"
#include "link/SystemPaths.h"
#include "sim/TargetSimulator.h"
#include "support/DeviceRootTest.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::qt::QtDialogWindow;
using tervan::testing::DeviceRootTest;
using tervan::testing::writeFile;

namespace {

class XEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        static int argc = 1;
        static char name[] = "gui_live_tests";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { application_.reset(); }

private:
    std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] ::testing::Environment* const xEnvironment =
    ::testing::AddGlobalTestEnvironment(new XEnvironment);

constexpr std::size_t kImageSize = 64 * 1024;  // 256 pages of 256 bytes
constexpr std::size_t kPages = kImageSize / 256;

class LiveWindowTest : public DeviceRootTest {
protected:
    LiveWindowTest() {
        sim::SimConfig config;
        config.root = dir.path();
        config.pageWriteDelayMs = 8;  // a download of about two seconds
        target = std::make_unique<sim::TargetSimulator>(config);
        std::string error;
        EXPECT_TRUE(target->start(&error)) << error;
        writeFile(dir.file("app.bin"), std::string(kImageSize, '\x5A'));
        settings.writeSettingText("setup", "file", dir.file("app.bin"));
        dialog = std::make_unique<DownloaderDialog>(settings);
        window = std::make_unique<QtDialogWindow>(*dialog);
        window->initialise();
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    ~LiveWindowTest() override {
        window.reset();
        dialog.reset();
        target.reset();
    }
    void press(int id) { static_cast<QPushButton*>(window->control(id))->click(); }
    QString status() { return static_cast<QLabel*>(window->control(kStatusLine))->text(); }

    SettingsStore settings{dir.file("tervan.ini")};
    std::unique_ptr<sim::TargetSimulator> target;
    std::unique_ptr<DownloaderDialog> dialog;
    std::unique_ptr<QtDialogWindow> window;
};

// The names of the status line as a screen reader is told them, one per name-changed event.
std::vector<QString> announced;
QObject* statusLine = nullptr;
void recordUpdate(QAccessibleEvent* event) {
    if (event->object() == statusLine && event->type() == QAccessible::NameChanged) {
        announced.push_back(event->accessibleInterface()->text(QAccessible::Name));
    }
}

TEST_F(LiveWindowTest, EveryStatusTextIsAnnouncedAsItAppears) {
    ASSERT_TRUE(QAccessible::isActive());
    announced.clear();
    statusLine = window->control(kStatusLine);
    QAccessible::installUpdateHandler(&recordUpdate);
    press(kConnectButton);
    press(kDownloadButton);
    QAccessible::installUpdateHandler(nullptr);
    EXPECT_EQ(announced,
              (std::vector<QString>{"Press reset on target! 5 Seconds left!", "Connected",
                                    "Downloading...", "Write successfull!"}));
}

// A second client of the X server, as the window manager and the user's other windows are.
class OtherClient {
public:
    OtherClient() : connection_(xcb_connect(nullptr, nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        protocols_ = atom("WM_PROTOCOLS");
        ping_ = atom("_NET_WM_PING");
        // Replies to a ping go to the root window.
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, screen_->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection_);
    }
    ~OtherClient() { xcb_disconnect(connection_); }

    // Sends the window manager's "are you alive" ping and waits for the answer.
    bool ping(xcb_window_t window, std::chrono::milliseconds within) {
        constexpr uint32_t kStamp = 4242;
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = protocols_;
        message.data.data32[0] = ping_;
        message.data.data32[1] = kStamp;
        message.data.data32[2] = window;
        xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(connection_);
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < deadline) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                const auto* reply = reinterpret_cast<xcb_client_message_event_t*>(event);
                const bool pong = (event->response_type & 0x7F) == XCB_CLIENT_MESSAGE &&
                                  reply->data.data32[0] == ping_ && reply->data.data32[1] == kStamp;
                free(event);
                if (pong) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Covers the rectangle with a window of one colour for a moment, as another program's
    // window passing over it would; returns what the screen showed meanwhile.
    std::vector<uint32_t> cover(int x, int y, int width, int height, uint32_t colour) {
        const xcb_window_t cover = xcb_generate_id(connection_);
        const uint32_t values[] = {colour, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, cover, screen_->root,
                          static_cast<int16_t>(x), static_cast<int16_t>(y),
                          static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(connection_, cover);
        xcb_flush(connection_);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<uint32_t> covered = pixels(x, y, width, height);
        xcb_destroy_window(connection_, cover);
        xcb_flush(connection_);
        return covered;
    }

    // The pixels of the rectangle as the screen shows them.
    std::vector<uint32_t> pixels(int x, int y, int width, int height) {
        xcb_get_image_reply_t* image = xcb_get_image_reply(
            connection_,
            xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root,
                          static_cast<int16_t>(x), static_cast<int16_t>(y),
                          static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0xFFFFFFFF),
            nullptr);
        if (image == nullptr) {
            return {};
        }
        const auto* data = reinterpret_cast<const uint32_t*>(xcb_get_image_data(image));
        std::vector<uint32_t> result(data, data + xcb_get_image_data_length(image) / 4);
        free(image);
        for (uint32_t& pixel : result) {
            pixel &= 0xFFFFFF;
        }
        return result;
    }

    // A click of the first mouse button, delivered as the server delivers one to the window.
    void click(xcb_window_t window, int x, int y) {
        for (const uint8_t type : {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}) {
            xcb_button_press_event_t event{};
            event.response_type = type;
            event.detail = 1;
            event.root = screen_->root;
            event.event = window;
            event.child = XCB_NONE;
            event.event_x = static_cast<int16_t>(x);
            event.event_y = static_cast<int16_t>(y);
            if (type == XCB_BUTTON_RELEASE) {
                event.state = XCB_BUTTON_MASK_1;
            }
            event.same_screen = 1;
            xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                           reinterpret_cast<const char*>(&event));
        }
        xcb_flush(connection_);
    }

private:
    xcb_atom_t atom(const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t result = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        free(reply);
        return result;
    }

    xcb_connection_t* connection_;
    xcb_screen_t* screen_ = nullptr;
    xcb_atom_t protocols_ = XCB_ATOM_NONE;
    xcb_atom_t ping_ = XCB_ATOM_NONE;
};

TEST_F(LiveWindowTest, DuringADownloadTheWindowIsAliveAndAClickWaitsForItsEnd) {
    press(kConnectButton);
    ASSERT_EQ(status(), "Connected");
    const xcb_window_t xid = static_cast<xcb_window_t>(window->winId());
    // Not the status line or the progress bar: the download repaints those itself.
    QWidget* close = window->control(kCloseButton);
    const QRect area(close->mapToGlobal(QPoint(0, 0)), close->size());
    const QPoint disconnect = window->control(kDisconnectButton)->geometry().center();
    constexpr uint32_t kMagenta = 0xFF00FF;

    struct Seen {
        bool pong = false;
        std::size_t framesAtPong = 0;
        std::vector<uint32_t> before;
        std::vector<uint32_t> covered;
        std::vector<uint32_t> after;
        std::size_t framesAtLook = 0;
        std::size_t framesAtClick = 0;
    } seen;
    std::thread other([&] {
        OtherClient client;
        if (!target->waitForFrames(8, 5000)) {
            return;
        }
        seen.pong = client.ping(xid, std::chrono::milliseconds(1000));
        seen.framesAtPong = target->frames().size();
        seen.before = client.pixels(area.x(), area.y(), area.width(), area.height());
        seen.covered = client.cover(area.x(), area.y(), area.width(), area.height(), kMagenta);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        seen.after = client.pixels(area.x(), area.y(), area.width(), area.height());
        seen.framesAtLook = target->frames().size();
        client.click(xid, disconnect.x(), disconnect.y());
        seen.framesAtClick = target->frames().size();
    });
    press(kDownloadButton);
    const QString afterDownload = this->status();
    other.join();

    EXPECT_TRUE(seen.pong);
    EXPECT_LT(seen.framesAtPong, kPages);
    ASSERT_FALSE(seen.before.empty());
    EXPECT_EQ(seen.covered, std::vector<uint32_t>(seen.before.size(), kMagenta));
    EXPECT_TRUE(seen.after == seen.before) << "the uncovered button was not repainted";
    EXPECT_LT(seen.framesAtLook, kPages);
    EXPECT_LT(seen.framesAtClick, kPages);
    // The click on Disconnect came during the download, which still ran to its end; the click
    // is handled after it.
    EXPECT_EQ(afterDownload, "Write successfull!");
    EXPECT_EQ(target->flash().size() >= kImageSize, true);
    QTRY_COMPARE(this->status(), QString("Disconnected"));
}

}  // namespace
