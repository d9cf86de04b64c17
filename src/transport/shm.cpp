#include "transport/shm.h"

#include <cstddef>
#include <utility>

#include "platform/shared_memory.h"
#include "spindrel/transport/log_sink.h"
#include "transport/channel_layout.h"
#include "transport/object_security.h"

namespace ipc::shm {
namespace {

constexpr const char* source = "src/transport/shm";

}  // namespace

id acquire(std::string_view name, std::uint64_t size, bool global) {
  if (name.empty()) {
    SPINDREL_LOG(log_level_failure, "fail acquire: name is empty\n");
    return nullptr;
  }
  prepare_object_security();
  platform::ErrorCode error = 0;
  platform::NamedObject mapping = platform::CreateSharedMemory(layout::shared_memory_name(global, name), size, error);
  if (!mapping) {
    SPINDREL_LOG(log_level_failure, "fail CreateFileMapping/OpenFileMapping[%d]: %s\n", static_cast<int>(error),
                 std::string(name).c_str());
    return nullptr;
  }
  return new id_record{std::move(mapping), nullptr, size};
}

id open_existing(std::string_view name, bool global) {
  if (name.empty()) return nullptr;
  platform::ErrorCode error = 0;
  platform::NamedObject mapping = platform::OpenSharedMemory(layout::shared_memory_name(global, name), error);
  if (!mapping) return nullptr;  // no such mapping: the caller decides whether that is a failure
  return new id_record{std::move(mapping), nullptr, 0};
}

void* get_mem(id mapping, std::uint64_t* size) {
  if (mapping == nullptr) {
    SPINDREL_LOG(log_level_failure, "fail get_mem: invalid id (null)\n");
    return nullptr;
  }
  if (mapping->view != nullptr) {
    if (size != nullptr) *size = mapping->size;
    return mapping->view;
  }
  if (!mapping->mapping) {
    SPINDREL_LOG(log_level_failure, "fail to_mem: invalid id (h = null)\n");
    return nullptr;
  }
  platform::ErrorCode error = 0;
  void* view = platform::MapSharedMemory(mapping->mapping, error);
  if (view == nullptr) {
    SPINDREL_LOG(log_level_failure, "fail MapViewOfFile[%d]\n", static_cast<int>(error));
    return nullptr;
  }
  // The region, not the size asked for: an existing mapping keeps the size its creator gave it.
  std::uint64_t region = 0;
  if (!platform::QueryRegionSize(view, region, error)) {
    SPINDREL_LOG(log_level_failure, "fail VirtualQuery[%d]\n", static_cast<int>(error));
    platform::UnmapSharedMemory(view);
    return nullptr;
  }
  mapping->view = view;
  mapping->size = region;
  if (size != nullptr) *size = region;
  return view;
}

bool broken(const void* view, std::string_view name) {
  bool first_notice = false;
  if (!platform::SharedMemoryIsBroken(view, &first_notice)) return false;
  if (first_notice) {
    SPINDREL_LOG(log_level_failure, "fail: mapping %s was cut short by another process or inherited by fork\n",
                 std::string(name).c_str());
  }
  return true;
}

int release(id mapping) {
  if (mapping == nullptr) {
    SPINDREL_LOG(log_level_failure, "fail release: invalid id (null)\n");
    return -1;
  }
  if (mapping->view != nullptr && mapping->size != 0) {
    platform::UnmapSharedMemory(mapping->view);
  } else {
    SPINDREL_LOG(log_level_failure, "fail release: invalid id (mem = %p, size = %zd)\n", mapping->view,
                 static_cast<std::ptrdiff_t>(mapping->size));
  }
  if (!mapping->mapping) SPINDREL_LOG(log_level_failure, "fail release: invalid id (h = null)\n");
  delete mapping;  // closes the mapping
  return 0;
}

handle::handle(std::string_view name, std::uint64_t size, bool global) : global_(global) { acquire(name, size); }

handle::handle(handle&& other) noexcept
    : global_(other.global_),
      id_(std::exchange(other.id_, nullptr)),
      view_(std::exchange(other.view_, nullptr)),
      name_(std::move(other.name_)),
      size_(std::exchange(other.size_, 0)) {}

handle& handle::operator=(handle&& other) noexcept {
  if (this != &other) {
    release();
    global_ = other.global_;
    id_ = std::exchange(other.id_, nullptr);
    view_ = std::exchange(other.view_, nullptr);
    name_ = std::move(other.name_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool handle::acquire(std::string_view name, std::uint64_t size, bool global) {
  global_ = global;
  return acquire(name, size);
}

bool handle::acquire(std::string_view name, std::uint64_t size) { return open(name, size, true); }

bool handle::open_existing(std::string_view name) { return open(name, 0, false); }

// The name can still lead to a mapping that broke before anyone noticed; noticing it makes the name
// lead to the object anew, so one more attempt is enough.
bool handle::open(std::string_view name, std::uint64_t size, bool create) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    release();
    name_ = name;
    id_ = create ? shm::acquire(name, size, global_) : shm::open_existing(name, global_);
    if (id_ == nullptr && !create) {  // no such mapping: the caller decides whether that is a failure
      name_.clear();
      return false;
    }
    view_ = get_mem(id_, &size_);
    if (view_ == nullptr || !broken(view_, name_)) break;
  }
  return valid();
}

void handle::release() {
  if (id_ == nullptr) return;
  view_ = nullptr;
  size_ = 0;
  name_.clear();
  shm::release(std::exchange(id_, nullptr));
}

}  // namespace ipc::shm
