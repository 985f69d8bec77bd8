// Start-up cost of the wizard: time from process start until its window is shown, and peak
// memory, beside the same figures for a minimal Qt window measured in the same run, and beside
// the figures measured on this machine before the upgrade's steps left the window.
//
// And the command line's start, with no window and no display: the built program's
// `--version` and `--check` (against nginx, with nothing to do), each from its start to its
// exit, beside a minimal QtCore program and curl asking for the same Version.txt.
//
// Each figure comes from a fresh child process (this program, run with a mode argument, or the
// built program), since both costs are paid once per process: loading libraries, fonts and the
// first paint.
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/window/mainform.h"
#include "bench/support/die.h"
#include "bench/support/median.h"
#include "bench/support/nginxserver.h"
#include "platform/codepage.h"

namespace {

constexpr int kRuns = 11;

// Measured with this benchmark on this machine at a load average of about 1, before the
// upgrade's steps moved from the window into an engine of their own.
struct EarlierFigures {
    double wizardMs = 64.2, wizardMb = 40.3;
    double minimalMs = 40.7, minimalMb = 27.0;
};
constexpr EarlierFigures kBeforeRedesign;

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
    if (mode == "core") {
        // What any program on QtCore pays before it does anything.
        QCoreApplication application(argc, argv);
        return 0;
    }
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
    if (!child || std::fscanf(child, "%lld %ld", &shown, &residentKilobytes) != 2)
        Die(std::string("the ") + mode + " child gave no figures");
    pclose(child);
    return {(shown - started) / 1e6, residentKilobytes / 1024.0};
}

// Runs `arguments` (the program found on the PATH when it has no "/") with no output, to its
// exit, which must be `expectedExit`: the time from its start and its peak memory.
Sample RunToExit(const std::vector<std::string>& arguments, int expectedExit) {
    std::string command = RUN_MEASURED;
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    FILE* measured = popen(command.c_str(), "r");
    long long nanoseconds = 0;
    long residentKilobytes = 0;
    int status = -2;
    const bool read = measured && std::fscanf(measured, "%lld %ld %d", &nanoseconds,
                                              &residentKilobytes, &status) == 3;
    if (measured) pclose(measured);
    if (!read || status != expectedExit)
        Die(command + " did not exit with " + std::to_string(expectedExit));
    return {nanoseconds / 1e6, residentKilobytes / 1024.0};
}

struct Medians {
    std::vector<double> ms, mb;
    void Add(const Sample& sample) {
        ms.push_back(sample.milliseconds);
        mb.push_back(sample.residentMegabytes);
    }
    Sample Get() const { return {Median(ms), Median(mb)}; }
};

// Each Measure... prints its figures and returns them as name=value pairs.
std::string MeasureWindows(const char* self) {
    Medians wizard, minimal;
    Measure(self, "wizard");  // warms the file cache for both
    for (int run = 0; run < kRuns; ++run) {
        wizard.Add(Measure(self, "wizard"));
        minimal.Add(Measure(self, "minimal"));
    }
    const Sample w = wizard.Get(), m = minimal.Get();
    std::printf("start-up to window shown, median of %d runs\n", kRuns);
    std::printf("  wizard            %7.1f ms   peak RSS %6.1f MB   (goal <= 200 ms, <= 60 MB)\n",
                w.milliseconds, w.residentMegabytes);
    std::printf("  minimal Qt window %7.1f ms   peak RSS %6.1f MB   (reference)\n", m.milliseconds,
                m.residentMegabytes);
    std::printf(
        "  before the redesign (measured earlier on this machine, load ~1): wizard %.1f ms, "
        "%.1f MB; minimal Qt window %.1f ms, %.1f MB\n",
        kBeforeRedesign.wizardMs, kBeforeRedesign.wizardMb, kBeforeRedesign.minimalMs,
        kBeforeRedesign.minimalMb);
    char figures[160];
    std::snprintf(figures, sizeof figures,
                  "startup_ms=%.0f startup_ref_ms=%.0f rss_mb=%.1f rss_ref_mb=%.1f", w.milliseconds,
                  m.milliseconds, w.residentMegabytes, m.residentMegabytes);
    return figures;
}

std::string MeasureCommandLine(const char* self) {
    // As a timer runs it: no display, so no window of the product is looked for either.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    for (const char* proxy : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(proxy);
    QTemporaryDir root, folder;
    if (!root.isValid() || !folder.isValid()) Die("no temporary folder");
    NginxServer nginx(root.path());
    QDir(nginx.WwwFolder()).mkpath("Update");
    QFile version(nginx.WwwFolder() + "/Update/Version.txt");
    const QString program = folder.filePath("sendrift");
    QFile setup(folder.filePath("setup.ini"));
    if (!version.open(QIODevice::WriteOnly) || version.write("1.0") != 3 ||
        !QFile::copy(SENDRIFT_BINARY, program) || !setup.open(QIODevice::WriteOnly) ||
        setup.write("[CONNECT]\r\nURL=" + nginx.Url("").toLatin1() +
                    "\r\n[VERSION]\r\nVERSION=1.0\r\n") < 0)
        Die("cannot lay out the application folder for --check");
    version.close();
    setup.close();

    const std::string sendrift = program.toStdString();
    const std::string versionUrl = nginx.Url("/Update/Version.txt").toStdString();
    Medians versionRuns, core, check, curl;
    RunToExit({sendrift, "--check"}, 2);  // warms the file cache
    for (int run = 0; run < kRuns; ++run) {
        versionRuns.Add(RunToExit({sendrift, "--version"}, 0));
        core.Add(RunToExit({self, "core"}, 0));
        check.Add(RunToExit({sendrift, "--check"}, 2));
        curl.Add(RunToExit({"curl", "-sf", "--noproxy", "*", "-o", "/dev/null", versionUrl}, 0));
    }
    const Sample v = versionRuns.Get(), c = core.Get(), k = check.Get(), r = curl.Get();
    std::printf("without a window or display, start to exit, median of %d runs\n", kRuns);
    std::printf("  sendrift --version             %7.1f ms   peak RSS %6.1f MB\n", v.milliseconds,
                v.residentMegabytes);
    std::printf("  minimal QtCore program         %7.1f ms   peak RSS %6.1f MB   (reference)\n",
                c.milliseconds, c.residentMegabytes);
    std::printf("  sendrift --check, up to date   %7.1f ms   peak RSS %6.1f MB\n", k.milliseconds,
                k.residentMegabytes);
    std::printf("  curl, the same Version.txt     %7.1f ms   peak RSS %6.1f MB   (reference)\n",
                r.milliseconds, r.residentMegabytes);
    char figures[200];
    std::snprintf(figures, sizeof figures,
                  "version_ms=%.1f core_ref_ms=%.1f check_ms=%.1f curl_ref_ms=%.1f "
                  "version_rss_mb=%.1f check_rss_mb=%.1f",
                  v.milliseconds, c.milliseconds, k.milliseconds, r.milliseconds,
                  v.residentMegabytes, k.residentMegabytes);
    return figures;
}

double LoadAverage() {
    double load = 0;
    getloadavg(&load, 1);
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) return RunChild(argv[1], argc, argv);
    try {
        const double load = LoadAverage();
        const std::string windows = MeasureWindows(argv[0]);
        // nginx runs as a QProcess.
        QCoreApplication application(argc, argv);
        const std::string commandLine = MeasureCommandLine(argv[0]);
        std::printf("load average %.1f before, %.1f after\n", load, LoadAverage());
        std::printf("%s %s load1=%.1f\n", windows.c_str(), commandLine.c_str(), load);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "\nbench_startup: %s\n", error.what());
        return 1;
    }
    return 0;
}
