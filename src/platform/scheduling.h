// Giving the processor away in a busy-wait loop.
#pragma once

namespace platform {

// Gives the rest of the thread's time slice to another ready thread, if there is one.
void YieldThread();

// One processor pause hint for a spin loop (no system call).
inline void PauseProcessor() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace platform
