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
         {" install c.sh: ", "Exec format error", "Update\\c.sh"}},
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
    for (int i = 0; old.size() < 1100 * 1024; ++i) old += "line " + std::to_string(i) + "\r\n";
    folder_.Write("sendrift.log", old);
    LogFailure(folder_.Folder(), "download", "a.dll", "the reason\r\non two lines");
    const std::string log = folder_.Read("sendrift.log");
    EXPECT_LE(log.size(), 1024u * 1024u);
    EXPECT_EQ(log.rfind("line ", 0), 0u) << "the first line is whole";
    EXPECT_NE(log.find(" download a.dll: the reason  on two lines\r\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
}

}  // namespace
