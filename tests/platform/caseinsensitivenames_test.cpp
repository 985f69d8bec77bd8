// CaseInsensitiveNames on real folders: names from a system that ignores letter case, resolved
// to the files installed under another spelling.
#include "platform/caseinsensitivenames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

#include "platform/codepage.h"
#include "unprivileged.h"

namespace {

using Kind = platform::CaseInsensitiveNames::Kind;

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Existing:
            return "Existing";
        case Kind::New:
            return "New";
        case Kind::Ambiguous:
            return "Ambiguous";
        case Kind::Unlisted:
            return "Unlisted";
    }
    return "?";
}

class CaseInsensitiveNamesTest : public ::testing::Test {
protected:
    // The folder as the wizard names it: code page, backslashes, no separator at its end.
    AnsiString Folder() const {
        return platform::FromUnicode(QString(dir_.path()).replace('/', '\\'));
    }
    // Makes the files and folders `names` ("/" between levels; a name ending in "/" is a
    // folder) below the temporary folder.
    void Make(std::initializer_list<const char*> names) const {
        for (const char* name : names) {
            const QString path = dir_.filePath(QString::fromUtf8(name));
            if (path.endsWith('/')) {
                ASSERT_TRUE(QDir().mkpath(path)) << name;
                continue;
            }
            ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path())) << name;
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << name;
        }
    }
    // "Kind name" of a resolution, for comparisons that show both at once.
    static std::string Show(const platform::CaseInsensitiveNames::Resolution& resolution) {
        return std::string(KindName(resolution.kind)) + " " +
               platform::ToUnicode(resolution.name).toStdString();
    }
    std::string Resolve(platform::CaseInsensitiveNames& names, const char* utf8Name) const {
        return Show(names.Resolve(platform::FromUtf8(utf8Name)));
    }
    struct Expected {
        const char* given;
        const char* resolved;  // as Show writes it
    };
    void ExpectEach(platform::CaseInsensitiveNames& names,
                    std::initializer_list<Expected> cases) const {
        for (const Expected& c : cases) EXPECT_EQ(Resolve(names, c.given), c.resolved) << c.given;
    }

    QTemporaryDir dir_;
};

TEST_F(CaseInsensitiveNamesTest, EachComponentTakesTheInstalledSpellingUntilOneIsNew) {
    Make({"Bin/Customs.dll", "Bin/Plugins/", "Update/", "Readme.txt"});
    ASSERT_EQ(::symlink("Bin", dir_.filePath("Lib").toUtf8().constData()), 0);
    platform::CaseInsensitiveNames names(Folder());
    ExpectEach(
        names,
        {
            {"Bin\\Customs.dll", "Existing Bin\\Customs.dll"},
            {"BIN\\customs.DLL", "Existing Bin\\Customs.dll"},
            {"bin/CUSTOMS.dll", "Existing Bin\\Customs.dll"},
            {"UPDATE\\", "Existing Update\\"},
            {"", "Existing "},
            // A link is a name like any other: whether it may be used is for the caller to judge.
            {"LIB\\customs.dll", "Existing Lib\\Customs.dll"},
            // From the first new component on, every later one keeps its spelling, even one that
            // exists elsewhere.
            {"bin\\New\\customs.DLL", "New Bin\\New\\customs.DLL"},
            {"bin\\plugins\\Report.DLL", "New Bin\\Plugins\\Report.DLL"},
            {"NEW\\readme.TXT", "New NEW\\readme.TXT"},
            {"bin\\customs.dll\\x", "New Bin\\Customs.dll\\x"},
            {"BIN\\..\\readme.txt", "New Bin\\..\\readme.txt"},
            {".\\readme.txt", "New .\\readme.txt"},
            // Doubled separators stay in the same folder, as on the file system.
            {"bin\\\\customs.dll", "Existing Bin\\\\Customs.dll"},
        });
}

// The product's names are GBK text: its cased letters match their other case, and nothing but
// case is folded.
TEST_F(CaseInsensitiveNamesTest, CodePageLettersMatchTheirOtherCase) {
    Make({"ＢＩＮ/Ｃｕｓｔｏｍｓ.dll", "ΑΒΓ.txt", "ОТЧЁТ.dll", "报表.dll", "昞.DLL"});
    platform::CaseInsensitiveNames names(Folder() + "\\");
    ExpectEach(names, {
                          {"ｂｉｎ\\ｃｕｓｔｏｍｓ.DLL", "Existing ＢＩＮ\\Ｃｕｓｔｏｍｓ.dll"},
                          {"αβγ.TXT", "Existing ΑΒΓ.txt"},
                          {"отчёт.DLL", "Existing ОТЧЁТ.dll"},
                          {"报表.DLL", "Existing 报表.dll"},
                          // 0x95 0x5C: the second byte is a backslash's, and no separator.
                          {"昞.dll", "Existing 昞.DLL"},
                          // Width and script are no case.
                          {"BIN\\Customs.dll", "New BIN\\Customs.dll"},
                          {"報表.dll", "New 報表.dll"},
                      });
}

// An old updater that ignored case left folders like these behind; picking either would
// install into one while the product loads from the other.
TEST_F(CaseInsensitiveNamesTest, EntriesThatDifferOnlyInCaseAreRefusedNamingThemAndTheirFolder) {
    Make({"Bin/a.dll", "BIN/Customs.dll", "Data/File.txt", "Data/FILE.TXT", "Data/file.txt",
          "ａ.txt", "Ａ.txt", "Readme.txt"});
    platform::CaseInsensitiveNames names(Folder());
    const AnsiString folder = Folder() + "\\";
    const struct {
        const char* given;
        AnsiString reason;
    } cases[] = {
        {"bin\\customs.dll", "\"BIN\" and \"Bin\" in " + folder + " differ only in letter case"},
        {"Bin\\a.dll", "\"BIN\" and \"Bin\" in " + folder + " differ only in letter case"},
        {"data\\file.txt", "\"FILE.TXT\", \"File.txt\" and \"file.txt\" in " + folder +
                               "Data differ only in letter case"},
        {"Ａ.TXT", platform::FromUtf8("\"Ａ.txt\" and \"ａ.txt\" in ") + folder +
                       " differ only in letter case"},
    };
    for (const auto& c : cases) {
        const auto resolution = names.Resolve(platform::FromUtf8(c.given));
        EXPECT_EQ(resolution.kind, Kind::Ambiguous) << c.given;
        EXPECT_EQ(resolution.name, platform::FromUtf8(c.given));
        EXPECT_EQ(resolution.reason, c.reason) << c.given;
    }
    EXPECT_EQ(Resolve(names, "README.TXT"), "Existing Readme.txt") << "a clash elsewhere";
}

TEST_F(CaseInsensitiveNamesTest, WhatTheCallerCreatedIsFoundUnderAnotherSpelling) {
    Make({"Bin/"});
    platform::CaseInsensitiveNames names(Folder());
    // The folders on the way are read now, while nothing of the new names is there.
    ASSERT_EQ(Resolve(names, "BIN\\Plugins\\Report.dll"), "New Bin\\Plugins\\Report.dll");
    ASSERT_EQ(Resolve(names, "New\\a.dll"), "New New\\a.dll");

    Make({"Bin/Plugins/Report.dll", "New/a.dll"});
    for (int reported = 0; reported < 2; ++reported) {  // told twice: still one entry
        names.Created(platform::FromUtf8("Bin\\Plugins\\Report.dll"));
        names.Created(platform::FromUtf8("New\\a.dll"));
    }
    EXPECT_EQ(Resolve(names, "bin\\PLUGINS\\report.DLL"), "Existing Bin\\Plugins\\Report.dll");
    EXPECT_EQ(Resolve(names, "NEW\\A.DLL"), "Existing New\\a.dll");
    // A folder that no name had passed through yet is read when one does.
    Make({"Fresh/b.dll"});
    names.Created(platform::FromUtf8("Fresh\\b.dll"));
    EXPECT_EQ(Resolve(names, "fresh\\B.dll"), "Existing Fresh\\b.dll");
}

// A folder that cannot be listed may hold the file under another spelling: taking the given
// one would make a second file beside it.
TEST_F(CaseInsensitiveNamesTest, AFolderThatCannotBeListedIsReportedNotTakenForEmpty) {
    Make({"Secret/Customs.dll"});
    ASSERT_EQ(::chmod(QFile::encodeName(dir_.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(dir_.filePath("Secret")).constData(), 0311), 0);
    const AnsiString folder = Folder();
    std::string whyNot;
    const std::optional<bool> refused = testing_support::RunUnprivileged(
        QFile::encodeName(dir_.path()).toStdString(),
        [&] {
            platform::CaseInsensitiveNames names(folder);
            const auto resolution = names.Resolve("secret\\customs.dll");
            return resolution.kind == Kind::Unlisted && resolution.name == "secret\\customs.dll" &&
                   resolution.reason ==
                       "cannot list the folder: Permission denied: " + folder + "\\Secret";
        },
        &whyNot);
    if (!refused) GTEST_SKIP() << whyNot;
    EXPECT_TRUE(*refused);
}

// The install resolves every name of a manifest of 20,000 entries: each folder is read once,
// and each name costs a hash lookup, not a scan of its folder.
TEST_F(CaseInsensitiveNamesTest, TwentyThousandNamesResolveInAFolderOfTwentyThousandFiles) {
    constexpr int kFiles = 20000;
    ASSERT_TRUE(QDir(dir_.path()).mkdir("Data"));
    char name[64];
    for (int i = 0; i < kFiles; ++i) {
        std::snprintf(name, sizeof name, "%s/Data/File%05d.Dat", qPrintable(dir_.path()), i);
        std::FILE* file = std::fopen(name, "w");
        ASSERT_TRUE(file) << name;
        std::fclose(file);
    }
    QElapsedTimer timer;
    // The reference: the exact names looked up one by one, as a case-sensitive install would.
    timer.start();
    for (int i = 0; i < kFiles; ++i) {
        std::snprintf(name, sizeof name, "%s/Data/File%05d.Dat", qPrintable(dir_.path()), i);
        struct stat info;
        ASSERT_EQ(::stat(name, &info), 0);
    }
    const qint64 statNanoseconds = timer.nsecsElapsed();

    timer.restart();
    platform::CaseInsensitiveNames names(Folder());
    for (int i = 0; i < kFiles; ++i) {
        std::snprintf(name, sizeof name, "DATA\\file%05d.DAT", i);
        const auto resolution = names.Resolve(name);
        std::snprintf(name, sizeof name, "Data\\File%05d.Dat", i);
        ASSERT_EQ(resolution.kind, Kind::Existing);
        ASSERT_EQ(resolution.name, name);
    }
    const qint64 resolveNanoseconds = timer.nsecsElapsed();
    std::printf(
        "%d names resolved in a folder of %d files: %.1f ms (listing included); "
        "reference, %d exact names looked up with stat: %.1f ms\n",
        kFiles, kFiles, resolveNanoseconds / 1e6, kFiles, statNanoseconds / 1e6);
    EXPECT_LT(resolveNanoseconds, 5'000'000'000) << "a scan of the folder per name?";
}

}  // namespace
