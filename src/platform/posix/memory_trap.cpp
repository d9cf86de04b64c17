#include "platform/posix/memory_trap.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>

namespace platform::posix {
namespace {

// A process maps a few objects per channel and per pool; this is far beyond what the bus opens.
constexpr std::size_t kSlotCount = 4096;

// A slot's life: free, claimed by Watch or Unwatch while it writes, then intact, broken, and broken and
// reported. begin and size are only read in the last three states.
enum SlotState : std::uint32_t { kFree, kClaimed, kIntact, kBroken, kReported };

struct Slot {
  std::atomic<std::uint32_t> state{kFree};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::size_t> size{0};
};

// Plain static data, never destroyed: the handler may run during exit.
std::array<Slot, kSlotCount> slots;
std::atomic<std::size_t> slots_used{0};          // no slot at or past this index was ever claimed
std::atomic<std::uint32_t> broken_count{0};      // watched ranges that are broken
std::atomic<std::uint32_t> handlers_running{0};  // Unwatch waits for these before a range may go
struct sigaction previous_action {};

bool Contains(const Slot& slot, std::uintptr_t address) {
  const std::uintptr_t begin = slot.begin.load();
  return address >= begin && address - begin < slot.size.load();
}

bool IsWatched(std::uint32_t state) { return state >= kIntact; }
bool IsBroken(std::uint32_t state) { return state >= kBroken; }

// Async-signal-safe: mmap and atomics only. A second thread faulting on the same range may replace the
// zero-filled memory once more; it holds nothing of value.
bool Break(Slot& slot) {
  void* const base = reinterpret_cast<void*>(slot.begin.load());
  void* const replaced =
      ::mmap(base, slot.size.load(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (replaced == MAP_FAILED) return false;
  std::uint32_t intact = kIntact;
  if (slot.state.compare_exchange_strong(intact, kBroken)) broken_count.fetch_add(1);
  return true;
}

// Hands a signal that is not ours to whoever handled SIGBUS before us. With no such handler the
// default action must still happen: a faulting access meets it when it runs again on return, a sent
// signal is raised again (it stays pending until we return).
void PassOn(int signal, siginfo_t* info, void* context) {
  if ((previous_action.sa_flags & SA_SIGINFO) != 0) {
    previous_action.sa_sigaction(signal, info, context);
    return;
  }
  if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(signal);
    return;
  }
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigaction(SIGBUS, &default_action, nullptr);
  if (info->si_code <= 0) ::raise(signal);
}

void OnBusError(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  bool ours = false;
  if (info->si_code > 0) {  // raised by a fault, not sent by a process
    handlers_running.fetch_add(1);
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const std::size_t used = slots_used.load();
    for (std::size_t i = 0; i < used && !ours; ++i) {
      Slot& slot = slots[i];
      const std::uint32_t state = slot.state.load();
      if (!IsWatched(state) || !Contains(slot, address)) continue;
      ours = IsBroken(state) || Break(slot);  // already replaced: the access just runs again
    }
    handlers_running.fetch_sub(1);
  }
  errno = saved_errno;
  if (!ours) PassOn(signal, info, context);
}

bool InstallHandler() {
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  // On the alternate stack where the thread has one: a fault deep in a small stack still gets handled.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  ::sigemptyset(&action.sa_mask);
  // A thread of the parent may have been inside the handler: a fork child has no such thread.
  ::pthread_atfork(nullptr, nullptr, [] { handlers_running.store(0); });
  return ::sigaction(SIGBUS, &action, &previous_action) == 0;
}

Slot* FindWatched(const void* base) {
  const auto begin = reinterpret_cast<std::uintptr_t>(base);
  const std::size_t used = slots_used.load();
  for (std::size_t i = 0; i < used; ++i) {
    if (IsWatched(slots[i].state.load()) && slots[i].begin.load() == begin) return &slots[i];
  }
  return nullptr;
}

}  // namespace

bool WatchMapping(void* base, std::size_t size) {
  static const bool installed = InstallHandler();
  if (!installed) {
    errno = EINVAL;
    return false;
  }
  for (std::size_t i = 0; i < kSlotCount; ++i) {
    std::uint32_t free = kFree;
    if (!slots[i].state.compare_exchange_strong(free, kClaimed)) continue;
    slots[i].begin.store(reinterpret_cast<std::uintptr_t>(base));
    slots[i].size.store(size);
    std::size_t used = slots_used.load();
    while (used < i + 1 && !slots_used.compare_exchange_weak(used, i + 1)) {
    }
    slots[i].state.store(kIntact);
    return true;
  }
  errno = ENOMEM;
  return false;
}

void UnwatchMapping(void* base) {
  Slot* slot = FindWatched(base);
  if (slot == nullptr) return;
  const std::uint32_t state = slot->state.exchange(kClaimed);
  // A handler that saw the slot watched may be about to replace the range: it must be done before the
  // caller unmaps it and the addresses go to some other mapping.
  while (handlers_running.load() != 0) ::sched_yield();
  if (IsBroken(state)) broken_count.fetch_sub(1);
  slot->state.store(kFree);
}

bool NoMappingBroken() { return broken_count.load(std::memory_order_relaxed) == 0; }

bool MappingIsBroken(const void* address, bool* first_notice) {
  if (first_notice != nullptr) *first_notice = false;
  if (NoMappingBroken()) return false;
  const auto wanted = reinterpret_cast<std::uintptr_t>(address);
  const std::size_t used = slots_used.load();
  for (std::size_t i = 0; i < used; ++i) {
    Slot& slot = slots[i];
    std::uint32_t state = slot.state.load();
    if (!IsBroken(state) || !Contains(slot, wanted)) continue;
    const bool first = state == kBroken && slot.state.compare_exchange_strong(state, kReported);
    if (first_notice != nullptr) *first_notice = first;
    return true;
  }
  return false;
}

bool BreakMapping(void* base) {
  Slot* slot = FindWatched(base);
  return slot != nullptr && Break(*slot);
}

}  // namespace platform::posix
