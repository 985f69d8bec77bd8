// The INI store reading arbitrary file bytes: it must not fail, and every name it lists must
// lead to a value.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/inifile.h"
#include "fuzzsupport.h"

namespace {

// Enough for every name of a typical input. The store reads the whole file for each lookup,
// so a file of hundreds of tiny keys is checked only in part rather than slowing the run.
constexpr size_t kMaxLookups = 16;

// The store reads the file on every call, so it lives in memory (tmpfs) when that is there.
std::string folder;
std::string file;

void RemoveFile() {
    std::remove(file.c_str());
    ::rmdir(folder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* parent : {"/dev/shm", "/tmp"}) {
        std::string pattern = std::string(parent) + "/sendrift-inifile-XXXXXX";
        if (::mkdtemp(pattern.data())) {
            folder = pattern;
            break;
        }
    }
    if (folder.empty()) fuzzsupport::Stop(__FILE__, __LINE__, "no scratch folder");
    file = folder + "/fuzz.ini";
    std::atexit(RemoveFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* out = std::fopen(file.c_str(), "wb");
    FUZZ_CHECK(out && std::fwrite(data, 1, size, out) == size && std::fclose(out) == 0);

    // A value never holds a line break, so this text cannot be one.
    const AnsiString missing = "\nmissing\n";
    TIniFile ini(file);
    std::vector<AnsiString> sections;
    ini.SectionNames(sections);
    size_t lookups = 0;
    for (const AnsiString& section : sections) {
        std::vector<AnsiString> keys;
        ini.KeyNames(section, keys);
        for (const AnsiString& key : keys) {
            if (++lookups > kMaxLookups) return 0;
            const AnsiString value = ini.ReadEntry(section, key, missing);
            FUZZ_CHECK(value != missing);
            FUZZ_CHECK(value.size() <= 2047);
            FUZZ_CHECK(value.find('\n') == AnsiString::npos);
        }
    }
    return 0;
}
