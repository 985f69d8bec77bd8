// What this process holds, from /proc, for tests that check nothing leaks or piles up.
#pragma once

#include <dirent.h>

#include <fstream>
#include <string>

namespace testsupport {

// Descriptors open in this process.
inline int OpenDescriptors() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(folder))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(folder);
    return count - 1;  // the one reading the folder
}

// Resident memory in kilobytes.
inline long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string field; status >> field;) {
        if (field == "VmRSS:") {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
    }
    return -1;
}

}  // namespace testsupport
