#include "core/journal.h"

#include <gtest/gtest.h>
#include <QDir>

#include "support/appfolder.h"

namespace {

class JournalMoves : public ::testing::Test {
protected:
    TJournal Open(const std::string& contents) {
        folder_.Write("Version.ini", contents);
        return TJournal(folder_.Path("Version.ini"), "1.0");
    }
    static std::vector<AnsiString> Keys(const std::deque<TJournal::Entry>& entries) {
        std::vector<AnsiString> keys;
        for (const auto& entry : entries) keys.push_back(entry.key);
        return keys;
    }
    TempAppFolder folder_;
};

TEST_F(JournalMoves, EntriesArriveParsedAndCheckedOnce) {
    TJournal journal = Open(
        "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n[1.0]\r\n1=Bin\\a.dll;0\r\n"
        "2=r.dll;0;;Plugins\r\n3=setup.exe;1\r\n4=..\\evil.sh;1\r\n5=x.dll;0;;..\r\n"
        "[SHA256]\r\nbin\\A.dll=aa\r\nBin\\a.dll=bb\r\n[DLL]\r\nc.dll=2030-01-01\r\n"
        "[RUN]\r\n7=w.dll;0\r\n");
    const auto& listed = journal.ToDownload();
    ASSERT_EQ(Keys(listed), (std::vector<AnsiString>{"1", "2", "3", "4", "5"}));
    EXPECT_EQ(listed[0].fileName, "Bin\\a.dll");
    EXPECT_TRUE(listed[0].copy && listed[0].safe);
    EXPECT_EQ(listed[1].targetFolder, "Plugins");
    EXPECT_FALSE(listed[2].copy);
    EXPECT_FALSE(listed[3].safe);
    EXPECT_FALSE(listed[4].safe) << "a target folder outside is as unsafe as the name";
    EXPECT_EQ(Keys(journal.Waiting()), (std::vector<AnsiString>{"7"}));
    EXPECT_EQ(journal.Digests("BIN\\A.DLL"), (std::vector<AnsiString>{"aa", "bb"}));
    EXPECT_EQ(journal.ComponentDate("C.dll"), "2030-01-01");
    EXPECT_EQ(journal.NewVersion(), "2.0");
    EXPECT_EQ(journal.NewDataVersion(), "D7");
}

// The journal's moves one after another, as an upgrade makes them, each checked in the file.
TEST_F(JournalMoves, EachMoveIsOneWriteOfTheFile) {
    TJournal journal = Open(
        "[1.0]\r\n1=a.dll;0\r\n2=b.dll;0\r\n3=c.sh;1\r\n[DLL]\r\nd.dll=2030-01-01\r\n"
        "e.dll=2030-01-01\r\n[RUN]\r\n4=w.dll;0\r\n");
    // 4 waits in [RUN]: the appended component takes 5, never a waiting key.
    EXPECT_EQ(journal.AppendComponent("d.dll").key, "5");
    journal.DropComponent("e.dll");
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[1.0]\r\n1=a.dll;0\r\n2=b.dll;0\r\n3=c.sh;1\r\n5=d.dll;0\r\n[DLL]\r\n[RUN]\r\n"
              "4=w.dll;0\r\n");
    for (const TJournal::Entry& entry : std::deque<TJournal::Entry>(journal.ToDownload()))
        journal.MarkDownloaded({entry});
    journal.CloseSection();
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[DLL]\r\n[RUN]\r\n4=w.dll;0\r\n1=a.dll;0\r\n2=b.dll;0\r\n3=c.sh;1\r\n5=d.dll;0\r\n");
    EXPECT_TRUE(journal.ToDownload().empty());

    // b turns out damaged: it and everything after it go back, in their order.
    journal.ReturnToDownload(journal.Waiting()[2]);
    EXPECT_EQ(Keys(journal.Waiting()), (std::vector<AnsiString>{"4", "1"}));
    EXPECT_EQ(Keys(journal.ToDownload()), (std::vector<AnsiString>{"2", "3", "5"}));
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[DLL]\r\n[RUN]\r\n4=w.dll;0\r\n1=a.dll;0\r\n[1.0]\r\n2=b.dll;0\r\n3=c.sh;1\r\n"
              "5=d.dll;0\r\n");

    journal.MarkInstalled({journal.Waiting()[0], journal.Waiting()[1]});
    EXPECT_TRUE(journal.Waiting().empty());
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[DLL]\r\n[RUN]\r\n[1.0]\r\n2=b.dll;0\r\n3=c.sh;1\r\n5=d.dll;0\r\n");
}

// A name listed twice is one file: a download and an install of it must not meet themselves
// (two copies of one target in a batch, two transfers into one partial file).
TEST_F(JournalMoves, ANameListedTwiceIsOneFileAndItsLastEntryWins) {
    TJournal journal = Open(
        "[1.0]\r\n1=a.dll;0;;Sub\r\n2=b.dll;0\r\n3=A.DLL;0\r\n[DLL]\r\nBIN\\C.dll=2030-01-01\r\n"
        "[RUN]\r\n7=w.dll;0\r\n8=W.dll;1\r\n");
    EXPECT_EQ(Keys(journal.ToDownload()), (std::vector<AnsiString>{"2", "3"}));
    EXPECT_EQ(Keys(journal.Waiting()), (std::vector<AnsiString>{"8"}));

    // The component is asked for as the publisher spells it; once appended, its date is gone
    // for every later read, so a second list of it finds nothing newer.
    EXPECT_EQ(journal.ComponentDate("bin\\c.DLL"), "2030-01-01");
    EXPECT_EQ(journal.AppendComponent("bin\\c.DLL").fileName, "BIN\\C.dll");
    EXPECT_EQ(journal.ComponentDate("bin\\c.DLL"), "");

    journal.MarkDownloaded({journal.ToDownload()[0], journal.ToDownload()[1]});
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[1.0]\r\n4=BIN\\C.dll;0\r\n[DLL]\r\n[RUN]\r\n7=w.dll;0\r\n8=W.dll;1\r\n"
              "2=b.dll;0\r\n3=A.DLL;0\r\n");
    EXPECT_EQ(Keys(journal.Waiting()), (std::vector<AnsiString>{"8", "2", "3"}));

    journal.MarkInstalled({journal.Waiting()[0]});
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[1.0]\r\n4=BIN\\C.dll;0\r\n[DLL]\r\n[RUN]\r\n2=b.dll;0\r\n3=A.DLL;0\r\n");
}

// A move that cannot be written raises and changes neither the file nor what the journal
// hands out.
TEST_F(JournalMoves, AMoveThatCannotBeWrittenChangesNothing) {
    TJournal journal = Open("[1.0]\r\n1=a.dll;0\r\n");
    // A folder where the copy beside the journal would be written makes every write fail.
    QDir(folder_.NativeFolder()).mkpath("Version.ini.sendrift-new");
    EXPECT_THROW(journal.MarkDownloaded({journal.ToDownload()[0]}), Exception);
    EXPECT_EQ(folder_.Read("Version.ini"), "[1.0]\r\n1=a.dll;0\r\n");
    EXPECT_EQ(journal.ToDownload().size(), 1u);
    EXPECT_TRUE(journal.Waiting().empty());
}

}  // namespace
