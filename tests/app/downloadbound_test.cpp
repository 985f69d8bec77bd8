// What bounds a download when the manifest lists no size: the reply's own Content-Length (and
// the free space), never the size that the list's HEAD announced, which only sizes the list
// and the room check.
#include <QDir>
#include <QTimer>

#include "app/stoppedstates.h"
#include "support/scriptedhttpserver.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ScriptedHttpServer;
using testsupport::ScriptedResponse;

constexpr size_t kMiB = 1024 * 1024;

TEST(DownloadBound, IsTheReplysOwnLengthNotTheSizeTheListAnnounced) {
    const std::string rebuilt(3000, 'r');
    const std::string large(17 * kMiB, 'l');
    const struct {
        const char* name;
        ScriptedResponse head;  // the size query's reply
        ScriptedResponse get;
        std::string installed;  // empty: the download fails
    } cases[] = {
        // The HEAD announced the file as it was at the list.
        {"a file rebuilt between the list and the download",
         ScriptedResponse::Ok(std::string(1000, 'o')), ScriptedResponse::Ok(rebuilt), rebuilt},
        // Once, the ceiling without an announced size was 16 MiB.
        {"a file of 17 MiB whose HEAD announced no size",
         ScriptedResponse("HTTP/1.0 200 OK", {}, ""), ScriptedResponse::Ok(large), large},
        // Such a body could be any length: nothing of it is written. The pause holds the first
        // bytes where a copy that took them would show.
        {"a reply that announces no length", ScriptedResponse("HTTP/1.0 200 OK", {}, ""),
         ScriptedResponse("HTTP/1.0 200 OK", {}, std::string(64 * 1024, 'x'))
             .PauseInBody(1000, 500ms),
         ""},
        // An exbibyte: more than the disk holds, refused before a byte is written.
        {"a reply that announces more than the disk holds",
         ScriptedResponse("HTTP/1.0 200 OK", {}, ""),
         ScriptedResponse("HTTP/1.0 200 OK", {"Content-Length: 1152921504606846976"},
                          std::string(64 * 1024, 'x'))
             .PauseInBody(1000, 500ms),
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        ScriptedHttpServer sizes;
        sizes.Serve("/Update/a.dll", c.head);
        t.Publish("2.0", "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n");
        t.server_.Serve("/Update/a.dll", c.get);
        t.folder_.Write("Default.ini", "");
        t.OpenWithSizesFrom(sizes.Url());
        t.ClickMain();
        t.ClickMain();
        ASSERT_EQ(t.form_->ListedSizes().size(), 1u);

        // The most bytes that any file of Update\ held, looked at every millisecond.
        qint64 written = 0;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            for (const QFileInfo& file : QDir(t.folder_.NativeFolder() + "/Update")
                                             .entryInfoList(QDir::Files | QDir::Hidden))
                written = std::max(written, file.size());
        });
        watch.start(1);
        t.ClickMain();
        watch.stop();
        if (c.installed.empty()) {
            EXPECT_EQ(t.StateNow(), DownloadFailed());
            EXPECT_EQ(written, 0) << "bytes of the reply were written";
            continue;
        }
        t.ClickMain();
        EXPECT_EQ(t.StateNow(), State("finish", WizardStep::Close, Texts::FinishButton, true,
                                      Texts::CancelButton, false));
        EXPECT_EQ(t.folder_.Read("a.dll"), c.installed);
    }
}

}  // namespace
