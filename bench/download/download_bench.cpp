// Download throughput of THTTPGet against curl, and its processor use while a server stalls.
//
// (a) curl fetches a 64 MiB file from nginx on 127.0.0.1: the reference.
// (b) THTTPGet::GetFile with WaitThread fetches the same file in an offscreen application whose
//     OnProgress does what the wizard's download handler does per chunk: a list-view sub-item,
//     two progress bars and two labels with SizeText texts. It runs with the flat progress bars
//     the wizard uses (the figure that counts) and, for comparison, with QProgressBar, which
//     measures its style geometry on every new value.
// (c) A scripted server stalls for 5 s in the middle of a body; the processor time the process
//     used during the stall is measured.
// Each throughput is the median of 5 runs; the rounds interleave (a) and (b) so that a change
// in machine load affects all of them alike.
// (d) A file of 1.5 GB, as the field's largest (sparse, in /dev/shm where it exists, so that the
//     server's reads cost nothing), into a folder on the disk: THTTPGet::GetFile with Resume, as
//     the wizard downloads, and a handler that only counts its calls, against `curl -o` followed
//     by `sync --data` of the file, the same flush the component makes before its rename; and
//     with FlushWhenComplete off against curl alone. Median of 3 interleaved rounds.
// Arguments: --small runs (a) to (c) only, --large (d) only; nothing runs all.
#include <sys/resource.h>

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>

#include "bench/support/die.h"
#include "bench/support/median.h"
#include "bench/support/nginxserver.h"
#include "core/displaytext.h"
#include "net/httpget/httpget.h"
#include "platform/codepage.h"
#include "support/scriptedhttpserver.h"
#include "ui/flat/flatprogressbar.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr qint64 kFileSize = 64 << 20;
constexpr int kRuns = 5;
constexpr double kRatioGoal = 0.50;
constexpr double kStallCpuGoal = 0.05;
constexpr auto kStall = std::chrono::seconds(5);
constexpr qint64 kLargeFileSize = 1'500'000'000;
constexpr int kLargeRuns = 3;

double MegabytesPerSecond(qint64 bytes, Clock::duration elapsed) {
    return bytes / 1e6 / std::chrono::duration<double>(elapsed).count();
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The download page as far as the progress handler touches it.
class DownloadPage {
public:
    // The bars are either QProgressBar or TFlatProgressBar; only their setters are needed.
    struct Bar {
        std::function<void(int)> setMaximum;
        std::function<void(int)> setPosition;
    };

    explicit DownloadPage(bool flatBars) {
        window_.resize(500, 360);
        list_ = new QTreeWidget(&window_);
        list_->setGeometry(10, 10, 480, 200);
        list_->setColumnCount(3);
        // Rows of one height: otherwise every changed cell has its row's text measured again.
        // (The first row is measured on every change regardless, so the download is not the
        // first file of the list here, as in most runs of the wizard.)
        list_->setUniformRowHeights(true);
        for (const char* name : {"a.exe", "b.dll", "bench.bin", "c.dll", "d.ini"}) {
            auto* row = new QTreeWidgetItem(list_, {name, "", "0"});
            if (std::string(name) == "bench.bin") row_ = row;
        }
        // Fixed sizes: a new label text must not relayout the page, as on the wizard's form.
        fileLabel_ = AddLabel(220);
        totalLabel_ = AddLabel(280);
        fileBar_ = AddBar(flatBars, 240);
        totalBar_ = AddBar(flatBars, 300);
        window_.show();
    }

    // The wizard's download handler for one file that is the whole download.
    void Progress(int64_t totalSize, int64_t readed) {
        row_->setText(2, Size(totalSize - readed));
        fileBar_.setMaximum(static_cast<int>(totalSize));
        fileBar_.setPosition(static_cast<int>(readed));
        fileLabel_->setText(fileCaption_ + Size(readed) + u'(' + ofCaption_ + Size(totalSize) +
                            u')');
        downloaded_ += readed - lastReaded_;
        totalBar_.setMaximum(static_cast<int>(kFileSize));
        totalBar_.setPosition(static_cast<int>(downloaded_));
        totalLabel_->setText(totalCaption_ + Size(downloaded_) + u'(' + ofCaption_ +
                             Size(kFileSize) + u')');
        lastReaded_ = readed;
    }

    void Reset() { downloaded_ = lastReaded_ = 0; }

private:
    // SizeText gives ASCII only, so it needs no code-page conversion; converting the fixed
    // captions once, not per chunk, keeps the handler cheap.
    static QString Size(qint64 bytes) {
        return QString::fromLatin1(SizeText(std::to_string(bytes)));
    }

    QLabel* AddLabel(int y) {
        auto* label = new QLabel(&window_);
        label->setGeometry(10, y, 480, 16);
        label->setFixedSize(480, 16);
        // Plain text: otherwise every new text is first scanned for markup.
        label->setTextFormat(Qt::PlainText);
        return label;
    }

    Bar AddBar(bool flat, int y) {
        if (flat) {
            auto* bar = new TFlatProgressBar(&window_);
            bar->move(10, y);
            return {[bar](int m) { bar->SetMax(m); }, [bar](int p) { bar->SetPosition(p); }};
        }
        auto* bar = new QProgressBar(&window_);
        bar->setGeometry(10, y, 480, 16);
        bar->setFixedSize(480, 16);
        return {[bar](int m) { bar->setMaximum(m); }, [bar](int p) { bar->setValue(p); }};
    }

    QWidget window_;
    QTreeWidget* list_;
    QTreeWidgetItem* row_ = nullptr;
    QLabel* fileLabel_;
    QLabel* totalLabel_;
    Bar fileBar_;
    Bar totalBar_;
    const QString fileCaption_ = platform::ToUnicode(platform::FromUtf8("正在下载文件"));
    const QString totalCaption_ = platform::ToUnicode(platform::FromUtf8("总下载进度 "));
    const QString ofCaption_ = platform::ToUnicode(platform::FromUtf8("共"));
    qint64 downloaded_ = 0;
    int64_t lastReaded_ = 0;
};

Clock::duration TimeCommand(const QString& program, const QStringList& arguments) {
    QProcess process;
    auto start = Clock::now();
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitCode() != 0)
        Die(program.toStdString() + " failed: " + arguments.join(' ').toStdString());
    return Clock::now() - start;
}

Clock::duration TimeCurl(const QString& url, const QString& target, qint64 size = kFileSize) {
    const Clock::duration elapsed =
        TimeCommand("curl", {"-s", "--noproxy", "*", "-o", target, url});
    if (QFileInfo(target).size() != size) Die("curl fetched a file of the wrong size");
    return elapsed;
}

Clock::duration TimeGetFile(DownloadPage& page, const QString& url, const QString& target) {
    THTTPGet get;
    get.WaitThread = true;
    get.URL = url.toStdString();
    get.FileName = target.toStdString();
    get.OnProgress = [&page](QObject*, int64_t totalSize, int64_t readed) {
        page.Progress(totalSize, readed);
    };
    int64_t fileSize = -1;
    get.OnDoneFile = [&fileSize](QObject*, const AnsiString&, int64_t size) { fileSize = size; };
    page.Reset();
    auto start = Clock::now();
    get.GetFile();
    Clock::duration elapsed = Clock::now() - start;
    if (fileSize != kFileSize || QFileInfo(target).size() != kFileSize) {
        Die("GetFile did not complete the download");
    }
    return elapsed;
}

// The handler's own cost per call, run as often as a 64 MiB download calls it, with the
// events in between processed as often as during a download.
double HandlerMicroseconds(DownloadPage& page) {
    const int calls = static_cast<int>((kFileSize + 1024) / 1025);
    page.Reset();
    auto start = Clock::now();
    auto frame = start;
    for (int call = 1; call <= calls; ++call) {
        page.Progress(kFileSize, std::min<qint64>(call * 1025LL, kFileSize));
        if (Clock::now() - frame > std::chrono::milliseconds(16)) {
            QCoreApplication::processEvents();
            frame = Clock::now();
        }
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
}

struct Stall {
    double cpuSeconds;
    double wallSeconds;
};

// The longest gap between two progress calls is the stall; the processor time is taken at
// both of its ends.
Stall MeasureStall(DownloadPage& page, const QString& target) {
    testsupport::ScriptedHttpServer server;
    const size_t body = 1 << 20;
    server.Serve(
        "/stall.bin",
        testsupport::ScriptedResponse::Ok(std::string(body, 'x')).PauseInBody(body / 2, kStall));
    THTTPGet get;
    get.WaitThread = true;
    get.URL = server.Url("/stall.bin");
    get.FileName = target.toStdString();
    Stall longest{0, 0};
    auto lastWall = Clock::now();
    double lastCpu = ProcessCpuSeconds();
    get.OnProgress = [&](QObject*, int64_t totalSize, int64_t readed) {
        page.Progress(totalSize, readed);
        auto wall = Clock::now();
        double cpu = ProcessCpuSeconds();
        double gap = std::chrono::duration<double>(wall - lastWall).count();
        if (gap > longest.wallSeconds) longest = {cpu - lastCpu, gap};
        lastWall = wall;
        lastCpu = cpu;
    };
    page.Reset();
    get.GetFile();
    if (longest.wallSeconds < 4.5) Die("the scripted server did not stall");
    return longest;
}

double Seconds(Clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

// One GetFile of the large file with Resume and a handler that counts its calls, and with
// `page` updates that page as the wizard's handler does.
Clock::duration TimeLargeGetFile(const QString& url, const QString& target, bool flush,
                                 DownloadPage* page = nullptr) {
    THTTPGet get;
    get.WaitThread = true;
    get.Resume = true;
    get.FlushWhenComplete = flush;
    get.URL = url.toStdString();
    get.FileName = target.toStdString();
    int64_t calls = 0;
    get.OnProgress = [&calls, page](QObject*, int64_t totalSize, int64_t readed) {
        ++calls;
        if (page) page->Progress(totalSize, readed);
    };
    int64_t fileSize = -1;
    get.OnDoneFile = [&fileSize](QObject*, const AnsiString&, int64_t size) { fileSize = size; };
    if (page) page->Reset();
    auto start = Clock::now();
    get.GetFile();
    Clock::duration elapsed = Clock::now() - start;
    if (fileSize != kLargeFileSize || calls != (kLargeFileSize + 1024) / 1025) {
        Die("GetFile did not complete the large download: " + get.LastError());
    }
    return elapsed;
}

void BenchLargeFile(const QString& root) {
    // Written one at a time and removed after each run: room for one copy, and some to spare.
    const auto free = std::filesystem::space(root.toStdString()).available;
    if (free < uint64_t(kLargeFileSize) * 2) {
        std::printf("1.5 GB download: skipped, %.1f GB free under %s\n", free / 1e9,
                    root.toStdString().c_str());
        return;
    }
    QTemporaryDir served(std::filesystem::is_directory("/dev/shm") ? "/dev/shm/bench-XXXXXX"
                                                                   : QString());
    if (!served.isValid()) Die("no folder for the served file");
    NginxServer nginx(served.path());
    const std::string source = (nginx.WwwFolder() + "/large.bin").toStdString();
    std::ofstream(source, std::ios::binary).close();
    std::filesystem::resize_file(source, kLargeFileSize);
    const QString url = nginx.Url("/large.bin");
    const QString target = root + "/large.bin";

    DownloadPage page(true);
    std::vector<double> curlRuns, curlSyncRuns, flushedRuns, unflushedRuns, wizardRuns;
    for (int run = 0; run < kLargeRuns; ++run) {
        const Clock::duration curl = TimeCurl(url, target, kLargeFileSize);
        const Clock::duration sync = TimeCommand("sync", {"--data", target});
        QFile::remove(target);
        curlRuns.push_back(Seconds(curl));
        curlSyncRuns.push_back(Seconds(curl + sync));
        flushedRuns.push_back(Seconds(TimeLargeGetFile(url, target, true)));
        QFile::remove(target);
        unflushedRuns.push_back(Seconds(TimeLargeGetFile(url, target, false)));
        QFile::remove(target);
        wizardRuns.push_back(Seconds(TimeLargeGetFile(url, target, true, &page)));
        QFile::remove(target);
        std::printf(
            "run %d: curl %.2f s, curl+sync %.2f s, THTTPGet %.2f s (flushed), %.2f s (not), "
            "%.2f s (flushed, wizard handler)\n",
            run + 1, curlRuns.back(), curlSyncRuns.back(), flushedRuns.back(), unflushedRuns.back(),
            wizardRuns.back());
    }
    const double curl = Median(curlRuns);
    const double curlSync = Median(curlSyncRuns);
    const double flushed = Median(flushedRuns);
    const double unflushed = Median(unflushedRuns);
    const double wizard = Median(wizardRuns);
    std::printf("1.5 GB from nginx on 127.0.0.1 into %s, median of %d:\n",
                root.toStdString().c_str(), kLargeRuns);
    std::printf("  curl -o, then sync --data FILE (reference)   %7.2f s\n", curlSync);
    std::printf("  THTTPGet, Resume, flushed before the rename  %7.2f s  ratio %.2f\n", flushed,
                flushed / curlSync);
    std::printf("  the same with the wizard's handler, flat bars %6.2f s  ratio %.2f\n", wizard,
                wizard / curlSync);
    std::printf("  curl -o alone (reference)                    %7.2f s\n", curl);
    std::printf("  THTTPGet, Resume, FlushWhenComplete off      %7.2f s  ratio %.2f\n", unflushed,
                unflushed / curl);
    std::printf(
        "large_curl_sync_s=%.2f large_flushed_s=%.2f large_flushed_ratio=%.2f large_curl_s=%.2f "
        "large_unflushed_s=%.2f large_unflushed_ratio=%.2f large_wizard_handler_s=%.2f "
        "large_wizard_handler_ratio=%.2f\n",
        curlSync, flushed, flushed / curlSync, curl, unflushed, unflushed / curl, wizard,
        wizard / curlSync);
}

void BenchSmallFile(const QString& rootPath) {
    QTemporaryDir root(rootPath + "/small-XXXXXX");
    if (!root.isValid()) Die("no temporary folder");
    NginxServer nginx(root.path());
    {
        std::ofstream file((nginx.WwwFolder() + "/bench.bin").toStdString(), std::ios::binary);
        std::mt19937_64 random(42);
        std::vector<uint64_t> block(1 << 16);
        for (qint64 written = 0; written < kFileSize; written += block.size() * 8) {
            for (auto& word : block) word = random();
            file.write(reinterpret_cast<const char*>(block.data()), block.size() * 8);
        }
    }

    const QString url = nginx.Url("/bench.bin");
    const QString target = root.filePath("download.bin");
    DownloadPage plainPage(false);
    DownloadPage flatPage(true);

    std::vector<double> curlRuns, plainRuns, flatRuns;
    for (int run = 0; run < kRuns; ++run) {
        curlRuns.push_back(MegabytesPerSecond(kFileSize, TimeCurl(url, target)));
        plainRuns.push_back(MegabytesPerSecond(kFileSize, TimeGetFile(plainPage, url, target)));
        flatRuns.push_back(MegabytesPerSecond(kFileSize, TimeGetFile(flatPage, url, target)));
        std::printf(
            "run %d: curl %.0f MB/s, THTTPGet %.0f MB/s (flat bars), %.0f MB/s (QProgressBar)\n",
            run + 1, curlRuns.back(), flatRuns.back(), plainRuns.back());
    }
    const double curl = Median(curlRuns);
    const double plain = Median(plainRuns);
    const double flat = Median(flatRuns);
    const Stall stall = MeasureStall(flatPage, target);
    const double plainHandler = HandlerMicroseconds(plainPage);
    const double flatHandler = HandlerMicroseconds(flatPage);

    std::printf("64 MiB from nginx on 127.0.0.1, median of %d, MB = 10^6 bytes:\n", kRuns);
    std::printf("  curl -s -o (reference)               %8.1f MB/s\n", curl);
    std::printf("  THTTPGet, wizard handler, flat bars  %8.1f MB/s  ratio %.2f (goal >= %.2f)\n",
                flat, flat / curl, kRatioGoal);
    std::printf("  THTTPGet, same with QProgressBar     %8.1f MB/s  ratio %.2f\n", plain,
                plain / curl);
    std::printf("progress handler alone: %.2f us per call (flat bars), %.2f us (QProgressBar)\n",
                flatHandler, plainHandler);
    std::printf("stall of %.2f s mid-body: %.3f CPU-s used by the process (goal <= %.2f)\n",
                stall.wallSeconds, stall.cpuSeconds, kStallCpuGoal);
    std::printf(
        "download_mbps=%.1f curl_mbps=%.1f download_ratio_to_curl=%.2f stall_cpu_s=%.3f "
        "qprogressbar_download_mbps=%.1f qprogressbar_ratio_to_curl=%.2f\n",
        flat, curl, flat / curl, stall.cpuSeconds, plain, plain / curl);
}

int Bench(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Both clients go straight to 127.0.0.1.
    for (const char* proxy :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "all_proxy", "ALL_PROXY"}) {
        qunsetenv(proxy);
    }
    QApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    QTemporaryDir root;
    if (!root.isValid()) Die("no temporary folder");
    if (!arguments.contains("--large")) BenchSmallFile(root.path());
    if (!arguments.contains("--small")) BenchLargeFile(root.path());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Bench(argc, argv);
    } catch (const BenchFailure& failure) {
        std::fprintf(stderr, "bench_download: %s\n", failure.what());
        return 1;
    }
}
