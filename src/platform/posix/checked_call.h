// The POSIX backend's helpers around C library calls: one way to retry an interrupted call and keep its
// errno, whole reads and writes, the owner of a mapping, and the small pieces of name building and
// mutex inspection that several files of the backend share.
#pragma once

#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/name_hash.h"
#include "platform/unique_handle.h"

namespace platform::posix {

// Runs a call that reports failure as -1 with errno, again for as long as a signal interrupts it. The
// result is the call's; after a failure errno still holds the call's own error.
template <typename Call>
auto RetryOnInterrupt(Call&& call) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// The same for calls whose only result is success: 0, or the errno of the failure.
template <typename Call>
int CallError(Call&& call) {
  return RetryOnInterrupt(call) == -1 ? errno : 0;
}

// Writes every byte at the file's position. False (errno set) when the system takes no more.
inline bool WriteAll(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = RetryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (put <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

// Reads exactly bytes.size() bytes from the offset on. False when the file ends first or a read fails.
inline bool ReadAll(int fd, std::span<std::byte> bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t got = RetryOnInterrupt([&] { return ::pread(fd, bytes.data(), bytes.size(), offset); });
    if (got <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(got));
    offset += got;
  }
  return true;
}

// A mapped region and its owner: unmapped exactly once, when the owner lets go of it.
struct MappedRegion {
  unsigned char* base = nullptr;
  std::size_t size = 0;
  bool operator==(const MappedRegion&) const = default;
};

struct MappedRegionTraits {
  using Handle = MappedRegion;
  static constexpr Handle Invalid() { return {}; }
  static void Close(Handle region) { ::munmap(region.base, region.size); }
};

using OwnedMapping = UniqueHandle<MappedRegionTraits>;

// Maps the first size bytes of the file for reading and writing, shared with other processes. An empty
// owner (errno set) on failure.
inline OwnedMapping MapShared(int fd, std::size_t size) {
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return OwnedMapping();
  return OwnedMapping({static_cast<unsigned char*>(base), size});
}

using platform::AppendHex;
using platform::Fnv1a64;  // part of the file names on disk

// Writes a name as a file name: ASCII letters, digits, '_' and '-' stand for themselves, every other
// code unit becomes '%' and its hexadecimal value, two digits for a byte and four for a UTF-16 unit. No
// name can thus become "." or "..", hold a '/', or start like another kind of entry.
template <typename Unit>
std::string EscapeName(std::basic_string_view<Unit> name) {
  static_assert(std::is_same_v<Unit, char> || std::is_same_v<Unit, char16_t>);
  std::string escaped;
  escaped.reserve(name.size());
  for (const Unit unit : name) {
    const auto value = static_cast<std::make_unsigned_t<Unit>>(unit);
    if ((value >= 'A' && value <= 'Z') || (value >= 'a' && value <= 'z') || (value >= '0' && value <= '9') ||
        value == '_' || value == '-') {
      escaped += static_cast<char>(value);
    } else {
      escaped += '%';
      AppendHex(escaped, value, 2 * sizeof(Unit));
    }
  }
  return escaped;
}

// The thread id that owns a robust mutex, 0 when it is free. The kernel's robust-futex protocol keeps
// it in the low bits of the mutex's first word, the one word of the object files' mutexes that another
// program reads as well; the layout checked here is glibc's on x86-64, the one the files hold.
static_assert(sizeof(pthread_mutex_t) == 40, "object files hold glibc's x86-64 pthread_mutex_t");
static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0, "the robust-futex word leads the mutex");
inline int MutexOwnerThread(pthread_mutex_t* mutex) {
  return std::atomic_ref<int>(mutex->__data.__lock).load() & FUTEX_TID_MASK;
}

}  // namespace platform::posix
