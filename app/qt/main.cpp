// tervan-downloader: the desktop tool. One dialog window. Its one optional argument is an
// image file, taken as if chosen with Open once the window is shown (a file manager's
// "Open with" passes it).
#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "app/DownloaderApp.h"
#include "app/qt/DesktopPalette.h"
#include "app/qt/QtDialogWindow.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("tervan-downloader"));
    tervan::qt::followDesktopColourScheme();

    // QApplication has taken its own options (-platform and the like) out of argv. The name
    // is kept in the file system's bytes and made absolute, as the chooser's would be.
    if (argc > 2) {
        std::fprintf(stderr, "usage: tervan-downloader [FILE]\n");
        return 2;
    }
    std::optional<std::string> imageFile;
    if (argc == 2) {
        std::error_code error;
        const std::string given = argv[1];
        const std::filesystem::path absolute = std::filesystem::absolute(given, error);
        imageFile = error ? given : absolute.lexically_normal().string();
    }

    tervan::DownloaderApp app;
    return app.startApplication([&imageFile](tervan::DownloaderDialog& dialog) {
        tervan::qt::QtDialogWindow window(dialog);
        QApplication::setWindowIcon(window.windowIcon());
        window.run(imageFile);
    });
}
