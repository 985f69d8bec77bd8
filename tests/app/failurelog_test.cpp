// sendrift.log keeps the reason of each failure that the window shows only in the product's
// fixed words.
#include <QDir>

#include "app/engine/failurelog.h"
#include "app/upgraderun.h"

namespace {

class FailureLog : public ::testing::Test, public UpgradeRun {};

TEST_F(FailureLog, EachFailureLeavesItsReason) {
    const struct {
        const char* name;
        std::function<void(UpgradeRun&)> arrange;
        std::vector<std::string> reasons;  // each must stand in the log's one line
    } cases[] = {
        {"a download answered 404",
         [](UpgradeRun& t) {
             t.server_.Serve("/Update/b.dll",
                             testsupport::ScriptedResponse("HTTP/1.0 404 Not Found", {}, "gone"));
         },
         {" download b.dll: ", "404"}},
        {"a copy that cannot be written",
         [](UpgradeRun& t) { QDir(t.folder_.NativeFolder()).mkpath("a.dll"); },
         {" install a.dll: ", "Is a directory", "a.dll"}},
        {"a run entry that cannot start",
         [](UpgradeRun& t) { t.PublishFile("c.sh", "not a program\n"); },
         {" install c.sh: ", "Exec format error", "Update/c.sh"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        t.Publish("2.0", "[1.0]\r\n1=a.dll;0\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n");
        t.folder_.Write("Default.ini", "");
        c.arrange(t);
        t.OpenWizard();
        for (int i = 0; i < 4 && MainButton(*t.form_).isEnabled(); ++i) t.ClickMain();
        const std::string log = t.folder_.Read("sendrift.log");
        ASSERT_NE(log, "<missing>");
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        for (const std::string& reason : c.reasons)
            EXPECT_NE(log.find(reason), std::string::npos) << reason << " in " << log;
    }
}

TEST_F(FailureLog, ALogPastOneMegabyteKeepsItsLastMegabyteFromALineStart) {
    std::string old;
    for (int i = 0; old.size() < 1100 * 1024; ++i) old += "line " + std::to_string(i) + "\n";
    folder_.Write("sendrift.log", old);
    LogFailure(folder_.Folder(), "download", "a.dll", "the reason");
    const std::string log = folder_.Read("sendrift.log");
    EXPECT_LE(log.size(), 1024u * 1024u);
    EXPECT_EQ(log.rfind("line ", 0), 0u) << "the first line is whole";
    const std::string last = " download a.dll: the reason\n";
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

// A server chooses the names and reasons that reach the log; support reads it in a terminal,
// which must not obey escape sequences hidden in them.
TEST_F(FailureLog, WritesUtf8WithSlashesAndShowsControlCharactersAsEscapes) {
    LogFailure(folder_.Folder(), "download", platform::FromUtf8("Bin\\报表.dll"),
               std::string("bad\x1b[2J\0end\x7f\r\nnext", 18));
    const std::string log = folder_.Read("sendrift.log");
    EXPECT_NE(log.find(" download Bin/报表.dll: bad\\x1B[2J\\x00end\\x7F\\x0D\\x0Anext\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}

// A folder the updater may not write keeps no log: the reason reaches standard error instead.
TEST_F(FailureLog, AReasonThatCannotBeLoggedGoesToStandardError) {
    QDir(folder_.NativeFolder()).mkpath("sendrift.log");
    testing::internal::CaptureStderr();
    LogFailure(folder_.Folder(), "version-check", "Version.ini", "no room");
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("version-check Version.ini: no room"), std::string::npos) << printed;
    EXPECT_NE(printed.find("sendrift.log"), std::string::npos) << printed;
}

}  // namespace
