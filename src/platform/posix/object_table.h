// The process's table of open named objects on Linux (docs/linux-objects.md). Each object is one file
// on tmpfs, mapped once per process however often it is opened; the table counts the process's handles
// and views of it and tears it down with the last one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/named_object.h"

namespace platform::posix {

enum class ObjectKind : std::uint32_t { kSharedMemory = 1, kMutex = 2, kSemaphore = 3 };

// Offsets inside an object file: a header, the payload of a mutex or a semaphore right after it, and
// the bytes of a shared mapping from the second page on.
inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kPageSize = 4096;

struct SemaphoreWords {
  std::uint32_t count;    // 0 .. kSemaphoreMaximum
  std::uint32_t waiters;  // threads inside a futex wait, a hint for posters
};

struct ObjectRecord {
  bool global = false;    // which namespace folder holds the file
  std::string file_name;  // the escaped name inside that folder
  std::string key;        // the table's key: namespace and file name
  ObjectKind kind{};
  std::uint64_t payload_size = 0;  // a mapping's size as its creator chose it
  unsigned char* base = nullptr;   // the whole file; null in a forked child
  std::size_t mapped_size = 0;
  int fd = -1;
  std::uint64_t device = 0;  // identity of the file, to tell whether the name still names it
  std::uint64_t inode = 0;
  // Bookkeeping under the table's lock.
  int handles = 0;
  int views = 0;

  [[nodiscard]] void* Payload() const {
    if (base == nullptr) return nullptr;
    return kind == ObjectKind::kSharedMemory ? base + kPageSize : base + kHeaderSize;
  }
};

struct OpenRequest {
  std::string_view name;  // complete kernel name with its namespace prefix
  ObjectKind kind{};
  std::uint64_t size = 0;      // shared memory only: the size of a new mapping
  bool own_new_mutex = false;  // a mutex created by this call starts owned by the calling thread
  bool open_only = false;      // fail with ENOENT rather than create
};

// Opens the object, creating it (zero-filled) when the name is free. Null on failure, with error set;
// existed tells whether the object was already there.
ObjectRecord* OpenObject(const OpenRequest& request, ErrorCode& error, bool& existed);

// The record behind a handle of the given kind, or null (error set) when the handle is not one.
ObjectRecord* RecordOf(void* handle, ObjectKind kind, ErrorCode& error);

// True while some process holds an object of this kind and name; removes a dead one it finds.
bool ObjectIsHeld(std::string_view name, ObjectKind kind);

// Views of shared memory: each counts like a handle. AddView fails (error set) for a record that was
// found broken or that a fork child inherited.
void* AddView(ObjectRecord* record, ErrorCode& error);
bool RemoveView(void* view);
// True when the view's file was cut short under it, or the view was inherited across a fork; the
// object's name then no longer leads to this record, so the next open opens the file anew.
// first_notice as for MappingIsBroken (memory_trap.h). Cheap while nothing is broken.
bool ForgetIfBroken(const void* view, bool* first_notice);
bool ViewRegionSize(const void* view, std::uint64_t& size);

// Makes the next shared lock that an open or a creation takes fail with this error, as a system out of
// lock records would. Thread-safe.
void FailNextSharedLockForTesting(ErrorCode error);

}  // namespace platform::posix
