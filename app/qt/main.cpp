// tervan-downloader: the desktop tool. One dialog window; no command-line options.
#include <QApplication>

#include "app/DownloaderApp.h"
#include "app/qt/QtDialogWindow.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("tervan-downloader"));

    tervan::DownloaderApp app;
    return app.startApplication([](tervan::DownloaderDialog& dialog) {
        tervan::qt::QtDialogWindow window(dialog);
        QApplication::setWindowIcon(window.windowIcon());
        window.run();
    });
}
