// Cost of one window refresh while a handler blocks: the controller writes every state field
// into its control and the window repaints the status line and the progress bar. A download
// does this once per page; a 256-byte page takes about 22.7 ms on the 115200-baud line, so a
// refresh must stay far below 1% of that (227 us).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <memory>
#include <string>

#include "app/DownloaderDialog.h"
#include "app/qt/QtDialogWindow.h"
#include "support/TempDir.h"

namespace {

struct OpenWindow {
    tervan::testing::TempDir dir;
    tervan::SettingsStore settings{dir.file("tervan.ini")};
    std::unique_ptr<tervan::DownloaderDialog> dialog =
        std::make_unique<tervan::DownloaderDialog>(settings);
    tervan::qt::QtDialogWindow window{*dialog};

    OpenWindow() {
        window.initialise();
        window.show();
        for (int i = 0; i < 10; ++i) {
            QApplication::processEvents();
        }
    }
};

void refreshStatus(benchmark::State& state) {
    OpenWindow open;
    const std::string texts[] = {"Downloading...", "Press reset on target! 4 Seconds left!"};
    int round = 0;
    for (auto _ : state) {
        open.dialog->session().statusText = texts[++round & 1];
        open.dialog->refreshControls();
    }
}
BENCHMARK(refreshStatus)->Unit(benchmark::kMicrosecond)->Repetitions(7)->ReportAggregatesOnly(true);

// What a download does after each page: move the bar, then refresh.
void refreshProgress(benchmark::State& state) {
    OpenWindow open;
    open.window.setProgressRange(0, 1024);
    int page = 0;
    for (auto _ : state) {
        open.window.setProgressPosition(static_cast<std::int16_t>(++page % 1024));
        open.dialog->refreshControls();
    }
}
BENCHMARK(refreshProgress)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
