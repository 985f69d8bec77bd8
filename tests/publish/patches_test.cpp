// sendrift-publish release and verify with patches, run as programs on real folders.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <functional>
#include <random>

#include "core/delta.h"
#include "core/inifile.h"
#include "platform/codepage.h"
#include "publish/publishtool.h"

namespace {

std::string RandomBytes(size_t size, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = char(random());
    return bytes;
}

// `bytes` as a point release changes a program: a byte here and there, a few hundred inserted.
std::string Changed(std::string bytes, uint64_t seed) {
    for (size_t at = seed * 101; at < bytes.size(); at += 50000) bytes[at] = char(bytes[at] ^ 1);
    bytes.insert(bytes.size() / 2, RandomBytes(300, seed));
    return bytes;
}

std::string Sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

void Write(const QString& path, const std::string& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes.data(), qint64(bytes.size()));
}

std::string Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
}

// Version 2.0 and two older versions. Program.dll changes a little from each version to the
// next, so each older copy is a base of its own; Shared.dll is the same in both older versions
// and changed in 2.0; Small.txt and Noise.bin change too much for a patch to pay; New.dll is
// only in 2.0.
class PatchReleaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string program = RandomBytes(256 << 10, 1), shared = RandomBytes(64 << 10, 2);
        Write(At("1.0/Bin/Program.dll"), program);
        Write(At("1.5/Bin/Program.dll"), Changed(program, 3));
        Write(At("2.0/Bin/Program.dll"), Changed(Changed(program, 3), 4));
        for (const char* version : {"1.0", "1.5"}) {
            Write(At(version) + "/Shared.dll", shared);
            Write(At(version) + "/Small.txt", "small 1");
            Write(At(version) + "/Noise.bin", RandomBytes(64 << 10, 5));
        }
        Write(At("2.0/Shared.dll"), Changed(shared, 6));
        Write(At("2.0/Small.txt"), "small 2");
        Write(At("2.0/Noise.bin"), RandomBytes(64 << 10, 7));
        Write(At("2.0/New.dll"), RandomBytes(1000, 8));
    }

    QString At(const QString& name) const { return work_.path() + "/" + name; }
    QStringList Release(const QStringList& more = {}) const {
        return QStringList{"release",          At("2.0"), "--version",        "2.0",   "--from",
                           "1.0=" + At("1.0"), "--from",  "1.5=" + At("1.5"), "--out", At("out")} +
               more;
    }
    QStringList Verify(const QStringList& more = {}) const {
        return QStringList{"verify",           At("out"), "--from",
                           "1.0=" + At("1.0"), "--from",  "1.5=" + At("1.5")} +
               more;
    }
    // The [DELTA] values of a file in the published manifest.
    std::vector<AnsiString> PatchLines(const char* file) const {
        const TIniSnapshot manifest(platform::FromUnicode(At("out/Version.ini")));
        return manifest.ReadEntries(delta::kPatchSection, file);
    }

    QTemporaryDir work_;
};

TEST_F(PatchReleaseTest, PublishesOnePatchPerBaseThatVerifyRebuilds) {
    const Outcome release = Publish(Release());
    ASSERT_EQ(release.exitCode, 0) << release.err;
    const TIniSnapshot manifest(platform::FromUnicode(At("out/Version.ini")));

    // One line per base, the base shared by both older versions once.
    const struct {
        const char* file;
        std::vector<QString> bases;
    } expected[] = {
        {"Bin\\Program.dll", {"1.0/Bin/Program.dll", "1.5/Bin/Program.dll"}},
        {"Shared.dll", {"1.0/Shared.dll"}},
        {"Small.txt", {}},
        {"Noise.bin", {}},
        {"New.dll", {}},
    };
    for (const auto& file : expected) {
        const std::vector<AnsiString> lines = PatchLines(file.file);
        ASSERT_EQ(lines.size(), file.bases.size()) << file.file;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::optional<delta::PatchLine> line = delta::ParsePatchLine(lines[i]);
            ASSERT_TRUE(line) << lines[i];
            const std::string base = Sha256(Read(At(file.bases[i])));
            EXPECT_EQ(line->baseDigest, base) << file.file;
            EXPECT_EQ(line->patchName, delta::PatchName(file.file, base));
            const std::string patch =
                Read(At("out/" + QString::fromStdString(platform::NativePath(line->patchName))));
            EXPECT_EQ(manifest.ReadEntry("SIZE", line->patchName), std::to_string(patch.size()));
            EXPECT_EQ(manifest.ReadEntry("SHA256", line->patchName), Sha256(patch));
            const int64_t fileSize = std::stoll(manifest.ReadEntry("SIZE", file.file));
            EXPECT_LE(int64_t(patch.size()) * 4, fileSize * 3) << file.file;
        }
    }
    // [1.0] lists all five files; two of them come as patches against 1.0's files.
    int64_t full = 0;
    for (const char* file : {"Bin/Program.dll", "New.dll", "Noise.bin", "Shared.dll", "Small.txt"})
        full += QFileInfo(At("2.0/") + file).size();
    int64_t withPatches = full;
    for (const char* patched : {"Bin\\Program.dll", "Shared.dll"}) {
        withPatches -= std::stoll(manifest.ReadEntry("SIZE", patched));
        withPatches += std::stoll(manifest.ReadEntry(
            "SIZE", delta::ParsePatchLine(PatchLines(patched).front())->patchName));
    }
    EXPECT_NE(
        release.out.find("From 1.0: 5 files, " + std::to_string(full) +
                         " bytes\n  with 2 patches: " + std::to_string(withPatches) + " bytes\n"),
        std::string::npos)
        << release.out;

    const Outcome verify = Publish(Verify());
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.out, "ok: 8 files, 4 patches rebuilt\n");
}

// An installation that ignores [DELTA] must see the same release: the same entries, sizes and
// digests of its files, and no patch among them.
TEST_F(PatchReleaseTest, WithoutPatchesTheManifestIsTheSameLessTheirLines) {
    ASSERT_EQ(Publish(Release()).exitCode, 0);
    const TIniSnapshot withPatches(platform::FromUnicode(At("out/Version.ini")));
    ASSERT_EQ(Publish(Release({"--force", "--no-delta"})).exitCode, 0);
    const TIniSnapshot filesOnly(platform::FromUnicode(At("out/Version.ini")));
    EXPECT_FALSE(QFileInfo::exists(At("out/.delta")));

    std::vector<AnsiString> sections = withPatches.SectionNames();
    sections.erase(std::find(sections.begin(), sections.end(), delta::kPatchSection));
    ASSERT_EQ(filesOnly.SectionNames(), sections);
    for (const AnsiString& section : sections) {
        std::vector<TIniSnapshot::Entry> entries = withPatches.Entries(section);
        std::erase_if(entries, [](const TIniSnapshot::Entry& entry) {
            return delta::IsPatchName(entry.key);
        });
        const std::vector<TIniSnapshot::Entry>& plain = filesOnly.Entries(section);
        ASSERT_EQ(entries.size(), plain.size()) << section;
        for (size_t i = 0; i < plain.size(); ++i) {
            EXPECT_EQ(entries[i].key, plain[i].key) << section;
            EXPECT_EQ(entries[i].value, plain[i].value) << section;
        }
    }
}

TEST_F(PatchReleaseTest, DryRunShowsWhatEachVersionFetchesAndWritesNothing) {
    const Outcome dry = Publish(Release({"--dry-run"}));
    ASSERT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_FALSE(QFileInfo::exists(At("out")));
    for (const char* line : {"[DELTA]\r\nBin\\Program.dll=", "\n  with 2 patches: ",
                             "  Shared.dll  65836  (patch ", "  Small.txt  7\n"})
        EXPECT_NE(dry.out.find(line), std::string::npos) << line << " in:\n" << dry.out;
}

TEST_F(PatchReleaseTest, AReleaseFileInThePatchFolderIsRefusedUnlessThereAreNoPatches) {
    Write(At("2.0/.Delta/Tool.dll"), "a file of the release");
    const Outcome refused = Publish(Release());
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("the file .Delta\\Tool.dll lies in .delta"), std::string::npos)
        << refused.err;
    EXPECT_FALSE(QFileInfo::exists(At("out")));
    EXPECT_EQ(Publish(Release({"--no-delta"})).exitCode, 0);
}

// A made update folder with patches spoiled in one way at a time.
TEST_F(PatchReleaseTest, VerifyFindsEachPatchProblem) {
    const QString secret = At("secret.key");
    const Outcome keygen = Publish({"keygen", secret});
    ASSERT_EQ(keygen.exitCode, 0) << keygen.err;
    const QString publicKey = QString::fromStdString(keygen.out.substr(0, keygen.out.find('\n')));
    auto patchOf = [&](const char* file) {
        return At("out/" + QString::fromStdString(platform::NativePath(
                               delta::ParsePatchLine(PatchLines(file).front())->patchName)));
    };
    // Replaces `from` by `to` in the manifest and signs it again.
    auto edit = [&](const std::string& from, const std::string& to, bool sign) {
        std::string manifest = Read(At("out/Version.ini"));
        ASSERT_NE(manifest.find(from), std::string::npos) << from;
        manifest.replace(manifest.find(from), from.size(), to);
        Write(At("out/Version.ini"), manifest);
        if (sign) {
            ASSERT_EQ(Publish({"sign", At("out"), secret}).exitCode, 0);
        }
    };
    const struct {
        const char* name;
        std::function<void()> spoil;
        std::vector<std::string> says;
    } cases[] = {
        {"a [DELTA] line edited after signing",
         [&] { edit("Shared.dll=", "Shared.dll=0", false); },
         {"Version.ini.sig: no valid signature of Version.ini by the given key"}},
        {"a patch changed",
         [&] {
             std::string patch = Read(patchOf("Shared.dll"));
             patch[patch.size() / 2] = char(patch[patch.size() / 2] ^ 1);
             Write(patchOf("Shared.dll"), patch);
         },
         {": differs from its [SHA256] digest",
          "Shared.dll: the patch does not rebuild it from 1.0's file: "}},
        {"a patch missing",
         [&] { QFile::remove(patchOf("Bin\\Program.dll")); },
         {".zst: missing", "Bin\\Program.dll: the patch does not rebuild it from 1.0's file: "}},
        {"a patch listed and signed that rebuilds other bytes",
         [&] {
             // Shared.dll's patch, with its own size and digest, offered for Program.dll.
             const std::string program = PatchLines("Bin\\Program.dll").front();
             const std::string shared = PatchLines("Shared.dll").front();
             edit("Bin\\Program.dll=" + program,
                  "Bin\\Program.dll=" + program.substr(0, 64) + shared.substr(64), true);
         },
         {"Bin\\Program.dll: the patch does not rebuild it from 1.0's file: "}},
        {"a line that names no patch",
         [&] { edit("Shared.dll=" + PatchLines("Shared.dll").front(), "Shared.dll=x;y", true); },
         {"[DELTA] Shared.dll=x;y: no base's SHA-256 and patch name in .delta\\"}},
    };
    for (const auto& c : cases) {
        QDir(At("out")).removeRecursively();
        ASSERT_EQ(Publish(Release({"--key", secret})).exitCode, 0);
        ASSERT_EQ(Publish(Verify({"--key", publicKey})).exitCode, 0) << c.name;
        c.spoil();
        const Outcome verify = Publish(Verify({"--key", publicKey}));
        EXPECT_EQ(verify.exitCode, 1) << c.name;
        for (const std::string& says : c.says)
            EXPECT_NE(verify.out.find(says), std::string::npos) << c.name << ":\n" << verify.out;
    }
}

}  // namespace
