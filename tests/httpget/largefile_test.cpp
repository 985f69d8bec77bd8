// A file of 5,000,000,000 bytes from nginx: beyond every 32-bit count (2^31 and 2^32), as the
// product's largest setups are. The source is sparse, in memory where /dev/shm is, since on
// a disk file system every hole read takes a page of the cache; the whole body goes to
// /dev/null and only the resumed last 600 MB reach the disk, beside a sparse partial copy, so
// the test writes little although every count it checks is a large one.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "bench/support/nginxserver.h"
#include "net/httpget/httpget.h"

namespace {

constexpr int64_t kFileSize = 5'000'000'000;
constexpr int64_t kResumeFrom = 4'400'000'000;  // above 2^32
constexpr int64_t kChunk = 1025;                // bytes per progress call
// What the test needs on the disk, with room to spare for everyone else.
constexpr uint64_t kNeededSpace = uint64_t(6) << 30;

// Marks placed in the otherwise empty file around the limits of 32-bit counts, so that a
// byte written at a wrapped offset shows.
const int64_t kMarkOffsets[] = {0,
                                (int64_t(1) << 31) - 16,
                                int64_t(1) << 31,
                                (int64_t(1) << 32) - 16,
                                int64_t(1) << 32,
                                4'500'000'000,
                                kFileSize - 16};

std::string MarkAt(int64_t offset) {
    std::string mark = "<" + std::to_string(offset) + ">";
    mark.resize(16, '.');
    return mark;
}

void WriteMarks(const std::string& path, int64_t below) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    for (int64_t offset : kMarkOffsets) {
        if (offset + 16 > below) continue;
        file.seekp(offset);
        file << MarkAt(offset);
    }
    ASSERT_TRUE(file.good()) << path;
}

std::string ReadAt(const std::string& path, int64_t offset, size_t size) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(offset);
    std::string bytes(size, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(size));
    return file ? bytes : "";
}

// Every progress call of one transfer, checked as it comes: the total is the true size and
// Readed grows by one chunk a call from where the transfer started.
struct ProgressCheck {
    int64_t expectedTotal = 0;
    int64_t start = 0;  // Readed before the first call
    int64_t last = -1;
    int64_t calls = 0;
    int64_t wrongCalls = 0;

    void operator()(int64_t total, int64_t readed) {
        const int64_t previous = calls == 0 ? start : last;
        if (total != expectedTotal || readed != std::min(previous + kChunk, expectedTotal)) {
            ++wrongCalls;
        }
        last = readed;
        ++calls;
    }
};

TEST(HTTPGetLargeFile, FiveGigabytesArriveWholeAndContinuePastFourGibibytes) {
    QTemporaryDir root;
    QTemporaryDir served(std::filesystem::is_directory("/dev/shm") ? "/dev/shm/httpget-XXXXXX"
                                                                   : QString());
    ASSERT_TRUE(root.isValid() && served.isValid());
    const std::filesystem::space_info space = std::filesystem::space(root.path().toStdString());
    if (space.available < kNeededSpace) {
        GTEST_SKIP() << "needs 6 GiB free under " << root.path().toStdString() << ", has "
                     << space.available / (1 << 20) << " MiB";
    }
    NginxServer nginx(served.path());
    const std::string source = (nginx.WwwFolder() + "/big.bin").toStdString();
    std::ofstream(source, std::ios::binary).close();
    std::filesystem::resize_file(source, kFileSize);
    WriteMarks(source, kFileSize);
    const AnsiString url = nginx.Url("/big.bin").toStdString();

    THTTPGet get;
    get.WaitThread = true;
    get.URL = url;
    get.ExpectedSize = kFileSize;
    ProgressCheck progress{kFileSize};
    get.OnProgress = [&](QObject*, int64_t total, int64_t readed) { progress(total, readed); };
    int64_t doneSize = -1;
    get.OnDoneFile = [&](QObject*, const AnsiString&, int64_t size) { doneSize = size; };

    // Whole, in one transfer.
    get.FileName = "/dev/null";
    get.GetFile();
    EXPECT_EQ(get.LastError(), "");
    EXPECT_EQ(doneSize, kFileSize);
    EXPECT_EQ(progress.calls, (kFileSize + kChunk - 1) / kChunk);
    EXPECT_EQ(progress.last, kFileSize);
    EXPECT_EQ(progress.wrongCalls, 0);

    // Continued past 4 GiB: a first attempt leaves its partial copy and the validator nginx
    // gave; the copy is then made to hold the file's first 4.4 GB as a cut transfer would.
    const std::string target = root.filePath("big.bin").toStdString();
    const std::string part = target + ".part";
    get.FileName = target;
    get.Resume = true;
    get.OnProgress = [&](QObject*, int64_t, int64_t) { get.Abort(); };
    get.GetFile();
    ASSERT_TRUE(std::filesystem::exists(part + ".info"));
    std::filesystem::resize_file(part, kResumeFrom);
    WriteMarks(part, kResumeFrom);

    progress = ProgressCheck{kFileSize, kResumeFrom};
    get.OnProgress = [&](QObject*, int64_t total, int64_t readed) { progress(total, readed); };
    doneSize = -1;
    get.GetFile();
    EXPECT_EQ(get.LastError(), "");
    EXPECT_EQ(doneSize, kFileSize);
    // One call per chunk of the rest only: the server sent the rest, not the whole file again.
    EXPECT_EQ(progress.calls, (kFileSize - kResumeFrom + kChunk - 1) / kChunk);
    EXPECT_EQ(progress.wrongCalls, 0);
    EXPECT_EQ(std::filesystem::file_size(target), uint64_t(kFileSize));
    for (int64_t offset : kMarkOffsets) EXPECT_EQ(ReadAt(target, offset, 16), MarkAt(offset));
    EXPECT_FALSE(std::filesystem::exists(part));
}

}  // namespace
