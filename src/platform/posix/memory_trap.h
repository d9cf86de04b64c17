// Guards this process against mappings whose file another process cuts short. A file on tmpfs can be
// truncated, or left with pages that cannot be backed (a sparse file planted in a full /dev/shm), by
// anyone who may write it; touching such a page raises SIGBUS, which would kill us. The trap catches
// SIGBUS on the ranges it watches, puts zero-filled private memory in place of the whole range and
// marks it broken, so the faulting access completes and the owner learns of it on its next check.
//
// Watched ranges live in a fixed table that the signal handler reads without locks. Watch and Unwatch
// may race with the handler but not with each other on the same range; the object table serialises
// them. A SIGBUS outside every watched range goes to the handler that was installed before ours.
#pragma once

#include <cstddef>

namespace platform::posix {

// Starts watching [base, base + size). False when the table is full or the handler cannot be
// installed (errno set); the range is then not watched.
bool WatchMapping(void* base, std::size_t size);

// Stops watching the range that starts at base, before it is unmapped: once this returns, no signal
// handler touches it any more.
void UnwatchMapping(void* base);

// True when no watched range is broken: one atomic load, for the common case.
bool NoMappingBroken();

// True when address lies in a watched range that is broken. first_notice (optional) is set to true for
// exactly one caller per broken range, the one that should report it.
bool MappingIsBroken(const void* address, bool* first_notice);

// Replaces the watched range that starts at base with zero-filled private memory and marks it broken,
// as the handler does on a fault. A fork child does this to every view it inherited. False when base
// starts no watched range or the memory cannot be replaced.
bool BreakMapping(void* base);

}  // namespace platform::posix
