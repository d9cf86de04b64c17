#include "platform/named_object.h"

#include "platform/win32/object_security.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

struct SecurityRecord {
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{};
  ObjectSecurity outcome;
};

SecurityRecord* BuildSecurityRecord() {
  // Lives until the process ends: objects created from any thread point at it.
  static SecurityRecord record;
  if (!::InitializeSecurityDescriptor(&record.descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    record.outcome = {ObjectSecurity::Failure::kInitializeDescriptor, ::GetLastError()};
  } else if (!::SetSecurityDescriptorDacl(&record.descriptor, TRUE, nullptr, FALSE)) {
    record.outcome = {ObjectSecurity::Failure::kSetDacl, ::GetLastError()};
  }
  record.attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
  record.attributes.lpSecurityDescriptor = &record.descriptor;
  record.attributes.bInheritHandle = FALSE;
  return &record;
}

SecurityRecord& Record() {
  static SecurityRecord* const record = BuildSecurityRecord();
  return *record;
}

}  // namespace

void CloseNamedObject(void* object) { ::CloseHandle(object); }

const ObjectSecurity& SharedObjectSecurity() { return Record().outcome; }

namespace win32 {

SECURITY_ATTRIBUTES* SharedSecurityAttributes() {
  SecurityRecord& record = Record();
  return record.outcome.failure == ObjectSecurity::Failure::kNone ? &record.attributes : nullptr;
}

}  // namespace win32
}  // namespace platform
