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

// A field of /proc/self/status given in kilobytes ("VmRSS:"); -1 when it is missing.
inline long StatusKilobytes(const std::string& name) {
    std::ifstream status("/proc/self/status");
    for (std::string field; status >> field;) {
        if (field == name) {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
    }
    return -1;
}

// Resident memory in kilobytes.
inline long ResidentKilobytes() {
    return StatusKilobytes("VmRSS:");
}

// The most resident memory since the process started or since ResetPeakResident, in
// kilobytes. Catches a spike that is freed again before anyone looks.
inline long PeakResidentKilobytes() {
    return StatusKilobytes("VmHWM:");
}

// Starts the peak over from the present resident memory; false when the kernel refuses.
inline bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

}  // namespace testsupport
