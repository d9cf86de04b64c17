#include "platform/shared_memory.h"

#include <cerrno>

#include "platform/posix/object_table.h"

namespace platform {

NamedObject CreateSharedMemory(std::string_view name, std::uint64_t size, ErrorCode& error, bool* existed) {
  bool found = false;
  NamedObject mapping(posix::OpenObject({name, posix::ObjectKind::kSharedMemory, size, false}, error, found));
  if (existed != nullptr) *existed = mapping && found;
  return mapping;
}

NamedObject OpenSharedMemory(std::string_view name, ErrorCode& error) {
  bool found = false;
  posix::OpenRequest request{name, posix::ObjectKind::kSharedMemory, 0, false};
  request.open_only = true;
  return NamedObject(posix::OpenObject(request, error, found));
}

void* MapSharedMemory(const NamedObject& mapping, ErrorCode& error) {
  posix::ObjectRecord* record = posix::RecordOf(mapping.Get(), posix::ObjectKind::kSharedMemory, error);
  if (record == nullptr) return nullptr;
  return posix::AddView(record, error);
}

bool QueryRegionSize(const void* view, std::uint64_t& size, ErrorCode& error) {
  if (posix::ViewRegionSize(view, size)) return true;
  error = EINVAL;
  return false;
}

bool UnmapSharedMemory(void* view) { return posix::RemoveView(view); }

bool SharedMemoryIsBroken(const void* view, bool* first_notice) { return posix::ForgetIfBroken(view, first_notice); }

}  // namespace platform
