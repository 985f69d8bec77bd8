// Start-up cost of the wizard: time from process start until its window is shown, and peak
// memory, beside the same figures for a minimal Qt window measured in the same run.
//
// Each figure comes from a fresh child process (this program, run with a mode argument),
// since both costs are paid once per process: loading libraries, fonts and the first paint.
#include <sys/resource.h>

#include <QApplication>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/window/mainform.h"
#include "bench/support/median.h"
#include "platform/codepage.h"

namespace {

constexpr int kRuns = 11;

// The steady clock is the system's monotonic clock, so parent and child read the same one.
long long MonotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Shows `window`, waits until it is exposed and painted, then reports the moment and the
// peak resident memory on standard output.
int ShowAndReport(QApplication& application, QWidget& window) {
    window.show();
    while (!window.windowHandle() || !window.windowHandle()->isExposed())
        application.processEvents(QEventLoop::WaitForMoreEvents);
    application.processEvents();
    const long long shown = MonotonicNanoseconds();
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%lld %ld\n", shown, usage.ru_maxrss);
    return 0;
}

int RunChild(const std::string& mode, int argc, char** argv) {
    QApplication application(argc, argv);
    if (mode == "minimal") {
        QWidget window;
        window.setWindowTitle(QStringLiteral("minimal"));
        window.resize(520, 326);
        return ShowAndReport(application, window);
    }
    TWizardEnvironment environment;
    environment.ApplicationFolder =
        platform::FromUnicode(QStringLiteral(SENDRIFT_EXAMPLE_APP).replace('/', '\\')) + "\\";
    TMainform form(std::move(environment));
    return ShowAndReport(application, form);
}

struct Sample {
    double milliseconds;
    double residentMegabytes;
};

Sample Measure(const char* self, const char* mode) {
    const std::string command = std::string(self) + " " + mode + " 2>/dev/null";
    const long long started = MonotonicNanoseconds();
    FILE* child = popen(command.c_str(), "r");
    long long shown = 0;
    long residentKilobytes = 0;
    if (!child || std::fscanf(child, "%lld %ld", &shown, &residentKilobytes) != 2) {
        std::fprintf(stderr, "the %s child gave no figures\n", mode);
        std::exit(1);
    }
    pclose(child);
    return {(shown - started) / 1e6, residentKilobytes / 1024.0};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) return RunChild(argv[1], argc, argv);

    std::vector<double> wizardMs, wizardMb, minimalMs, minimalMb;
    Measure(argv[0], "wizard");  // warms the file cache for both
    for (int run = 0; run < kRuns; ++run) {
        Sample wizard = Measure(argv[0], "wizard");
        Sample minimal = Measure(argv[0], "minimal");
        wizardMs.push_back(wizard.milliseconds);
        wizardMb.push_back(wizard.residentMegabytes);
        minimalMs.push_back(minimal.milliseconds);
        minimalMb.push_back(minimal.residentMegabytes);
    }
    std::printf("start-up to window shown, median of %d runs\n", kRuns);
    std::printf("  wizard          %7.1f ms   peak RSS %6.1f MB   (goal <= 200 ms, <= 60 MB)\n",
                Median(wizardMs), Median(wizardMb));
    std::printf("  minimal Qt window %5.1f ms   peak RSS %6.1f MB   (reference)\n",
                Median(minimalMs), Median(minimalMb));
    std::printf("startup_ms=%.0f startup_ref_ms=%.0f rss_mb=%.1f rss_ref_mb=%.1f\n",
                Median(wizardMs), Median(minimalMs), Median(wizardMb), Median(minimalMb));
    return 0;
}
