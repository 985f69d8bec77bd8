// The unattended run on folders that refuse what an upgrade writes: a disk without room for the
// whole upgrade, a disk that fills while the install runs, a folder the user may not write.
// Small disks are tmpfs mounts that only the run sees (a user and mount namespace of its own).
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "app/texts.h"
#include "cli/programrun.h"
#include "core/displaytext.h"
#include "platform/codepage.h"
#include "support/scriptedhttpserver.h"

namespace {

using testsupport::ScriptedHttpServer;
using testsupport::ScriptedResponse;

constexpr int64_t kMiB = 1024 * 1024;
// What the room check keeps free beyond the upgrade's copies.
constexpr int64_t kMargin = 16 * kMiB;

// Mounts a tmpfs of $2 bytes on the folder "tmpfs" of the application folder $1, copies the
// folder's files into it and runs the copy of the program ($3) there with the arguments after
// it.
const char* const kOnTmpfs = R"(app=$1 size=$2; shift 3
mount -t tmpfs -o "size=$size" tmpfs "$app/tmpfs" || exit
for file in "$app"/*; do [ "$file" = "$app/tmpfs" ] || cp -a "$file" "$app/tmpfs/" || exit; done
exec "$app/tmpfs/sendrift" "$@")";
const QStringList kNamespaceOfItsOwn = {"unshare", "--user", "--map-root-user", "--mount"};

// Empty when a process may mount a tmpfs in a user and mount namespace of its own here;
// otherwise why it may not.
std::string WhyNoTmpfs() {
    QTemporaryDir folder;
    QProcess probe;
    probe.start(
        kNamespaceOfItsOwn.front(),
        kNamespaceOfItsOwn.mid(1) + QStringList{"mount", "-t", "tmpfs", "tmpfs", folder.path()});
    if (probe.waitForFinished() && probe.exitStatus() == QProcess::NormalExit &&
        probe.exitCode() == 0)
        return {};
    return "no tmpfs can be mounted in a namespace of its own: " +
           probe.readAllStandardError().toStdString() + probe.errorString().toStdString();
}

// `sendrift --unattended --json` of `app`, run from a tmpfs of `size` bytes, where the
// program's application folder is then the folder "tmpfs" of `app`. The program's own copy
// takes ProgramSize() of them.
int64_t ProgramSize() {
    return int64_t(std::filesystem::file_size(SENDRIFT_BINARY));
}
Outcome RunOnTmpfs(const AppFolder& app, int64_t size) {
    QDir(app.Folder()).mkpath("tmpfs");
    return app.Run({"--unattended", "--json"},
                   kNamespaceOfItsOwn + QStringList{"sh", "-c", kOnTmpfs, "sh", app.Folder(),
                                                    QString::number(size)});
}

// The application folder as the program names it in its messages: "\tmp\...\".
AnsiString FolderText(const QString& folder) {
    return platform::FromUnicode(QString(folder + "/").replace('/', '\\'));
}

std::string Utf8(const AnsiString& text) {
    return platform::ToUnicode(text).toStdString();
}

std::string Message(const std::optional<QJsonObject>& event) {
    return event ? event->value("message").toString().toStdString() : "<no such event>";
}

std::string Manifest(const std::string& section, const std::string& sizes) {
    return "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n" + section + "[SIZE]\r\n" + sizes;
}

// The room needed is the listed total once for the downloads, once for the install's copies
// beside their targets and, with SYSTEM=1 and a CUpdate folder, once for CUpdate's copies, and
// a margin. Each case makes the free space what it wants to the byte: a first run, refused for
// a total far too large, says how much is free at the check on a tmpfs of a known size; the
// same run on another size has that much more or less free at the same point.
TEST(FolderLimits, TheRoomCheckCountsEveryCopyAndTheMarginToTheByte) {
    if (const std::string why = WhyNoTmpfs(); !why.empty()) GTEST_SKIP() << why;
    const int64_t page = ::sysconf(_SC_PAGESIZE);
    const struct {
        const char* name;
        int64_t copies;
        int64_t shortBy;  // of the room needed
    } cases[] = {
        {"exactly the room for three copies and the margin", 3, 0},
        {"one byte less than three copies and the margin", 3, 1},
        {"free space between the copies and the copies and the margin", 2, 8 * kMiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHttpServer server;
        server.Serve("/Update/Version.txt", ScriptedResponse::Ok("2.0"));
        AppFolder app(server.Url());
        if (c.copies == 3) {
            app.Write("setup.ini", app.Read("setup.ini") + "[QUENTAROVER]\r\nSYSTEM=1\r\n");
            QDir(app.Folder()).mkpath("CUpdate");
        }
        auto publish = [&](int64_t total) {
            server.Serve("/Update/Version.ini",
                         ScriptedResponse::Ok(Manifest(
                             "1=big.dat;0\r\n", "big.dat=" + std::to_string(total) + "\r\n")));
        };
        const int64_t probeSize = ProgramSize() + 32 * kMiB;
        publish(int64_t(1) << 40);
        const Outcome probe = RunOnTmpfs(app, probeSize);
        const QRegularExpressionMatch freeAtProbe =
            QRegularExpression(R"((\d+) free)")
                .match(QString::fromStdString(probe.LastEvent("failed")
                                                  .value_or(QJsonObject())
                                                  .value("reason")
                                                  .toString()
                                                  .toStdString()));
        ASSERT_TRUE(freeAtProbe.hasMatch()) << probe.out << probe.err;
        const int64_t usedAtCheck = probeSize - freeAtProbe.captured(1).toLongLong();

        // Free space is counted in pages: the first one from about 4 MiB a copy on for which
        // the total comes out whole.
        int64_t free = (kMargin + c.copies * 4 * kMiB) / page * page;
        while ((free + c.shortBy - kMargin) % c.copies != 0) free += page;
        const int64_t total = (free + c.shortBy - kMargin) / c.copies;
        const int64_t needed = c.copies * total + kMargin;
        ASSERT_EQ(needed, free + c.shortBy);
        publish(total);
        server.Serve("/Update/big.dat", ScriptedResponse::Ok(std::string(total, 'b')));
        const Outcome run = RunOnTmpfs(app, usedAtCheck + free);
        if (c.shortBy == 0) {
            EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
            EXPECT_TRUE(run.LastEvent("finished")) << run.out;
            continue;
        }
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_EQ(Message(run.LastEvent("failed")),
                  Utf8(Texts::DiskFull + SizeText(needed) + Texts::DiskFullFree + SizeText(free) +
                       Texts::DiskFullTail))
            << run.out;
        EXPECT_NE(run.out.find("needs " + std::to_string(needed) + " bytes"), std::string::npos)
            << run.out;
        EXPECT_FALSE(run.LastEvent("file-started")) << "nothing was downloaded";
    }
}

// A run entry fills the disk; the copy after it then has no room, which is said as such rather
// than blamed on a program that holds the file.
TEST(FolderLimits, ADiskThatFillsDuringTheInstallIsSaidToBeFull) {
    if (const std::string why = WhyNoTmpfs(); !why.empty()) GTEST_SKIP() << why;
    const std::string fill =
        "#!/bin/sh\nhog=\"$(dirname \"$0\")/../hog\"\n"
        "dd if=/dev/zero of=\"$hog\" bs=64k 2>/dev/null\n"
        // Room for the journal's next write, none for the copy.
        "truncate -s -16k \"$hog\"\n";
    const std::string copy(64 * 1024, 'a');
    ScriptedHttpServer server;
    server.Serve("/Update/Version.txt", ScriptedResponse::Ok("2.0"));
    server.Serve(
        "/Update/Version.ini",
        ScriptedResponse::Ok(Manifest("1=fill.sh;1\r\n2=a.dll;0\r\n",
                                      "fill.sh=" + std::to_string(fill.size()) +
                                          "\r\na.dll=" + std::to_string(copy.size()) + "\r\n")));
    server.Serve("/Update/fill.sh", ScriptedResponse::Ok(fill));
    server.Serve("/Update/a.dll", ScriptedResponse::Ok(copy));
    AppFolder app(server.Url());
    const Outcome run = RunOnTmpfs(app, ProgramSize() + 32 * kMiB);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    const std::optional<QJsonObject> failed = run.LastEvent("failed");
    EXPECT_EQ(Message(failed), Utf8(Texts::UpdateFile + "a.dll" + Texts::InstallDiskFullTail))
        << run.out << run.err;
    EXPECT_EQ(failed.value_or(QJsonObject()).value("step").toString(), "install");
}

// Nothing of an upgrade can be written where the user may not write: the message names the
// folder and the permission, and since sendrift.log cannot be written either, the reason goes
// to standard error.
TEST(FolderLimits, AFolderTheUserMayNotWriteIsNamedAndTheReasonReachesStandardError) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can run the program as another user";
    ScriptedHttpServer server;
    server.Serve("/Update/Version.txt", ScriptedResponse::Ok("2.0"));
    server.Serve("/Update/Version.ini", ScriptedResponse::Ok(Manifest("1=a.dll;0\r\n", "")));
    AppFolder app(server.Url());
    // Readable and searchable by everyone, writable by its owner (root) only.
    QFile::setPermissions(app.Folder(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                            QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                            QFileDevice::ExeGroup);
    const Outcome run = app.Run({"--unattended", "--json"},
                                {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(
        Message(run.LastEvent("failed")),
        Utf8(Texts::FolderNotWritable + FolderText(app.Folder()) + Texts::FolderNotWritableTail))
        << run.out;
    EXPECT_EQ(server.Requests().size(), 1u) << "nothing is fetched that could not be kept";
    EXPECT_EQ(app.Read("sendrift.log"), "<missing>");
    for (const char* said : {"Permission denied", "sendrift.log", "version-check"})
        EXPECT_NE(run.err.find(said), std::string::npos) << said << " in: " << run.err;
}

}  // namespace
