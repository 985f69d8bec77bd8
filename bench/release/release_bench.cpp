// sendrift-publish release on a release of 2,000 files of 64 KB against two older versions:
// 1.0, where every file differs, and 1.5, where every other file does. The tool reads each
// file of 2.0 once for its digest, and of each older version the files of the same size, so it
// hashes 6,000 files (384 MB) and copies 2,000 (128 MB) into its output folder. Goal: under
// 5 s. Reference: one sha256sum process over the same 6,000 files, which only reads and
// hashes. Each figure is the median of 3 runs after one warm-up, the two alternating.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/support/die.h"
#include "bench/support/median.h"

namespace {

constexpr int kFiles = 2000;
constexpr qint64 kFileBytes = 64 * 1024;
constexpr double kGoalSeconds = 5.0;

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        Die("cannot write " + path.toStdString());
}

// The three versions laid out as installed, in ten folders of 200 files each.
QStringList MakeReleases(const QString& root) {
    std::mt19937_64 random(20240601);
    QByteArray bytes(kFileBytes, '\0');
    QStringList files;
    for (int i = 0; i < kFiles; ++i) {
        for (char& c : bytes) c = char(random());
        const QString name = QString("Folder%1/File%2.dll").arg(i % 10).arg(i, 4, 10, QChar('0'));
        for (const char* version : {"2.0", "1.0", "1.5"}) {
            QDir().mkpath(root + "/" + version + "/" + name.section('/', 0, 0));
            QByteArray content = bytes;
            if (version == std::string("1.0") || (version == std::string("1.5") && i % 2))
                content[0] = char(content[0] ^ 1);  // same size, other content: hashed to tell
            WriteFile(root + "/" + version + "/" + name, content);
            files << root + "/" + version + "/" + name;
        }
    }
    return files;
}

double Seconds(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        Die(program.toStdString() + " failed: " + process.readAllStandardError().toStdString());
    return double(timer.nsecsElapsed()) / 1e9;
}

}  // namespace

int main() {
    try {
        QTemporaryDir root;
        if (!root.isValid()) Die("no temporary folder");
        const QStringList files = MakeReleases(root.path());
        const QString out = root.path() + "/out";
        const QStringList release = {"release",   root.path() + "/2.0",
                                     "--version", "2.0",
                                     "--from",    "1.0=" + root.path() + "/1.0",
                                     "--from",    "1.5=" + root.path() + "/1.5",
                                     "--out",     out,
                                     "--force"};
        std::vector<double> tool, reference;
        for (int round = 0; round < 4; ++round) {
            const double a = Seconds(SENDRIFT_PUBLISH_PROGRAM, release);
            const double b = Seconds("sha256sum", files);
            if (round == 0) continue;  // warm-up: the page cache, the program's start
            tool.push_back(a);
            reference.push_back(b);
        }
        const double toolSeconds = Median(tool), referenceSeconds = Median(reference);
        std::printf(
            "release of %d files of %lld KB against 2 older versions: %.2f s (goal %.1f s)\n",
            kFiles, kFileBytes / 1024, toolSeconds, kGoalSeconds);
        std::printf("sha256sum over the same %lld files:                      %.2f s\n",
                    static_cast<long long>(files.size()), referenceSeconds);
        std::printf("release_s=%.3f sha256sum_s=%.3f ratio=%.2f goal_met=%d\n", toolSeconds,
                    referenceSeconds, toolSeconds / referenceSeconds,
                    toolSeconds < kGoalSeconds ? 1 : 0);
        return toolSeconds < kGoalSeconds ? 0 : 1;
    } catch (const BenchFailure& failure) {
        std::fprintf(stderr, "bench_release: %s\n", failure.what());
        return 1;
    }
}
