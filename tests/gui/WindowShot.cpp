// tervan-window-shot: takes a picture of the main window for the documentation. It builds the
// window from the same classes as the program, over the settings file and ports of a folder
// of its own, optionally presses Connect and Download, and saves what the window shows.
//
//   tervan-window-shot --root DIR --out FILE.png [--connect] [--download] [--dark]
//
// Like the program, it follows the desktop's dark colour scheme; --dark takes the dark palette
// whatever the desktop says. QT_SCALE_FACTOR=2 gives the picture at 200 %.
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/DownloaderDialog.h"
#include "app/qt/DesktopPalette.h"
#include "app/qt/QtDialogWindow.h"
#include "link/SystemPaths.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    std::string root;
    QString out;
    bool connect = false;
    bool download = false;
    bool dark = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--connect") == 0) {
            connect = true;
        } else if (std::strcmp(argv[i], "--download") == 0) {
            download = true;
        } else if (std::strcmp(argv[i], "--dark") == 0) {
            dark = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s --root DIR --out FILE.png [--connect] [--download] [--dark]\n",
                         argv[0]);
            return 2;
        }
    }
    if (root.empty() || out.isEmpty()) {
        std::fprintf(stderr, "%s: --root and --out are needed\n", argv[0]);
        return 2;
    }

    if (dark) {
        QApplication::setPalette(tervan::qt::darkPalette(QApplication::palette()));
    } else {
        tervan::qt::followDesktopColourScheme();
    }
    tervan::setDeviceRoot(root);
    tervan::SettingsStore settings(root + "/tervan.ini");
    auto dialog = std::make_unique<tervan::DownloaderDialog>(settings);
    tervan::qt::QtDialogWindow window(*dialog);
    window.initialise();
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "%s: the window did not appear\n", argv[0]);
        return 1;
    }
    auto press = [&window](int id) {
        static_cast<QPushButton*>(window.control(id))->click();
        QTest::qWait(100);
    };
    if (connect || download) {
        press(tervan::kConnectButton);
    }
    if (download) {
        press(tervan::kDownloadButton);
    }
    QTest::qWait(300);
    if (!window.grab().save(out)) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(out));
        return 1;
    }
    std::printf("%s\n", qPrintable(out));
    return 0;
}
