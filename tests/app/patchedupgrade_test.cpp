// An update that offers a patch against the installed copy: the wizard fetches the patch,
// rebuilds the file and checks it; whatever goes wrong with the patch, the file comes whole and
// the upgrade ends as it would have without patches.
#include <QDirIterator>
#include <QTemporaryDir>

#include "app/stoppedstates.h"
#include "core/delta.h"
#include "core/updateserver.h"

namespace {

using testsupport::ScriptedResponse;

std::string Bytes(char fill, size_t size, const std::string& middle) {
    std::string bytes(size, fill);
    bytes.replace(size / 2, middle.size(), middle);
    return bytes;
}

const std::string kOld = Bytes('o', 200000, "the installed build");
const std::string kNew = Bytes('o', 200000, "the new build, changed a little");

// The patch that makes `newBytes` from kOld.
std::string MakePatch(const std::string& newBytes) {
    QTemporaryDir dir;
    const AnsiString base = platform::FromUnicode(dir.filePath("base"));
    const AnsiString file = platform::FromUnicode(dir.filePath("new"));
    const AnsiString patch = platform::FromUnicode(dir.filePath("patch"));
    platform::ReplaceFileContents(base, kOld);
    platform::ReplaceFileContents(file, newBytes);
    delta::MakePatch(base, file, patch, int64_t(newBytes.size()));
    return *platform::ReadWholeFile(patch);
}

class PatchedUpgrade : public ::testing::Test {
protected:
    // An installation of a.dll (kOld) and a server that offers `patch` for it and a.dll whole.
    static void Arrange(UpgradeRun& t, const std::string& patch) {
        const std::string base = verification::Digest(kOld);
        const AnsiString patchName = delta::PatchName("a.dll", base);
        t.Publish("2.0",
                  "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n[DELTA]\r\na.dll=" + base +
                      ";" + patchName + "\r\n[SIZE]\r\na.dll=" + std::to_string(kNew.size()) +
                      "\r\n" + patchName + "=" + std::to_string(patch.size()) +
                      "\r\n[SHA256]\r\na.dll=" + verification::Digest(kNew) + "\r\n" + patchName +
                      "=" + verification::Digest(patch) + "\r\n");
        t.PublishFile(UrlPathOf(patchName), patch);
        t.PublishFile("a.dll", kNew);
        t.folder_.Write("Default.ini", "");
        t.folder_.Write("a.dll", kOld);
    }
    static bool Fetched(const UpgradeRun& t, const std::string& path) {
        const std::vector<std::string> lines = t.RequestLines();
        return std::find(lines.begin(), lines.end(), "GET /Update/" + path + " HTTP/1.0") !=
               lines.end();
    }
};

TEST_F(PatchedUpgrade, TheFileIsRebuiltFromItsPatchOrElseComesWhole) {
    const std::string patch = MakePatch(kNew);
    const struct {
        const char* name;
        std::function<void(UpgradeRun&)> arrange;
        bool rebuilt;        // the patch made the file: a.dll itself was never fetched
        const char* logged;  // the reason the patch was given up, in sendrift.log
    } cases[] = {
        {"the patch fits the installed copy", [&](UpgradeRun& t) { Arrange(t, patch); }, true, ""},
        {"the installed copy was edited: no patch is taken for it",
         [&](UpgradeRun& t) {
             Arrange(t, patch);
             t.folder_.Write("a.dll", kOld + "edited");
         },
         false, ""},
        {"the patch is cut off in transfer",
         [&](UpgradeRun& t) {
             Arrange(t, patch);
             t.server_.Serve(
                 "/Update/" + UrlPathOf(delta::PatchName("a.dll", verification::Digest(kOld))),
                 ScriptedResponse::Ok(patch).DropAfterBody(patch.size() / 2));
         },
         false, ".zst"},
        {"the patch is not the one the manifest lists",
         [&](UpgradeRun& t) {
             Arrange(t, patch);
             t.PublishFile(UrlPathOf(delta::PatchName("a.dll", verification::Digest(kOld))),
                           std::string(patch.size(), 'x'));
         },
         false, "SHA-256"},
        {"a damaged patch, listed as it is",
         [&](UpgradeRun& t) {
             std::string damaged = patch;
             damaged[damaged.size() / 2] ^= 0x5A;
             Arrange(t, damaged);
         },
         false, "fetched whole"},
        {"a patch that rebuilds other bytes",
         [&](UpgradeRun& t) {
             Arrange(t, MakePatch(Bytes('o', 200000, "a build that was never released")));
         },
         false, "fetched whole"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        c.arrange(t);
        t.OpenWizard();
        for (int i = 0;
             i < 4 && MainButton(*t.form_).isEnabled() && Pages(*t.form_).ActivePage() != "finish";
             ++i)
            t.ClickMain();
        EXPECT_EQ(Pages(*t.form_).ActivePage(), "finish");
        EXPECT_EQ(t.folder_.Read("a.dll"), kNew) << "installed byte for byte";
        EXPECT_EQ(Fetched(t, "a.dll"), !c.rebuilt);
        // Nothing stays in Update, the patch's folder included: a patch cut off in transfer
        // leaves its part there, which the whole file's download never comes back to.
        QDirIterator left(t.folder_.NativeFolder() + "/Update", QDir::Files | QDir::Hidden,
                          QDirIterator::Subdirectories);
        EXPECT_FALSE(left.hasNext()) << left.next().toStdString();
        const std::string log = t.folder_.Read("sendrift.log");
        if (*c.logged)
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        else
            EXPECT_EQ(log, "<missing>");
    }
}

// The list shows and sizes what is fetched: the patch.
TEST_F(PatchedUpgrade, TheListSizesThePatchInsteadOfTheFile) {
    const std::string patch = MakePatch(kNew);
    UpgradeRun t;
    Arrange(t, patch);
    t.OpenWizard();
    t.ClickMain();
    t.ClickMain();
    EXPECT_EQ(t.form_->ListedSizes(), (std::vector<int64_t>{int64_t(patch.size())}));
    EXPECT_LT(patch.size(), kNew.size() / 10);
}

}  // namespace
