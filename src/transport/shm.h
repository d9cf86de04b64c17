// Named shared memory of the transport. A mapping called N lives under the kernel name
// "Global\__IPC_SHM__N" or "Local\__IPC_SHM__N"; every process that acquires the same name with the same
// global flag meets the same bytes. A new mapping is zero-filled; an existing one keeps the size its
// creator chose; a mapping lives while any process holds it.
//
// Failures are returned (null, false, -1) and reported through log_sink; nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/named_object.h"

namespace ipc::shm {

// One opened mapping, owned by whoever acquired it until shm::release.
struct id_record {
  platform::NamedObject mapping;
  void* view = nullptr;    // null until get_mem maps it
  std::uint64_t size = 0;  // the size asked for; once mapped, the size of the mapped region
};
using id = id_record*;

// Creates the mapping of size bytes or opens the existing one; null on failure (an empty name is one).
id acquire(std::string_view name, std::uint64_t size, bool global);

// Opens the existing mapping called name, never creating it; null when there is none or on failure.
id open_existing(std::string_view name, bool global);

// Maps the view on first use and returns it, with the mapped region's size (whole pages) in *size
// when size is not null. Null on failure.
void* get_mem(id mapping, std::uint64_t* size);

// Unmaps the view, closes the mapping and frees the record: 0, or -1 for a null id.
int release(id mapping);

// True when another process cut the mapping's file short under the view, or the view was inherited
// across a fork: the memory behind it is zero-filled and shared with nobody, and the mapping must be
// released and acquired again. Logs the first time a view is found so. Cheap while nothing is broken.
bool broken(const void* view, std::string_view name);

// Process-local owner of one named mapping. Valid while it has a view that is not broken. Not
// thread-safe: one thread at a time changes a handle; valid() and get() may be called from several.
class handle {
 public:
  handle() = default;
  explicit handle(bool global) : global_(global) {}
  // Acquires at once; test valid() afterwards.
  handle(std::string_view name, std::uint64_t size, bool global = true);
  ~handle() { release(); }

  handle(handle&& other) noexcept;
  handle& operator=(handle&& other) noexcept;
  handle(const handle&) = delete;
  handle& operator=(const handle&) = delete;

  // Releases what is held, then acquires name with the given global flag (or the handle's own flag,
  // which the given one replaces). True when the view is mapped.
  bool acquire(std::string_view name, std::uint64_t size);
  bool acquire(std::string_view name, std::uint64_t size, bool global);
  // As acquire, but only an existing mapping (of any size) is opened: false when there is none.
  bool open_existing(std::string_view name);
  void release();

  [[nodiscard]] bool valid() const { return view_ != nullptr && !broken(view_, name_); }
  [[nodiscard]] void* get() const { return view_; }
  [[nodiscard]] std::uint64_t size() const { return size_; }  // the mapped size, 0 when none
  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] bool global() const { return global_; }

 private:
  bool open(std::string_view name, std::uint64_t size, bool create);

  bool global_ = true;
  id id_ = nullptr;
  void* view_ = nullptr;
  std::string name_;
  std::uint64_t size_ = 0;
};

}  // namespace ipc::shm
