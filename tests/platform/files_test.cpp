#include "platform/files.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <functional>
#include <vector>

#include "platform/codepage.h"
#include "unprivileged.h"

namespace {

class FilesTest : public ::testing::Test {
protected:
    // Code-page path of `name` inside the temporary folder, written as the wizard writes it.
    AnsiString Path(const char* name) const {
        return platform::FromUnicode(QDir::toNativeSeparators(dir_.path()).replace('/', '\\')) +
               "\\" + platform::FromUtf8(name);
    }
    std::string Native(const char* name) const { return platform::NativePath(Path(name)); }
    void Write(const char* name, const std::string& contents) const {
        std::ofstream(Native(name), std::ios::binary) << contents;
    }
    void Link(const std::string& target, const char* name) const {
        ASSERT_EQ(::symlink(target.c_str(), Native(name).c_str()), 0) << name;
    }
    // Status of the path itself, not of what a link there leads to.
    struct stat Status(const char* name) const {
        struct stat info = {};
        EXPECT_EQ(::lstat(Native(name).c_str(), &info), 0) << name;
        return info;
    }
    mode_t Mode(const char* name) const { return Status(name).st_mode & 07777; }

    QTemporaryDir dir_;
};

TEST_F(FilesTest, CopyOverwritesAndKeepsTheSourcesWriteTime) {
    Write("源.dll", "new contents");
    Write("target.dll", "old contents that are longer");
    struct utimbuf stamp = {1000000000, 1000000000};  // 2001-09-09
    ASSERT_EQ(::utime(Native("源.dll").c_str(), &stamp), 0);

    ASSERT_TRUE(platform::CopyFile(Path("源.dll"), Path("target.dll")));
    EXPECT_EQ(platform::ReadWholeFile(Path("target.dll")), "new contents");
    struct stat info;
    ASSERT_EQ(::stat(Native("target.dll").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1000000000);
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files).size(), 2) << "no temporary copy left";
}

TEST_F(FilesTest, CopyOfAMissingSourceFailsAndLeavesTheTarget) {
    Write("target.dll", "kept");
    EXPECT_FALSE(platform::CopyFile(Path("missing.dll"), Path("target.dll")));
    EXPECT_EQ(platform::ReadWholeFile(Path("target.dll")), "kept");
}

TEST_F(FilesTest, CreatesOneFolderLevelOnly) {
    EXPECT_TRUE(platform::CreateDirectory(Path("Update")));
    EXPECT_TRUE(platform::DirectoryExists(Path("Update")));
    EXPECT_TRUE(platform::CreateDirectory(Path("Update"))) << "an existing folder is fine";
    EXPECT_FALSE(platform::CreateDirectory(Path("a\\b")));
    EXPECT_FALSE(platform::FileExists(Path("Update")));
}

TEST_F(FilesTest, ReplaceFileContentsFailsInAMissingFolder) {
    EXPECT_FALSE(platform::ReplaceFileContents(Path("none\\setup.ini"), "x"));
    EXPECT_TRUE(platform::ReplaceFileContents(Path("setup.ini"), "x"));
    EXPECT_EQ(platform::ReadWholeFile(Path("setup.ini")), "x");
}

// Writers that rewrite a whole file start from nothing only when nothing is there, so a
// path that holds something unreadable must not be reported as missing.
TEST_F(FilesTest, ReadWholeFileSaysWhetherAnythingIsThere) {
    Write("a.txt", "x");
    ASSERT_TRUE(platform::CreateDirectory(Path("folder")));
    const struct {
        const char* name;
        platform::ReadFailure expected;
    } cases[] = {
        {"missing.txt", platform::ReadFailure::Missing},
        {"none\\a.txt", platform::ReadFailure::Missing},
        {"a.txt\\b.txt", platform::ReadFailure::Missing},
        {"folder", platform::ReadFailure::Unreadable},
    };
    for (const auto& c : cases) {
        platform::ReadFailure failure = c.expected == platform::ReadFailure::Missing
                                            ? platform::ReadFailure::Unreadable
                                            : platform::ReadFailure::Missing;
        EXPECT_FALSE(platform::ReadWholeFile(Path(c.name), &failure)) << c.name;
        EXPECT_EQ(failure, c.expected) << c.name;
    }
    EXPECT_EQ(platform::ReadWholeFile(Path("a.txt")), "x");
}

TEST_F(FilesTest, LastWriteTimeIsLocalTime) {
    Write("a.txt", "");
    struct tm local = {};
    local.tm_year = 2020 - 1900;
    local.tm_mon = 1;
    local.tm_mday = 29;
    local.tm_hour = 23;
    local.tm_min = 59;
    local.tm_sec = 59;
    local.tm_isdst = -1;
    struct utimbuf stamp = {mktime(&local), mktime(&local)};
    ASSERT_EQ(::utime(Native("a.txt").c_str(), &stamp), 0);
    auto written = platform::LastWriteTime(Path("a.txt"));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->year, 2020);
    EXPECT_EQ(written->month, 2);
    EXPECT_EQ(written->day, 29);
    EXPECT_EQ(written->hour, 23);
    EXPECT_FALSE(platform::LastWriteTime(Path("missing.txt")));
}

TEST_F(FilesTest, DeleteRemovesOnlyFiles) {
    Write("a.txt", "");
    EXPECT_TRUE(platform::DeleteFile(Path("a.txt")));
    EXPECT_FALSE(platform::FileExists(Path("a.txt")));
    EXPECT_FALSE(platform::DeleteFile(Path("a.txt")));
}

TEST_F(FilesTest, ReadFileInPiecesHandsOverTheWholeFileInBoundedPieces) {
    std::string contents(200000, '\0');
    for (size_t i = 0; i < contents.size(); ++i) contents[i] = char(i * 7 % 251);
    Write("big.bin", contents);
    ASSERT_TRUE(platform::CreateDirectory(Path("folder")));
    std::string read;
    size_t pieces = 0;
    EXPECT_TRUE(platform::ReadFileInPieces(Path("big.bin"), [&](const char* data, size_t size) {
        read.append(data, size);
        ++pieces;
    }));
    EXPECT_EQ(read, contents);
    EXPECT_GT(pieces, 1u) << "the file passes through a buffer, not in one piece";
    for (const char* unreadable : {"missing.bin", "folder"}) {
        bool called = false;
        EXPECT_FALSE(platform::ReadFileInPieces(Path(unreadable), [&](const char*, size_t) {
            called = true;
        })) << unreadable;
        EXPECT_FALSE(called) << unreadable;
    }
}

// A secret key must neither be readable by others nor replace, or be written through, what is
// already at its path.
TEST_F(FilesTest, CreatePrivateFileMakesANewOwnerOnlyFileAndNothingElse) {
    ASSERT_TRUE(platform::CreatePrivateFile(Path("secret.key"), "key\n"));
    EXPECT_EQ(platform::ReadWholeFile(Path("secret.key")), "key\n");
    struct stat info;
    ASSERT_EQ(::stat(Native("secret.key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    Write("victim.txt", "kept");
    ASSERT_EQ(::symlink(Native("victim.txt").c_str(), Native("link.key").c_str()), 0);
    for (const char* taken : {"secret.key", "victim.txt", "link.key"})
        EXPECT_FALSE(platform::CreatePrivateFile(Path(taken), "other")) << taken;
    EXPECT_EQ(platform::ReadWholeFile(Path("secret.key")), "key\n");
    EXPECT_EQ(platform::ReadWholeFile(Path("victim.txt")), "kept");
    EXPECT_FALSE(platform::CreatePrivateFile(Path("none\\secret.key"), "key"));
}

// A replaced program or script that lost its execute bits could no longer run, and a data
// file readable by its group only must not become readable by everyone.
TEST_F(FilesTest, AReplacedFileKeepsItsMode) {
    Write("source", "new contents");
    ASSERT_EQ(::chmod(Native("source").c_str(), 0644), 0);
    for (mode_t mode : {0755, 0750, 0640, 0600, 0700}) {
        SCOPED_TRACE(mode);
        Write("copied", "old");
        Write("setup.ini", "old");
        ASSERT_EQ(::chmod(Native("copied").c_str(), mode), 0);
        ASSERT_EQ(::chmod(Native("setup.ini").c_str(), mode), 0);
        ASSERT_TRUE(platform::CopyFile(Path("source"), Path("copied")));
        ASSERT_TRUE(platform::ReplaceFileContents(Path("setup.ini"), "new"));
        EXPECT_EQ(Mode("copied"), mode);
        EXPECT_EQ(Mode("setup.ini"), mode);
        EXPECT_EQ(platform::ReadWholeFile(Path("copied")), "new contents");
        EXPECT_EQ(platform::ReadWholeFile(Path("setup.ini")), "new");
    }
}

TEST_F(FilesTest, ANewFileGetsTheUsualModeLessTheUmask) {
    const mode_t umask = ::umask(027);
    Write("source", "x");
    ASSERT_EQ(::chmod(Native("source").c_str(), 0755), 0);
    const bool copied = platform::CopyFile(Path("source"), Path("copied"));
    const bool written = platform::ReplaceFileContents(Path("setup.ini"), "x");
    ::umask(umask);
    ASSERT_TRUE(copied);
    ASSERT_TRUE(written);
    EXPECT_EQ(Mode("copied"), 0640u) << "not the source's mode";
    EXPECT_EQ(Mode("setup.ini"), 0640u);
}

// Only a privileged process may give a file away, so this needs root.
TEST_F(FilesTest, AReplacedFileKeepsItsOwnerAndGroupAndThenItsSetIdBits) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file to another owner";
    Write("source", "new");
    Write("target", "old");
    ASSERT_EQ(::chown(Native("target").c_str(), 4321, 4322), 0);
    ASSERT_EQ(::chmod(Native("target").c_str(), 06750), 0);
    ASSERT_TRUE(platform::CopyFile(Path("source"), Path("target")));
    const struct stat info = Status("target");
    EXPECT_EQ(info.st_uid, 4321u);
    EXPECT_EQ(info.st_gid, 4322u);
    EXPECT_EQ(info.st_mode & 07777, 06750u);
}

// A user's process cannot give a replaced file back to root, so the copy stays the user's. A
// set-uid or set-gid bit kept on it would turn a program that others run with root's rights
// into one that runs with that user's: each bit must go with the owner or group it stood for.
TEST_F(FilesTest, AFileReplacedByAnUnprivilegedProcessLosesTheSetIdBitsOfWhatItCouldNotKeep) {
    constexpr uid_t nobody = testing_support::kUnprivilegedId;
    const struct {
        const char* name;
        uid_t owner;
        gid_t group;
        mode_t mode;
        mode_t expected;
    } targets[] = {
        {"root-setuid", 0, 0, 04755, 0755},
        {"root-setgid", 0, 0, 02755, 0755},
        // The group is the process's own, so it and its bit are kept.
        {"root-in-own-group", 0, nobody, 06755, 02755},
        // The process's own file loses nothing: the bits can survive a replacement.
        {"own", nobody, nobody, 06755, 06755},
    };
    using Replace = std::function<bool(const AnsiString& source, const AnsiString& target)>;
    const struct {
        const char* name;
        Replace replace;
    } replacers[] = {
        {"CopyFile", [](const AnsiString& source,
                        const AnsiString& target) { return platform::CopyFile(source, target); }},
        {"FileReplacements",
         [](const AnsiString& source, const AnsiString& target) {
             platform::FileReplacements batch;
             return batch.AddCopy(source, target) && batch.Commit();
         }},
        {"ReplaceFileContents",
         [](const AnsiString&, const AnsiString& target) {
             return platform::ReplaceFileContents(target, "new");
         }},
    };
    Write("source", "new");
    ASSERT_EQ(::chown(QFile::encodeName(dir_.path()).constData(), nobody, nobody), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(dir_.path()).constData(), 0755), 0);
    for (const auto& replacer : replacers) {
        for (const auto& target : targets) {
            const std::string name = std::string(replacer.name) + "-" + target.name;
            Write(name.c_str(), "old");
            ASSERT_EQ(::chown(Native(name.c_str()).c_str(), target.owner, target.group), 0);
            ASSERT_EQ(::chmod(Native(name.c_str()).c_str(), target.mode), 0);
        }
    }

    std::string whyNot;
    const std::optional<bool> replaced = testing_support::RunUnprivileged(
        QFile::encodeName(dir_.path()).toStdString(),
        [&] {
            bool all = true;
            for (const auto& replacer : replacers)
                for (const auto& target : targets) {
                    const std::string name = std::string(replacer.name) + "-" + target.name;
                    all = replacer.replace(Path("source"), Path(name.c_str())) && all;
                }
            return all;
        },
        &whyNot);
    if (!replaced) GTEST_SKIP() << whyNot;
    EXPECT_TRUE(*replaced);
    for (const auto& replacer : replacers) {
        for (const auto& target : targets) {
            const std::string name = std::string(replacer.name) + "-" + target.name;
            const struct stat info = Status(name.c_str());
            EXPECT_EQ(info.st_mode & 07777, target.expected) << name;
            EXPECT_EQ(info.st_uid, nobody) << name;
            EXPECT_EQ(info.st_gid, nobody) << name;
            EXPECT_EQ(platform::ReadWholeFile(Path(name.c_str())), "new") << name;
        }
    }
}

// A link planted among the downloads must not bring a file from elsewhere into the product.
TEST_F(FilesTest, CopyRefusesASourceThatIsALinkOrNoRegularFile) {
    Write("elsewhere", "secret");
    Link(Native("elsewhere"), "link.dll");
    ASSERT_EQ(::mkfifo(Native("pipe.dll").c_str(), 0644), 0);
    Write("target.dll", "kept");
    for (const char* source : {"link.dll", "pipe.dll"}) {
        EXPECT_FALSE(platform::CopyFile(Path(source), Path("target.dll"))) << source;
        EXPECT_EQ(platform::ReadWholeFile(Path("target.dll")), "kept") << source;
    }
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::System).size(), 4)
        << "no temporary copy left";
}

// A product may install a link (Bin\Current.dll -> Bin\Core-3.dll); replacing it puts the
// file where the link was, with the mode of the file it led to, which itself stays.
TEST_F(FilesTest, ALinkAsTargetIsReplacedByTheFileWithTheModeOfWhatItLedTo) {
    Write("source", "new");
    Write("program", "old");
    ASSERT_EQ(::chmod(Native("program").c_str(), 0750), 0);
    Link("program", "copied");
    Link("program", "setup.ini");
    ASSERT_TRUE(platform::CopyFile(Path("source"), Path("copied")));
    ASSERT_TRUE(platform::ReplaceFileContents(Path("setup.ini"), "new"));
    for (const char* replaced : {"copied", "setup.ini"}) {
        EXPECT_TRUE(S_ISREG(Status(replaced).st_mode)) << replaced;
        EXPECT_EQ(Mode(replaced), 0750u) << replaced;
        EXPECT_EQ(platform::ReadWholeFile(Path(replaced)), "new") << replaced;
    }
    EXPECT_EQ(platform::ReadWholeFile(Path("program")), "old");
}

// The new copy is made beside the target under a name that another process could have
// occupied first: whatever is there is replaced, never written through.
TEST_F(FilesTest, ALinkPlantedAtTheTemporaryNameIsNotWrittenThrough) {
    Write("victim", "kept");
    const std::string temporary = ".sendrift-new";
    Link(Native("victim"), ("setup.ini" + temporary).c_str());
    Link(Native("victim"), ("copied" + temporary).c_str());
    Write("source", "new");
    ASSERT_TRUE(platform::ReplaceFileContents(Path("setup.ini"), "new"));
    ASSERT_TRUE(platform::CopyFile(Path("source"), Path("copied")));
    EXPECT_EQ(platform::ReadWholeFile(Path("victim")), "kept");
    EXPECT_EQ(platform::ReadWholeFile(Path("setup.ini")), "new");
    EXPECT_EQ(platform::ReadWholeFile(Path("copied")), "new");
    EXPECT_FALSE(platform::FileExists(Path(("setup.ini" + temporary).c_str())));
}

TEST_F(FilesTest, ReplacingAFolderFailsAndLeavesNothingBeside) {
    Write("source", "x");
    ASSERT_TRUE(platform::CreateDirectory(Path("folder")));
    errno = 0;
    EXPECT_FALSE(platform::CopyFile(Path("source"), Path("folder")));
    EXPECT_EQ(errno, EISDIR) << "the reason travels with the failure";
    EXPECT_FALSE(platform::ReplaceFileContents(Path("folder"), "x"));
    EXPECT_TRUE(platform::DirectoryExists(Path("folder")));
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files).size(), 1);
}

TEST_F(FilesTest, ReadingInPiecesAndFlushingRefuseALink) {
    Write("a.bin", "contents");
    Link(Native("a.bin"), "link.bin");
    bool called = false;
    EXPECT_FALSE(
        platform::ReadFileInPieces(Path("link.bin"), [&](const char*, size_t) { called = true; }));
    EXPECT_FALSE(called);
    EXPECT_FALSE(platform::FlushFile(Path("link.bin")));
    EXPECT_FALSE(platform::FlushFile(Path("missing.bin")));
    EXPECT_TRUE(platform::FlushFile(Path("a.bin")));
}

// A run entry is made executable before it starts; through a planted link that would change
// a file elsewhere.
TEST_F(FilesTest, MakeOwnerExecutableChangesOnlyARegularFileItself) {
    Write("run.sh", "");
    Write("elsewhere.sh", "");
    ASSERT_EQ(::chmod(Native("run.sh").c_str(), 0640), 0);
    ASSERT_EQ(::chmod(Native("elsewhere.sh").c_str(), 0640), 0);
    Link(Native("elsewhere.sh"), "link.sh");
    ASSERT_EQ(::mkfifo(Native("pipe.sh").c_str(), 0640), 0);
    EXPECT_TRUE(platform::MakeOwnerExecutable(Path("run.sh")));
    EXPECT_EQ(Mode("run.sh"), 0740u);
    EXPECT_FALSE(platform::MakeOwnerExecutable(Path("link.sh")));
    EXPECT_EQ(Mode("elsewhere.sh"), 0640u);
    EXPECT_FALSE(platform::MakeOwnerExecutable(Path("pipe.sh"))) << "and does not wait for it";
    EXPECT_EQ(Mode("pipe.sh"), 0640u);
}

TEST_F(FilesTest, CreateFoldersForMakesEveryLevelButGoesThroughNoLink) {
    ASSERT_TRUE(platform::CreateDirectory(Path("Update")));
    ASSERT_TRUE(platform::CreateDirectory(Path("outside")));
    const AnsiString base = Path("Update") + "\\";
    EXPECT_TRUE(platform::CreateFoldersFor(base, "Bin\\Deep\\Core.dll"));
    EXPECT_TRUE(platform::DirectoryExists(Path("Update\\Bin\\Deep")));
    EXPECT_TRUE(platform::CreateFoldersFor(base, "Bin\\Deep\\Other.dll")) << "levels that exist";
    EXPECT_TRUE(platform::CreateFoldersFor(base, "Top.dll")) << "no level at all";

    Link(Native("outside"), "Update\\Plugins");
    Link(Native("outside"), "Update\\Bin\\Inner");
    Write("Update\\File", "");
    for (const char* name :
         {"Plugins\\a.dll", "Plugins\\Sub\\a.dll", "Bin\\Inner\\Sub\\a.dll", "File\\a.dll"}) {
        errno = 0;
        EXPECT_FALSE(platform::CreateFoldersFor(base, name)) << name;
        EXPECT_NE(errno, 0) << name;
    }
    EXPECT_TRUE(QDir(dir_.path() + "/outside").isEmpty()) << "nothing made through the links";
}

// A folder of the updater's own is emptied through descriptors: a link planted inside it must
// not lead the removal into what it points to.
TEST_F(FilesTest, RemoveFolderTreeRemovesLinksInsideButNothingTheyLeadTo) {
    ASSERT_TRUE(platform::CreateDirectory(Path("outside")));
    Write("outside\\kept.txt", "kept");
    ASSERT_TRUE(platform::CreateDirectory(Path("tree")));
    ASSERT_TRUE(platform::CreateFoldersFor(Path("tree") + "\\", "Bin\\Deep\\a.zst"));
    Write("tree\\a.zst.part", "part");
    Write("tree\\Bin\\Deep\\a.zst", "patch");
    Link(Native("outside"), "tree\\Bin\\to-outside");
    Link(Native("outside") + "/kept.txt", "tree\\to-kept.txt");
    EXPECT_TRUE(platform::RemoveFolderTree(Path("tree")));
    EXPECT_FALSE(QFileInfo::exists(dir_.path() + "/tree"));
    EXPECT_EQ(*platform::ReadWholeFile(Path("outside\\kept.txt")), "kept");
    EXPECT_TRUE(platform::RemoveFolderTree(Path("tree"))) << "a folder that is not there";

    Link(Native("outside"), "link");
    errno = 0;
    EXPECT_FALSE(platform::RemoveFolderTree(Path("link"))) << "a link at the folder itself";
    EXPECT_NE(errno, 0);
    EXPECT_EQ(*platform::ReadWholeFile(Path("outside\\kept.txt")), "kept");
}

TEST_F(FilesTest, IsSymbolicLinkLooksAtThePathItself) {
    ASSERT_TRUE(platform::CreateDirectory(Path("folder")));
    Write("file", "");
    Link(Native("folder"), "to-folder");
    Link(Native("missing"), "dangling");
    const struct {
        AnsiString path;
        bool link;
    } cases[] = {
        {Path("to-folder"), true}, {Path("to-folder") + "\\", true},
        {Path("dangling"), true},  {Path("folder"), false},
        {Path("file"), false},     {Path("missing"), false},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::IsSymbolicLink(c.path), c.link) << c.path;
}

// Confinement is judged where the path really leads: a link the product made inside its folder
// is fine as long as it stays inside.
TEST_F(FilesTest, IsInsideFolderJudgesRealPaths) {
    for (const char* folder : {"app", "app\\lib64", "app\\Update", "app2", "outside"})
        ASSERT_TRUE(platform::CreateDirectory(Path(folder)));
    Write("app\\a.dll", "");
    Write("outside\\secret", "");
    Link("lib64", "app\\lib");
    Link(Native("outside"), "app\\Update\\escape");
    Link(Native("outside\\secret"), "app\\Update\\secret");
    Link(Native("app\\missing"), "app\\dangling");
    const AnsiString app = Path("app");
    const struct {
        AnsiString path;
        bool inside;
    } cases[] = {
        {Path("app\\a.dll"), true},
        {Path("app"), true},
        {Path("app\\lib\\a.so"), true},
        {Path("app\\Update\\new.dll"), true},
        {Path("app\\Update\\..\\a.dll"), true},
        {Path("app\\Update\\..\\..\\outside\\secret"), false},
        {Path("app\\..\\app2\\a.dll"), false},
        {Path("app2\\a.dll"), false},
        {Path("app\\Update\\escape\\secret"), false},
        {Path("app\\Update\\escape\\new.dll"), false},
        {Path("app\\Update\\secret"), false},
        {Path("app\\dangling"), false},
        {Path("app\\none\\new.dll"), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::IsInsideFolder(c.path, app), c.inside) << c.path;
    EXPECT_TRUE(platform::IsInsideFolder(Path("app\\a.dll"), app + "\\"));
    EXPECT_FALSE(platform::IsInsideFolder(Path("app\\a.dll"), Path("none")));
}

// The copy streams: an update file of gigabytes must not take gigabytes of memory. The file
// holds its own offsets, so a piece written twice, lost or out of place shows.
TEST_F(FilesTest, CopyOfAFileFarLargerThanItsBufferIsExactAndCostsLittleMemory) {
    constexpr size_t kSize = size_t(256) << 20;
    constexpr size_t kChunk = size_t(1) << 20;
    {
        std::vector<uint64_t> chunk(kChunk / sizeof(uint64_t));
        std::ofstream out(Native("big.bin"), std::ios::binary);
        for (size_t at = 0; at < kSize + 12345; at += kChunk) {
            for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = at + i * sizeof(uint64_t);
            out.write(reinterpret_cast<const char*>(chunk.data()),
                      std::streamsize(std::min(kChunk, kSize + 12345 - at)));
        }
        ASSERT_TRUE(out.good());
    }
    struct rusage before;
    ASSERT_EQ(::getrusage(RUSAGE_SELF, &before), 0);
    ASSERT_TRUE(platform::CopyFile(Path("big.bin"), Path("copy.bin")));
    struct rusage after;
    ASSERT_EQ(::getrusage(RUSAGE_SELF, &after), 0);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "kilobytes more at the peak";

    size_t offset = 0;
    size_t wrong = 0;
    uint64_t word = 0;
    ASSERT_TRUE(platform::ReadFileInPieces(Path("copy.bin"), [&](const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i, ++offset) {
            reinterpret_cast<char*>(&word)[offset % sizeof word] = data[i];
            if (offset % sizeof word == sizeof word - 1 && word != offset + 1 - sizeof word)
                ++wrong;
        }
    }));
    EXPECT_EQ(offset, kSize + 12345);
    EXPECT_EQ(wrong, 0u);
}

}  // namespace

// A batch puts nothing in place before Commit, then every copy at once with the promises of a
// single copy; dropped unfinished, it leaves every target as it was and nothing beside them.
TEST_F(FilesTest, ABatchOfCopiesReplacesEveryTargetOnlyOnCommit) {
    QDir(dir_.path()).mkpath("Sub");
    Write("a.new", "new a");
    Write("b.new", "new b");
    Write("a", "old a");
    ASSERT_EQ(::chmod(Native("a").c_str(), 0750), 0);
    const auto entries = [&] { return QDir(dir_.path()).entryList(QDir::Files).join(","); };
    {
        platform::FileReplacements dropped;
        ASSERT_TRUE(dropped.AddCopy(Path("a.new"), Path("a")));
        ASSERT_TRUE(dropped.AddCopy(Path("b.new"), Path("Sub\\b")));
        EXPECT_EQ(platform::ReadWholeFile(Path("a")), "old a");
        EXPECT_FALSE(platform::FileExists(Path("Sub\\b")));
    }
    EXPECT_EQ(entries(), "a,a.new,b.new") << "nothing is left beside the targets";
    EXPECT_EQ(QDir(dir_.path() + "/Sub").entryList(QDir::Files).join(","), "");

    platform::FileReplacements batch;
    ASSERT_TRUE(batch.AddCopy(Path("a.new"), Path("a")));
    ASSERT_TRUE(batch.AddCopy(Path("b.new"), Path("Sub\\b")));
    EXPECT_FALSE(batch.AddCopy(Path("missing"), Path("c")));
    Link(Native("a.new"), "link");
    EXPECT_FALSE(batch.AddCopy(Path("link"), Path("d"))) << "a link is no source";
    ASSERT_TRUE(batch.Commit());
    EXPECT_EQ(platform::ReadWholeFile(Path("a")), "new a");
    EXPECT_EQ(Mode("a"), 0750u);
    EXPECT_EQ(platform::ReadWholeFile(Path("Sub\\b")), "new b");
    EXPECT_EQ(entries(), "a,a.new,b.new,link");
}
