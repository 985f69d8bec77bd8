#include "core/inifile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <functional>

#include "support/appfolder.h"

namespace {

using Names = std::vector<AnsiString>;

// Root reads every file whatever its mode, so while this lives a test run as root acts as the
// user "nobody", for whom a file of mode 000 is really unreadable.
class WithoutRootsReach {
public:
    WithoutRootsReach() : wasRoot_(::geteuid() == 0) {
        if (wasRoot_) {
            EXPECT_EQ(::seteuid(65534), 0);
        }
    }
    ~WithoutRootsReach() {
        if (wasRoot_) {
            EXPECT_EQ(::seteuid(0), 0);
        }
    }
    WithoutRootsReach(const WithoutRootsReach&) = delete;
    WithoutRootsReach& operator=(const WithoutRootsReach&) = delete;

private:
    bool wasRoot_;
};

class IniStore : public ::testing::Test {
protected:
    TIniFile Store(const char* name = "setup.ini") const { return TIniFile(folder_.Path(name)); }
    TempAppFolder folder_;
};

TEST_F(IniStore, MissingFileSectionOrKeyGivesTheDefault) {
    TIniFile store = Store();
    EXPECT_EQ(store.ReadEntry("VERSION", "VERSION", "1.0"), "1.0");
    folder_.Write("setup.ini", "[VERSION]\r\nOTHER=2\r\n");
    EXPECT_EQ(store.ReadEntry("VERSION", "VERSION", "1.0"), "1.0");
    EXPECT_EQ(store.ReadEntry("CONNECT", "URL"), "");
    Names names{"stale"};
    store.KeyNames("CONNECT", names);
    EXPECT_TRUE(names.empty());
}

TEST_F(IniStore, NamesMatchIgnoringCaseAndBlanks) {
    folder_.Write("Version.ini", "[DLL]\r\n  Main.dll = a.dll;0 \r\n");
    TIniFile store = Store("Version.ini");
    EXPECT_EQ(store.ReadEntry("Dll", "MAIN.DLL"), "a.dll;0");
    EXPECT_EQ(store.ReadEntry(" dll ", "main.dll"), "a.dll;0");
}

// A GBK trail byte may look like an ASCII letter: 0x81 0x41 and 0x81 0x61 are different
// characters and must not be taken for the same name.
TEST_F(IniStore, GbkNamesAreComparedByCharacterNotByFoldedBytes) {
    folder_.Write("setup.ini", "[\x81\x41]\nk=first\n[\x81\x61]\nk=second\n");
    EXPECT_EQ(Store().ReadEntry("\x81\x61", "k"), "second");
    const AnsiString upgrade = platform::FromUtf8("升级");
    Store().WriteEntry(upgrade, upgrade, upgrade + ";0");
    EXPECT_EQ(Store().ReadEntry(upgrade, upgrade), upgrade + ";0");
}

TEST_F(IniStore, QuotesAndCommentsAreUnderstood) {
    folder_.Write("setup.ini",
                  "; comment=1\n[A]\n;x=2\nq=\"quoted value\"\ns='single'\nmixed=\"x'\nsemi=;0\n");
    TIniFile store = Store();
    EXPECT_EQ(store.ReadEntry("A", "q"), "quoted value");
    EXPECT_EQ(store.ReadEntry("A", "s"), "single");
    EXPECT_EQ(store.ReadEntry("A", "mixed"), "\"x'");
    EXPECT_EQ(store.ReadEntry("A", "semi"), ";0");
    EXPECT_EQ(store.ReadEntry("A", ";x", "none"), "none");
    Names keys;
    store.KeyNames("A", keys);
    EXPECT_EQ(keys, (Names{"q", "s", "mixed", "semi"}));
}

TEST_F(IniStore, DuplicatesReadTheFirstAndListEveryOne) {
    folder_.Write("setup.ini", "[M]\nk=1\nk=2\n[m]\nk=3\nj=4\n");
    TIniFile store = Store();
    EXPECT_EQ(store.ReadEntry("M", "k"), "1");
    EXPECT_EQ(store.ReadEntry("M", "j"), "") << "reads look only in the first section";
    Names names;
    store.SectionNames(names);
    EXPECT_EQ(names, (Names{"M", "m"}));
    store.KeyNames("M", names);
    EXPECT_EQ(names, (Names{"k", "k"}));
}

TEST_F(IniStore, ReadEntriesGivesEveryValueOfAKeyInTheFirstSection) {
    folder_.Write("setup.ini", "[M]\nk=1\nj=x\n K = \"2\" \nK=\n[m]\nk=3\n");
    TIniFile store = Store();
    const struct {
        const char *section, *key;
        Names values;
    } cases[] = {
        {"M", "k", {"1", "2", ""}}, {"m", "J", {"x"}}, {"M", "none", {}}, {"none", "k", {}}};
    for (const auto& c : cases) {
        Names values{"stale"};
        store.ReadEntries(c.section, c.key, values);
        EXPECT_EQ(values, c.values) << c.section << " " << c.key;
    }
    Names values{"stale"};
    Store("missing.ini").ReadEntries("M", "k", values);
    EXPECT_TRUE(values.empty());
}

TEST_F(IniStore, LongValuesAreCutAt2047Bytes) {
    folder_.Write("setup.ini", "[A]\nv=" + std::string(5000, 'x') + "\n");
    EXPECT_EQ(Store().ReadEntry("A", "v"), std::string(2047, 'x'));
}

// A list cut short once lost every journal entry past about 3,000: the upgrade then reported
// success with thousands of files never installed.
TEST_F(IniStore, NameListsHoldEveryName) {
    std::string contents;
    for (int i = 0; i < 5000; ++i) contents += "[section" + std::to_string(10000 + i) + "]\n";
    contents += "[keys]\n";
    for (int i = 0; i < 5000; ++i)
        contents += std::to_string(i + 1) + "=f" + std::to_string(i) + ";0\n";
    folder_.Write("setup.ini", contents);
    Names names;
    Store().SectionNames(names);
    ASSERT_EQ(names.size(), 5001u);
    EXPECT_EQ(names[4999], "section14999");
    Store().KeyNames("keys", names);
    ASSERT_EQ(names.size(), 5000u);
    EXPECT_EQ(names.back(), "5000");
}

TEST_F(IniStore, WriteKeepsEverythingElseByteForByte) {
    const std::string original =
        "\xEF\xBB\xBF; top comment\r\n\r\n[VERSION]\r\nVERSION = 1.0\r\n  keep=\" x \"\r\n"
        "\r\n[Other]\r\nodd line without equals\r\nk=\x81\x41\r\n";
    folder_.Write("setup.ini", original);
    Store().WriteEntry("version", "version", "2.0");
    EXPECT_EQ(folder_.Read("setup.ini"),
              "\xEF\xBB\xBF; top comment\r\n\r\n[VERSION]\r\nVERSION =2.0\r\n  keep=\" x \"\r\n"
              "\r\n[Other]\r\nodd line without equals\r\nk=\x81\x41\r\n");
    EXPECT_EQ(Store().ReadEntry("VERSION", "VERSION"), "2.0") << "read past the byte order mark";
}

TEST_F(IniStore, NewKeysGoToTheEndOfTheirSectionAndNewSectionsToTheEnd) {
    folder_.Write("setup.ini", "[A]\nx=1\n\n[B]\ny=2");
    TIniFile store = Store();
    store.WriteEntry("A", "z", "3");
    store.WriteEntry("B", "w", "4");
    store.WriteEntry("C", "v", "5");
    EXPECT_EQ(folder_.Read("setup.ini"), "[A]\nx=1\nz=3\n\n[B]\ny=2\nw=4\n[C]\nv=5\n");
}

TEST_F(IniStore, WriteCreatesTheFileWithWindowsLineEnds) {
    Store().WriteEntry("VERSION", "VERSION", "1.1");
    EXPECT_EQ(folder_.Read("setup.ini"), "[VERSION]\r\nVERSION=1.1\r\n");
}

TEST_F(IniStore, FailedWriteRaisesAndLeavesTheFile) {
    TIniFile inMissingFolder(folder_.Path("none\\setup.ini"));
    try {
        inMissingFolder.WriteEntry("A", "k", "v");
        FAIL() << "no error raised";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(),
                  platform::FromUtf8("无法写入 ") + folder_.Path("none\\setup.ini"));
    }
    EXPECT_NO_THROW(inMissingFolder.RemoveSection("A")) << "a missing file has nothing to remove";
}

// A setup.ini that is there but cannot be read (another user's, mode 000) must not be taken
// for an empty one and rewritten: that would lose every section but the one being written.
TEST_F(IniStore, AFileThatCannotBeReadIsNeverRewritten) {
    const std::string original =
        "[CONNECT]\r\nURL=http://127.0.0.1/\r\n[VERSION]\r\nVERSION=1.0\r\n";
    const AnsiString cannotWrite = platform::FromUtf8("无法写入 ") + folder_.Path("setup.ini");
    const struct {
        const char* operation;
        std::function<void(TIniFile&)> change;
        AnsiString raised;
    } cases[] = {
        {"WriteEntry", [](TIniFile& store) { store.WriteEntry("VERSION", "VERSION", "2.0"); },
         cannotWrite},
        {"RemoveSection", [](TIniFile& store) { store.RemoveSection("VERSION"); }, cannotWrite},
        {"RemoveKey", [](TIniFile& store) { store.RemoveKey("VERSION", "VERSION"); }, "nothing"},
    };
    // The folder is open to everyone, so that only the read can fail, not the write.
    const std::string nativeFile = platform::NativePath(folder_.Path("setup.ini"));
    ASSERT_EQ(::chmod(folder_.NativeFolder().toLocal8Bit().constData(), 0777), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        platform::DeleteFile(folder_.Path("setup.ini"));
        folder_.Write("setup.ini", original);
        ASSERT_EQ(::chmod(nativeFile.c_str(), 0), 0);
        AnsiString read;
        AnsiString raised = "nothing";
        {
            WithoutRootsReach unprivileged;
            TIniFile store = Store();
            read = store.ReadEntry("VERSION", "VERSION", "default");
            try {
                c.change(store);
            } catch (const Exception& error) {
                raised = error.Message();
            }
        }
        ASSERT_EQ(::chmod(nativeFile.c_str(), 0644), 0);
        EXPECT_EQ(read, "default") << "reads take an unreadable file as missing";
        EXPECT_EQ(raised, c.raised);
        EXPECT_EQ(folder_.Read("setup.ini"), original);
    }
}

TEST_F(IniStore, RemoveKeyAndSection) {
    folder_.Write("Version.ini", "[DLL]\r\na=1\r\nb=2\r\n; note\r\n[RUN]\r\nc=3\r\n");
    TIniFile store = Store("Version.ini");
    store.RemoveKey("Dll", "A");
    store.RemoveKey("Dll", "missing");
    store.RemoveKey("none", "a");
    EXPECT_EQ(folder_.Read("Version.ini"), "[DLL]\r\nb=2\r\n; note\r\n[RUN]\r\nc=3\r\n");
    store.RemoveSection("dll");
    EXPECT_EQ(folder_.Read("Version.ini"), "[RUN]\r\nc=3\r\n");
    TIniFile(folder_.Path("missing.ini")).RemoveKey("a", "b");
    EXPECT_FALSE(platform::FileExists(folder_.Path("missing.ini")));
}

// The journal's moves: a crash must leave the entry in one section or the other, never both.
TEST_F(IniStore, MoveEntryWritesAndRemovesInOneReplacement) {
    folder_.Write("Version.ini",
                  "[1.0]\r\n1=a.dll;0\r\n2=b.dll;0\r\n[DLL]\r\nc.dll=2030-01-01\r\n");
    TIniFile store = Store("Version.ini");
    store.MoveEntry("1.0", "1", "RUN", "1", "a.dll;0");
    store.MoveEntry("dll", "c.dll", "1.0", "3", "c.dll;0");
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[1.0]\r\n2=b.dll;0\r\n3=c.dll;0\r\n[DLL]\r\n[RUN]\r\n1=a.dll;0\r\n");
    store.MoveEntry("1.0", "missing", "RUN", "2", "b.dll;0");
    EXPECT_EQ(store.ReadEntry("RUN", "2"), "b.dll;0") << "a missing source only writes";
    const std::string before = folder_.Read("Version.ini");
    QDir(folder_.NativeFolder()).mkdir("Version.ini.sendrift-new");
    EXPECT_THROW(store.MoveEntry("1.0", "2", "RUN", "2", "x"), Exception);
    EXPECT_EQ(folder_.Read("Version.ini"), before);
}

TEST_F(IniStore, SeesChangesMadeThroughAnotherStoreOrOnDisk) {
    TIniFile first = Store();
    TIniFile second = Store();
    first.WriteEntry("RUN", "a.exe", "a.exe;1");
    EXPECT_EQ(second.ReadEntry("RUN", "a.exe"), "a.exe;1");
    folder_.Write("setup.ini", "[RUN]\na.exe=replaced\n");
    EXPECT_EQ(first.ReadEntry("RUN", "a.exe"), "replaced");
}

// A text this short lives inside the string object itself rather than on the heap, so the
// store's parsed lines must keep pointing at its own copy after the text has been moved.
TEST_F(IniStore, FilesShorterThanSixteenBytesReadAndWriteLikeLongerOnes) {
    const struct {
        const char* file;
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {
        {"[a]\nk=v", "a", "k", "v"},
        {"[S]\r\nkey=123\r\n", "S", "key", "123"},
        {"[x]\nk=\"q\"", "x", "k", "q"},
    };
    for (const auto& c : cases) {
        folder_.Write("setup.ini", c.file);
        TIniFile store = Store();
        EXPECT_EQ(store.ReadEntry(c.section, c.key, "missing"), c.value) << c.file;
        Names names;
        store.SectionNames(names);
        EXPECT_EQ(names, Names{c.section}) << c.file;
        store.KeyNames(c.section, names);
        EXPECT_EQ(names, Names{c.key}) << c.file;
        store.WriteEntry(c.section, "n", "1");
        EXPECT_EQ(store.ReadEntry(c.section, c.key, "missing"), c.value) << c.file;
        EXPECT_EQ(store.ReadEntry(c.section, "n", "missing"), "1") << c.file;
    }
}

TEST_F(IniStore, GarbageReadsWithoutHarmAndIsNeverRewrittenByReads) {
    std::string garbage(1 << 20, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = char((i * 7919) % 251);
    garbage += "\n[A]\nk=v";
    folder_.Write("Default.ini", garbage);
    TIniFile store = Store("Default.ini");
    Names names;
    store.SectionNames(names);
    EXPECT_EQ(store.ReadEntry("A", "k"), "v");
    store.KeyNames("A", names);
    EXPECT_EQ(folder_.Read("Default.ini"), garbage);

    const std::string longLine(1 << 20, 'x');
    folder_.Write("Custom.ini", longLine);
    TIniFile(folder_.Path("Custom.ini")).SectionNames(names);
    EXPECT_TRUE(names.empty());
}

// A snapshot answers every read as the store itself would have, duplicates, letter case,
// blanks, quotes and double-byte names included.
TEST_F(IniStore, ASnapshotReadsWhatTheStoreReads) {
    const std::string gbk = "\xB1\xA8\xB1\xED";
    folder_.Write(
        "setup.ini",
        "[A]\r\nk=1\r\n K =2\r\nq=\"x\"\r\n; k=comment\r\n[b]\r\nk=3\r\n[a]\r\nk=4\r\nn=5\r\n[" +
            gbk + "]\r\n" + gbk + "=6\r\n");
    const TIniFile store = Store();
    const TIniSnapshot snapshot(store.FileName());
    const std::vector<std::pair<AnsiString, AnsiString>> reads = {
        {"A", "k"},       {"a", "K"},       {"A", "q"}, {"B", "k"},    {"a", "n"},
        {"A", "missing"}, {"missing", "k"}, {gbk, gbk}, {" A ", " k "}};
    for (const auto& [section, key] : reads) {
        SCOPED_TRACE(section + "/" + key);
        EXPECT_EQ(snapshot.ReadEntry(section, key, "default"),
                  store.ReadEntry(section, key, "default"));
        Names values;
        store.ReadEntries(section, key, values);
        EXPECT_EQ(snapshot.ReadEntries(section, key), values);
    }
    Names sections;
    store.SectionNames(sections);
    EXPECT_EQ(snapshot.SectionNames(), sections);
    ASSERT_EQ(snapshot.Entries("a").size(), 3u) << "the first [A] only";
    EXPECT_EQ(snapshot.Entries("a")[1].key, "K");
    EXPECT_TRUE(TIniSnapshot(folder_.Path("missing.ini")).Entries("A").empty());
}

TEST_F(IniStore, RemoveKeysTakesTheFirstLineOfEachInOneWrite) {
    folder_.Write("setup.ini", "[RUN]\r\n1=a\r\n2=b\r\n3=c\r\n2=again\r\n[Other]\r\n1=x\r\n");
    Store().RemoveKeys("run", {"1", "2", "9"});
    EXPECT_EQ(folder_.Read("setup.ini"), "[RUN]\r\n3=c\r\n2=again\r\n[Other]\r\n1=x\r\n");
}

}  // namespace
