// Start-up of the window: the time from starting the program to the window's first paint on
// Qt's offscreen platform, and the peak memory of that process. Each run starts this program
// again as a child that builds the window exactly as the desktop program does (QApplication,
// the controller reading its settings, the dialog from its template, initWindow), and says
// "painted" on its standard output at the first paint; the parent times that line and reads
// the child's peak RSS when it ends.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/DownloaderDialog.h"
#include "app/qt/QtDialogWindow.h"
#include "support/TempDir.h"

namespace {

class FirstPaint : public QObject {
public:
    explicit FirstPaint(QDialog& window) : window_(window) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_ && event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            std::fputs("painted\n", stdout);
            std::fflush(stdout);
            window_.done(0);
        }
        return false;
    }

private:
    QDialog& window_;
    bool seen_ = false;
};

int runWindow(int argc, char** argv) {
    QApplication application(argc, argv);
    tervan::testing::TempDir dir;
    tervan::SettingsStore settings(dir.file("tervan.ini"));
    tervan::DownloaderDialog dialog(settings);
    tervan::qt::QtDialogWindow window(dialog);
    FirstPaint watch(window);
    window.installEventFilter(&watch);
    window.run();
    return 0;
}

struct Run {
    double milliseconds = 0;
    long peakKiB = 0;
};

bool startOnce(const char* self, Run& run) {
    int out[2];
    if (::pipe(out) != 0) {
        return false;
    }
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        // Qt's notes about the offscreen platform are not figures.
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDERR_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(self, self, "--window", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    char line[16] = {};
    const ssize_t got = ::read(out[0], line, sizeof line - 1);
    const auto painted = std::chrono::steady_clock::now();
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    if (got <= 0 || std::string(line).rfind("painted", 0) != 0) {
        return false;
    }
    run.milliseconds = std::chrono::duration<double, std::milli>(painted - started).count();
    run.peakKiB = usage.ru_maxrss;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--window") {
        return runWindow(argc, argv);
    }
    constexpr int kRuns = 15;
    std::vector<Run> runs;
    for (int i = 0; i < kRuns; ++i) {
        Run run;
        if (!startOnce("/proc/self/exe", run)) {
            std::fprintf(stderr, "first paint: run %d did not paint\n", i + 1);
            return 1;
        }
        runs.push_back(run);
    }
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.milliseconds < b.milliseconds; });
    long peak = 0;
    for (const Run& run : runs) {
        peak = std::max(peak, run.peakKiB);
    }
    std::printf(
        "window start to first paint (offscreen, %d runs): median %.1f ms, worst %.1f ms; "
        "peak RSS %.1f MiB\n",
        kRuns, runs[kRuns / 2].milliseconds, runs.back().milliseconds, peak / 1024.0);
    return 0;
}
