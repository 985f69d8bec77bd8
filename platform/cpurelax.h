// A hint to the processor that the calling thread is spinning on a value another thread will
// change: it saves power and lets a sibling hardware thread run. Processor-specific, so it
// lives here; elsewhere it is a no-op.
#pragma once

namespace platform {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace platform
