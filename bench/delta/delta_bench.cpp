// Patches on a real release pair that no one here wrote, beside bsdiff and xdelta3.
//
//   bench_delta [--package NAME [--versions OLDER NEWER]] [--sweep]
//
// fetch-pair.sh (beside this source) fetches two published versions of one Debian package, by
// default the two newest of postgresql-15 that apt offers, and unpacks them under
// build/bench-data, where later runs find them. For every regular file of the newer version
// that the older one holds with other bytes:
// (a) the patch that core/delta makes with its default settings: size and processor time;
// (b) in the same run, `bsdiff OLD NEW PATCH` and `xdelta3 -e -9 -B WINDOW -s OLD NEW PATCH`,
//     a process per file: sizes and the processor time of those processes. xdelta3's source
//     window is twice the older file rounded up to a power of two (at least 1 MiB) rather than
//     its default 64 MiB, whose tables cost it most of its time on small files (a tenth of a
//     second for each file of a few kilobytes); the patches come out within 0.3% of the
//     default's;
// (c) bytes on the wire: the changed files whole, against patches where the publisher publishes
//     them (at most 75% of the file) and the files elsewhere;
// (d) the client: bench_delta_rebuild, a program of its own, rebuilds every file from its base
//     and patch as the client does (core/delta's Rebuild, checked against the file's SHA-256)
//     and reports its processor time and peak resident memory (VmHWM);
// (e) sendrift-publish release of the pair (the trees copied without their symbolic links),
//     with patches and with --no-delta, and the bytes that an installation of the older
//     version fetches from each, as its manifest says.
// (f) The whole upgrade of that installation, from each release: nginx serves the update
//     folder through bench/wan's proxy at 10 Mbit/s and bench_wan's round trip of 50 ms, and
//     the wizard runs offscreen in this process on a copy of the older tree (setup.ini: version
//     1), its main button clicked from code, from the click that starts the version check to
//     the finish page. Wall time, this process's processor time, the bytes the proxy carried
//     toward the wizard and, as the floor, the time those bytes take at the link's rate; beside
//     it the requests that nginx logged, each a round trip, spread over the connections that
//     the proxy counted. After each run every file that the manifest lists for version 1 must
//     have the newer tree's bytes, and nginx must have been asked for exactly the patches that
//     the manifest offers the installation and the whole files of the other entries (a patch
//     that fell back to its file fails the run). One run each: on this project's machine 45 to
//     55 s without patches and 20 to 35 s with them, as the load of other work varies.
// --sweep measures (a) for several levels, with and without long-distance matching, instead.
//
// Goals, printed beside the figures: bytes on the wire at most 20% of the whole files; patches
// at most 1.1 times bsdiff's in total, made in at most 0.25 times its processor time; the
// client's peak memory at most the largest file and 64 MiB; the upgrade over the link with
// patches in at most 0.3 times the time of the one without.
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/support/die.h"
#include "bench/support/meter.h"
#include "bench/support/nginxserver.h"
#include "bench/support/offscreenwizard.h"
#include "bench/support/wanlink.h"
#include "core/delta.h"
#include "core/manifest.h"
#include "core/verification.h"
#include "platform/codepage.h"

namespace {

constexpr double kWireGoal = 0.20;
constexpr double kSizeGoal = 1.1;
constexpr double kTimeGoal = 0.25;
constexpr int64_t kMemoryMargin = int64_t(64) << 20;
// What the publisher publishes: a patch of at most three quarters of its file.
constexpr int64_t PublishedLimit(int64_t fileBytes) {
    return fileBytes * 3 / 4;
}
constexpr double kUpgradeTimeGoal = 0.3;
// bench_wan's round trip, and the rate of an office's line.
constexpr LinkSettings kLink{.rttMs = 50, .rateMbit = 10};

double AtLinkRate(int64_t bytes) {
    return double(bytes) * 8 / (kLink.rateMbit * 1e6);
}

AnsiString CodePage(const QString& path) {
    return platform::FromUnicode(path);
}

double MiB(int64_t bytes) {
    return double(bytes) / (1 << 20);
}

struct Pair {
    QString older, newer;
};

Pair Fetch(const QString& package, const QStringList& versions) {
    QProcess fetch;
    fetch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    fetch.start(SENDRIFT_FETCH_PAIR, QStringList{SENDRIFT_BENCH_CACHE, package} + versions);
    if (!fetch.waitForFinished(600000) || fetch.exitStatus() != QProcess::NormalExit ||
        fetch.exitCode() != 0)
        Die("fetch-pair.sh could not fetch " + package.toStdString());
    const QStringList folders =
        QString::fromUtf8(fetch.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (folders.size() != 2) Die("fetch-pair.sh named no two folders");
    return {folders[0], folders[1]};
}

struct Changed {
    QString name;  // relative, with "/"
    int64_t bytes;
    AnsiString digest;
};

// Every regular file of `newer` that `older` holds with other bytes, in name order.
std::vector<Changed> ChangedFiles(const Pair& pair) {
    std::vector<Changed> changed;
    QStringList names;
    for (QDirIterator it(pair.newer, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QFileInfo info(it.next());
        if (!info.isSymLink()) names << QDir(pair.newer).relativeFilePath(info.filePath());
    }
    names.sort();
    for (const QString& name : names) {
        const QFileInfo old(pair.older + "/" + name);
        if (!old.isFile() || old.isSymLink()) continue;
        const auto newDigest = verification::FileDigest(CodePage(pair.newer + "/" + name));
        const auto oldDigest = verification::FileDigest(CodePage(old.filePath()));
        if (!newDigest || !oldDigest) Die("cannot read " + name.toStdString());
        if (*newDigest != *oldDigest)
            changed.push_back({name, QFileInfo(pair.newer + "/" + name).size(), *newDigest});
    }
    return changed;
}

struct Tool {
    const char* name;
    std::vector<int64_t> bytes;  // per changed file
    Cost cost{0, 0};
    int64_t Total() const {
        int64_t total = 0;
        for (int64_t b : bytes) total += b;
        return total;
    }
};

// Patches of every changed file made in this process; they stay in `out` for the rebuild.
Tool MakeOurs(const Pair& pair, const std::vector<Changed>& changed, const QString& out,
              const delta::PatchSettings& settings) {
    Tool tool{"sendrift (zstd)", {}, {}};
    const Meter meter(Meter::Self);
    for (size_t i = 0; i < changed.size(); ++i) {
        const delta::Made made =
            delta::MakePatch(CodePage(pair.older + "/" + changed[i].name),
                             CodePage(pair.newer + "/" + changed[i].name),
                             CodePage(out + "/" + QString::number(i)), INT64_MAX, settings);
        if (made.outcome != delta::Made::Outcome::Made) Die(made.failure);
        tool.bytes.push_back(made.bytes);
    }
    tool.cost = meter.Read();
    return tool;
}

// Patches made by a program of the system, one process per file: the options that `options`
// gives for the older file, then the older file, the newer file and the patch.
Tool MakeWith(const char* program, const std::function<QStringList(const QString& older)>& options,
              const Pair& pair, const std::vector<Changed>& changed, const QString& out) {
    Tool tool{program, {}, {}};
    const QString patch = out + "/" + program;
    const Meter meter(Meter::Children);
    for (const Changed& file : changed) {
        QProcess process;
        const QString older = pair.older + "/" + file.name;
        process.start(program,
                      options(older) + QStringList{older, pair.newer + "/" + file.name, patch});
        if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0)
            Die(std::string(program) + " failed on " + file.name.toStdString() + ": " +
                process.readAllStandardError().toStdString());
        tool.bytes.push_back(QFileInfo(patch).size());
    }
    tool.cost = meter.Read();
    QFile::remove(patch);
    return tool;
}

// --- (d) the client, in a process of its own (bench_delta_rebuild) ---------------------------

struct ClientCost {
    Cost cost;
    int64_t peakBytes;
};

ClientCost RebuildAll(const Pair& pair, const std::vector<Changed>& changed,
                      const QString& patches) {
    const QString list = patches + "/rebuild.list";
    QFile file(list);
    if (!file.open(QIODevice::WriteOnly)) Die("cannot write " + list.toStdString());
    QTextStream out(&file);
    for (size_t i = 0; i < changed.size(); ++i)
        out << pair.older << "/" << changed[i].name << '\t' << patches << "/" << i << '\t'
            << patches << "/rebuilt\t" << changed[i].bytes << '\t'
            << QString::fromStdString(changed[i].digest) << '\n';
    out.flush();
    file.close();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(SENDRIFT_DELTA_REBUILD, {list});
    if (!child.waitForFinished(600000) || child.exitCode() != 0) Die("the rebuild failed");
    double cpu = 0, wall = 0;
    long peakKiB = 0;
    if (std::sscanf(child.readAllStandardOutput().constData(), "%lf %lf %ld", &cpu, &wall,
                    &peakKiB) != 3)
        Die("the rebuild said nothing");
    return {{wall, cpu}, int64_t(peakKiB) << 10};
}

// --- (e) the publisher's two update folders -----------------------------------------------

// A copy of `tree` with its regular files alone: a release folder holds no links.
void CopyFiles(const QString& tree, const QString& to) {
    for (QDirIterator it(tree, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QFileInfo info(it.next());
        if (info.isSymLink()) continue;
        const QString target = to + "/" + QDir(tree).relativeFilePath(info.filePath());
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(info.filePath(), target))
            Die("cannot copy " + info.filePath().toStdString());
    }
}

struct Published {
    QString folder;       // the server's update folder
    int64_t fetched = 0;  // what an installation of the older version fetches from it
    int patches = 0;      // of which patches
    Cost cost{0, 0};      // of the release command
};

// What an installation of version "1" fetches: for each entry of [1], the patch for the
// installed file when the manifest offers one, else the file.
void CountFetched(const QString& installed, Published& published) {
    const AnsiString manifestPath = CodePage(published.folder + "/Version.ini");
    const TIniSnapshot manifest(manifestPath);
    for (const TIniSnapshot::Entry& entry : manifest.Entries("1")) {
        const AnsiString file = EntryFileName(entry.value);
        const auto installedDigest = verification::FileDigest(CodePage(installed) + "\\" + file);
        const std::optional<delta::Patch> patch =
            installedDigest ? delta::ChoosePatch(manifest, file, *installedDigest) : std::nullopt;
        const std::vector<AnsiString> sizes = manifest.ReadEntries(kSizeSection, file);
        if (patch) {
            published.fetched += patch->size;
            ++published.patches;
        } else if (!sizes.empty()) {
            published.fetched += int64_t(DecimalCount(sizes.front(), INT64_MAX).value_or(0));
        }
    }
}

Published Release(const QString& work, const QString& older, const QString& newer, bool patches) {
    Published published;
    published.folder = work + (patches ? "/with-patches" : "/files-only");
    QProcess release;
    release.setStandardOutputFile(QProcess::nullDevice());
    QStringList arguments{"release",    newer,   "--version",      "2",      "--from",
                          "1=" + older, "--out", published.folder, "--force"};
    if (!patches) arguments << "--no-delta";
    const Meter meter(Meter::Children);
    release.start(SENDRIFT_PUBLISH_PROGRAM, arguments);
    if (!release.waitForFinished(1800000) || release.exitStatus() != QProcess::NormalExit ||
        release.exitCode() != 0)
        Die("sendrift-publish release failed: " + release.readAllStandardError().toStdString());
    published.cost = meter.Read();
    CountFetched(older, published);
    return published;
}

// --- (f) the whole upgrade over bench/wan's link ---------------------------------------------

// What the server's log says was fetched from the update folder besides Version.*: patches
// (under .delta/) and files.
struct Fetches {
    int64_t requests = 0;  // every request, Version.* too
    int64_t patches = 0;
    int64_t files = 0;
};

Fetches CountFetches(const NginxServer& nginx) {
    Fetches fetches;
    for (const std::string& request : nginx.RequestLines()) {
        ++fetches.requests;
        if (request.rfind("GET /Update/.delta/", 0) == 0)
            ++fetches.patches;
        else if (request.rfind("GET /Update/", 0) == 0 &&
                 request.rfind("GET /Update/Version.", 0) != 0)
            ++fetches.files;
    }
    return fetches;
}

struct Upgrade {
    OffscreenWizard::UpgradeCost cost;
    LinkTraffic traffic;
    Fetches fetches;
    size_t filesChecked = 0;
};

// Dies unless every file that the manifest of `published` lists for version 1 has, in the
// installation `installed`, the bytes it has in `newer`; the number of files compared.
size_t CheckInstalled(const QString& installed, const Published& published, const QString& newer) {
    const TIniSnapshot manifest(CodePage(published.folder + "/Version.ini"));
    size_t compared = 0;
    for (const TIniSnapshot::Entry& entry : manifest.Entries("1")) {
        if (!IsCopyEntry(entry.value) || !EntryTargetFolder(entry.value).empty())
            Die("the manifest has an entry that is no plain copy: " + entry.value);
        const AnsiString file = EntryFileName(entry.value);
        const auto got = verification::FileDigest(CodePage(installed) + "\\" + file);
        const auto wanted = verification::FileDigest(CodePage(newer) + "\\" + file);
        if (!wanted) Die("the newer release has no " + file);
        if (got != wanted) Die("the upgrade left " + file + " with other bytes than the release's");
        ++compared;
    }
    QFile setup(installed + "/setup.ini");
    if (!setup.open(QIODevice::ReadOnly) || !setup.readAll().contains("VERSION=2"))
        Die("the upgrade did not record version 2");
    return compared;
}

// The wizard's whole upgrade of an installation of version 1 (a copy of `older`) from the
// update folder of `published`, through the link; checked as CheckInstalled says, and dies
// unless the server was asked for each patch that `published` offers the installation and for
// the whole file of every other entry, once each: a patch that fell back to its file, or a
// file fetched again, would measure another upgrade than the one the figure names.
Upgrade UpgradeOverLink(const Published& published, const QString& older, const QString& newer) {
    const QString root = published.folder + ".server";
    NginxServer nginx(root, {.logRequests = true});
    if (!QFile::link(published.folder, nginx.WwwFolder() + "/Update"))
        Die("cannot publish " + published.folder.toStdString());
    WanLink link(nginx.Port(), kLink);
    Upgrade upgrade;
    {
        OffscreenWizard wizard(link.Url(), [&](const QString& folder) {
            CopyFiles(older, folder);
            QFile setup(folder + "/setup.ini");
            if (!setup.open(QIODevice::WriteOnly) || setup.write("[VERSION]\r\nVERSION=1\r\n") < 0)
                Die("cannot write setup.ini");
        });
        upgrade.cost = wizard.ClickThroughUpgrade();
        upgrade.filesChecked = CheckInstalled(wizard.Path(""), published, newer);
        upgrade.fetches = CountFetches(nginx);
        const int64_t wholeFiles = int64_t(upgrade.filesChecked) - published.patches;
        if (upgrade.fetches.patches != published.patches || upgrade.fetches.files != wholeFiles) {
            QFile log(wizard.Path("sendrift.log"));
            Die("the server was asked for " + std::to_string(upgrade.fetches.patches) +
                " patches and " + std::to_string(upgrade.fetches.files) + " files, not " +
                std::to_string(published.patches) + " and " + std::to_string(wholeFiles) +
                "; sendrift.log:\n" +
                (log.open(QIODevice::ReadOnly) ? log.readAll().toStdString() : "(none)"));
        }
    }
    upgrade.traffic = link.Stop();
    return upgrade;
}

// Beside the bytes' floor, the round trips': each request waits one, and the connections
// that the proxy counted carry them side by side at best.
void PrintUpgrade(const char* what, const Upgrade& upgrade) {
    const int64_t bytes = upgrade.traffic.bytesToClient;
    const double roundTrips = double(upgrade.fetches.requests) * kLink.rttMs / 1000 /
                              std::max(1, upgrade.traffic.connections);
    std::printf(
        "    %-13s %5.1f s wall, %4.1f s processor; %6.2f MiB over the link: floor %4.1f s "
        "(%.2fx); %lld requests (%lld patches, %lld files) on %d connections: %4.1f s of "
        "round trips\n"
        "                  version %.1f s, list %.1f s, download %.1f s, install %.1f s\n",
        what, upgrade.cost.total.wall, upgrade.cost.total.cpu, MiB(bytes), AtLinkRate(bytes),
        upgrade.cost.total.wall / AtLinkRate(bytes),
        static_cast<long long>(upgrade.fetches.requests),
        static_cast<long long>(upgrade.fetches.patches),
        static_cast<long long>(upgrade.fetches.files), upgrade.traffic.connections, roundTrips,
        upgrade.cost.steps[0].wall, upgrade.cost.steps[1].wall, upgrade.cost.steps[2].wall,
        upgrade.cost.steps[3].wall);
    std::fflush(stdout);
}

double LoadAverage() {
    double load = 0;
    getloadavg(&load, 1);
    return load;
}

void PrintLargest(const std::vector<Changed>& changed, const std::vector<const Tool*>& tools) {
    std::vector<size_t> order(changed.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return changed[a].bytes > changed[b].bytes; });
    std::printf("    the largest changed files, patch bytes:\n");
    for (size_t k = 0; k < std::min<size_t>(5, order.size()); ++k) {
        const size_t i = order[k];
        std::printf("      %-58s %9lld", changed[i].name.right(58).toUtf8().constData(),
                    static_cast<long long>(changed[i].bytes));
        for (const Tool* tool : tools)
            std::printf("  %s %lld", tool->name, static_cast<long long>(tool->bytes[i]));
        std::printf("\n");
    }
}

void Sweep(const Pair& pair, const std::vector<Changed>& changed, const QString& out,
           const Tool& bsdiff) {
    std::printf("level  long-distance  patch bytes  vs bsdiff  cpu s  vs bsdiff\n");
    for (const int level : {3, 9, 12, 15, 19})
        for (const bool ldm : {false, true}) {
            const Tool tool = MakeOurs(pair, changed, out, {level, ldm});
            std::printf("%5d  %13s  %11lld  %9.2f  %5.1f  %9.2f\n", level, ldm ? "on" : "off",
                        static_cast<long long>(tool.Total()),
                        double(tool.Total()) / double(bsdiff.Total()), tool.cost.cpu,
                        tool.cost.cpu / bsdiff.cost.cpu);
            std::fflush(stdout);
        }
}

const char* Met(bool met) {
    return met ? "met" : "NOT MET";
}

int Run(const QStringList& arguments) {
    QString package = "postgresql-15";
    QStringList versions;
    bool sweep = false;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--package" && i + 1 < arguments.size()) {
            package = arguments[++i];
        } else if (arguments[i] == "--versions" && i + 2 < arguments.size()) {
            versions = {arguments[i + 1], arguments[i + 2]};
            i += 2;
        } else if (arguments[i] == "--sweep") {
            sweep = true;
        } else {
            Die("usage: bench_delta [--package NAME [--versions OLDER NEWER]] [--sweep]");
        }
    }
    const Pair pair = Fetch(package, versions);
    const std::vector<Changed> changed = ChangedFiles(pair);
    if (changed.empty()) Die("the two versions hold no changed file");
    int64_t full = 0, largest = 0;
    for (const Changed& file : changed) {
        full += file.bytes;
        largest = std::max(largest, file.bytes);
    }
    std::printf("%s: %s -> %s, %zu changed files, %.1f MiB, the largest %.1f MiB\n",
                package.toUtf8().constData(), QFileInfo(pair.older).fileName().toUtf8().constData(),
                QFileInfo(pair.newer).fileName().toUtf8().constData(), changed.size(), MiB(full),
                MiB(largest));
    std::fflush(stdout);

    QTemporaryDir work;
    if (!work.isValid()) Die("no temporary folder");
    const QString patches = work.path() + "/patches";
    QDir().mkpath(patches);
    const Tool bsdiff = MakeWith(
        "bsdiff", [](const QString&) { return QStringList(); }, pair, changed, work.path());
    if (sweep) {
        Sweep(pair, changed, patches, bsdiff);
        return 0;
    }
    const Tool xdelta = MakeWith(
        "xdelta3",
        [](const QString& older) {
            int64_t window = 1 << 20;
            while (window < 2 * QFileInfo(older).size()) window *= 2;
            return QStringList{"-e", "-9", "-f", "-B", QString::number(window), "-s"};
        },
        pair, changed, work.path());
    const Tool ours = MakeOurs(pair, changed, patches, {});

    int64_t wire = 0;
    int published = 0;
    for (size_t i = 0; i < changed.size(); ++i) {
        const bool publish = ours.bytes[i] <= PublishedLimit(changed[i].bytes);
        wire += publish ? ours.bytes[i] : changed[i].bytes;
        published += publish;
    }
    const double wireRatio = double(wire) / double(full);
    const double sizeRatio = double(ours.Total()) / double(bsdiff.Total());
    const double timeRatio = ours.cost.cpu / bsdiff.cost.cpu;

    std::printf("(a,b) patches of the %zu changed files:\n", changed.size());
    for (const Tool* tool : {&ours, &bsdiff, &xdelta})
        std::printf(
            "    %-16s %10lld bytes (%.2fx bsdiff)  made in %6.1f s processor, %6.1f s wall\n",
            tool->name, static_cast<long long>(tool->Total()),
            double(tool->Total()) / double(bsdiff.Total()), tool->cost.cpu, tool->cost.wall);
    PrintLargest(changed, {&ours, &bsdiff, &xdelta});
    std::printf(
        "    patch sizes %.2fx bsdiff's (goal <= %.1f: %s); processor time %.2fx bsdiff's "
        "(goal <= %.2f: %s)\n",
        sizeRatio, kSizeGoal, Met(sizeRatio <= kSizeGoal), timeRatio, kTimeGoal,
        Met(timeRatio <= kTimeGoal));
    std::printf(
        "(c) on the wire: %.2f MiB of %d patches and %zu files against %.2f MiB of whole "
        "files: %.1f%% (goal <= %.0f%%: %s)\n",
        MiB(wire), published, changed.size() - size_t(published), MiB(full), 100 * wireRatio,
        100 * kWireGoal, Met(wireRatio <= kWireGoal));
    std::fflush(stdout);

    const ClientCost client = RebuildAll(pair, changed, patches);
    const bool memoryMet = client.peakBytes <= largest + kMemoryMargin;
    std::printf(
        "(d) the client rebuilt all %zu files in %.1f s processor (%.1f s wall); peak "
        "memory %.1f MiB (goal <= the largest file %.1f MiB + 64 MiB: %s)\n",
        changed.size(), client.cost.cpu, client.cost.wall, MiB(client.peakBytes), MiB(largest),
        Met(memoryMet));
    std::fflush(stdout);

    const QString older = work.path() + "/release-1", newer = work.path() + "/release-2";
    CopyFiles(pair.older, older);
    CopyFiles(pair.newer, newer);
    const Published withPatches = Release(work.path(), older, newer, true);
    const Published filesOnly = Release(work.path(), older, newer, false);
    std::printf(
        "(e) sendrift-publish release: with patches %.1f s processor, --no-delta %.1f s; a 1 "
        "installation fetches %.2f MiB of files from the latter, %.2f MiB (%d patches) from "
        "the former\n",
        withPatches.cost.cpu, filesOnly.cost.cpu, MiB(filesOnly.fetched), MiB(withPatches.fetched),
        withPatches.patches);
    std::printf(
        "(f) the whole upgrade of a 1 installation over a link of %g ms round trip and %g "
        "Mbit/s, version check to finish page, load average %.1f before:\n",
        kLink.rttMs, kLink.rateMbit, LoadAverage());
    std::fflush(stdout);
    const Upgrade whole = UpgradeOverLink(filesOnly, older, newer);
    PrintUpgrade("--no-delta", whole);
    const Upgrade patched = UpgradeOverLink(withPatches, older, newer);
    PrintUpgrade("with patches", patched);
    const double upgradeRatio = patched.cost.total.wall / whole.cost.total.wall;
    const double linkRatio =
        double(patched.traffic.bytesToClient) / double(whole.traffic.bytesToClient);
    const bool upgradeMet = upgradeRatio <= kUpgradeTimeGoal;
    std::printf(
        "    with patches against without: time %.2f (goal <= %.1f: %s), bytes %.2f; both runs "
        "left all %zu files of the manifest with the newer release's bytes; load average "
        "%.1f after\n",
        upgradeRatio, kUpgradeTimeGoal, Met(upgradeMet), linkRatio, patched.filesChecked,
        LoadAverage());

    std::printf(
        "wire_ratio=%.3f size_vs_bsdiff=%.3f time_vs_bsdiff=%.3f ours_bytes=%lld "
        "bsdiff_bytes=%lld xdelta3_bytes=%lld ours_cpu_s=%.2f bsdiff_cpu_s=%.2f "
        "xdelta3_cpu_s=%.2f rebuild_cpu_s=%.2f client_peak_mib=%.1f largest_mib=%.1f "
        "release_fetch_ratio=%.3f upgrade_s=%.2f upgrade_nodelta_s=%.2f upgrade_cpu_s=%.2f "
        "upgrade_nodelta_cpu_s=%.2f link_bytes=%lld link_nodelta_bytes=%lld "
        "upgrade_time_ratio=%.3f goals_met=%d\n",
        wireRatio, sizeRatio, timeRatio, static_cast<long long>(ours.Total()),
        static_cast<long long>(bsdiff.Total()), static_cast<long long>(xdelta.Total()),
        ours.cost.cpu, bsdiff.cost.cpu, xdelta.cost.cpu, client.cost.cpu, MiB(client.peakBytes),
        MiB(largest), double(withPatches.fetched) / double(filesOnly.fetched),
        patched.cost.total.wall, whole.cost.total.wall, patched.cost.total.cpu,
        whole.cost.total.cpu, static_cast<long long>(patched.traffic.bytesToClient),
        static_cast<long long>(whole.traffic.bytesToClient), upgradeRatio,
        wireRatio <= kWireGoal && sizeRatio <= kSizeGoal && timeRatio <= kTimeGoal && memoryMet &&
            upgradeMet);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    try {
        WanLink::BypassEnvironmentProxies();
        return Run(application.arguments().mid(1));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "bench_delta: %s\n", failure.what());
        return 1;
    }
}
