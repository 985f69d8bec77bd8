// The client's side of bench_delta's part (d), a program of its own so that its peak memory is
// that of the rebuild, not that of the libraries the benchmark links for the wizard (Qt's
// widgets alone add some 13 MiB to a process that merely starts).
//
//   bench_delta_rebuild LIST
//
// Rebuilds each line "base <TAB> patch <TAB> target <TAB> size <TAB> SHA-256" of LIST as the
// client does (core/delta's Rebuild, checked against the SHA-256), removes each rebuilt file
// again, and prints its processor time, wall time and peak resident memory in KiB.
#include <QFile>
#include <QStringList>
#include <QTextStream>
#include <cstdio>
#include <vector>

#include "bench/support/die.h"
#include "bench/support/meter.h"
#include "core/delta.h"
#include "platform/codepage.h"
#include "tests/support/processstats.h"

namespace {

void RebuildAll(const QString& list) {
    QFile file(list);
    if (!file.open(QIODevice::ReadOnly)) Die("cannot read " + list.toStdString());
    std::vector<QStringList> lines;
    for (QTextStream in(&file); !in.atEnd();) lines.push_back(in.readLine().split('\t'));
    const Meter meter(Meter::Self);
    for (const QStringList& line : lines) {
        if (line.size() != 5) Die("a line of " + list.toStdString() + " has no five fields");
        const delta::Rebuilt rebuilt = delta::Rebuild(
            platform::FromUnicode(line[0]), platform::FromUnicode(line[1]),
            {platform::FromUnicode(line[2]), line[3].toLongLong(), {line[4].toStdString()}});
        if (!rebuilt) Die(rebuilt.failure);
        QFile::remove(line[2]);
    }
    const Cost cost = meter.Read();
    std::printf("%f %f %ld\n", cost.cpu, cost.wall, testsupport::PeakResidentKilobytes());
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_delta_rebuild LIST\n");
        return 2;
    }
    try {
        RebuildAll(QString::fromLocal8Bit(argv[1]));
        return 0;
    } catch (const BenchFailure& failure) {
        std::fprintf(stderr, "bench_delta_rebuild: %s\n", failure.what());
        return 1;
    }
}
