// A manifest that lists the sizes of its files: the list takes them without asking the server,
// and a download must arrive at exactly its listed size.
#include "app/stoppedstates.h"
#include "support/scriptedhttpserver.h"

namespace {

using testsupport::ScriptedResponse;

class ListedSizes : public ::testing::Test, public UpgradeRun {
protected:
    // The run's manifest with a [SIZE] section.
    void PublishWithSizes(const std::string& sizes) {
        Publish("2.0", kManifest + "[SIZE]\r\n" + sizes);
    }

    std::vector<std::string> Heads() const {
        std::vector<std::string> heads;
        for (const std::string& line : RequestLines())
            if (line.rfind("HEAD ", 0) == 0) heads.push_back(line);
        return heads;
    }
};

TEST_F(ListedSizes, EveryListedSizeSparesItsQueryAndTheRestAreAsked) {
    // Sizes as the publisher wrote them, letter case of the names aside; c.sh is not listed.
    PublishWithSizes("A.DLL=5\r\nb.dll=5\r\nBin\\Customs.dll=11\r\n");
    TMainform& form = OpenWizard();
    ClickMain();
    ClickMain();
    EXPECT_EQ(StateNow(), State("index", WizardStep::Download, Texts::NextButton, true,
                                Texts::CancelButton, true));
    EXPECT_EQ(Heads(), (std::vector<std::string>{"HEAD /Update/c.sh HTTP/1.0"}));
    EXPECT_EQ(form.ListedSizes(), (std::vector<int64_t>{5, 5, int64_t(kRunScript.size()), 11}));
    ClickMain();
    ClickMain();
    EXPECT_EQ(Pages(form).ActivePage(), "finish");
    EXPECT_EQ(folder_.Read("Bin/Customs.dll"), "new customs");
}

TEST_F(ListedSizes, AListedSizeThatIsNoByteCountStopsTheListBeforeAnyQuery) {
    for (const char* size : {"5x", "-5", "", "99999999999999999999"}) {
        SCOPED_TRACE(size);
        PublishWithSizes(std::string("a.dll=") + size + "\r\n");
        OpenWizard();
        const size_t before = server_.Requests().size();
        ClickMain();
        ClickMain();
        EXPECT_EQ(StateNow(), ManifestFailed());
        EXPECT_EQ(server_.Requests().size(), before + 2) << "the version and the manifest";
        EXPECT_NE(folder_.Read("sendrift.log").find("no byte count"), std::string::npos);
    }
}

// The server's bytes must be the publisher's: a body longer than the listed size is cut at
// it, and none is kept.
TEST_F(ListedSizes, ABodyLongerThanItsListedSizeIsRefused) {
    PublishWithSizes("a.dll=3\r\n");
    OpenWizard();
    for (int i = 0; i < 3; ++i) ClickMain();
    EXPECT_EQ(StateNow(), DownloadFailed());
    EXPECT_FALSE(Exists("Update/a.dll"));
}

}  // namespace
