// A hint to the processor inside a spin-wait: it frees the core's resources
// for its sibling and saves power, at no cost to the wait.
#pragma once

namespace tarnvel {

inline void cpu_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace tarnvel
