// Wall time and processor time (of all threads) of this process or of its waited-for
// children. The processor time tells how much of a wall time is work and how much waiting,
// also on a machine that other work keeps busy.
#pragma once

#include <sys/resource.h>

#include <chrono>

struct Cost {
    double wall;
    double cpu;
};

class Meter {
public:
    using Clock = std::chrono::steady_clock;
    enum Whose { Self = RUSAGE_SELF, Children = RUSAGE_CHILDREN };
    explicit Meter(Whose whose) : whose_(whose), start_(Clock::now()), cpu_(CpuSeconds(whose)) {}
    Cost Read() const {
        return {std::chrono::duration<double>(Clock::now() - start_).count(),
                CpuSeconds(whose_) - cpu_};
    }

private:
    static double CpuSeconds(Whose whose) {
        rusage usage{};
        getrusage(whose, &usage);
        auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }

    Whose whose_;
    Clock::time_point start_;
    double cpu_;
};
