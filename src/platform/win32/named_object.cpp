#include "platform/named_object.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/private_bus.h"
#include "platform/unicode.h"
#include "platform/win32/object_name.h"
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

PrivateBus Refused(PrivateBus bus, ErrorCode error, const char* problem) {
  bus.error = error;
  bus.problem = problem;
  return bus;
}

// Only the name matters here: the objects live in the system's namespaces, isolated by their names, and
// the folder holds nothing. It is still made, and refused when a file is in its place, so that a job
// given a wrong folder fails the same way on both systems.
PrivateBus ResolveBus() {
  PrivateBus bus;
  const std::u16string variable = Utf8ToUtf16(kPrivateBusVariable);
  const DWORD length = ::GetEnvironmentVariableW(win32::Wide(variable), nullptr, 0);
  if (length <= 1) return bus;  // unset or empty
  std::wstring value(length, L'\0');
  value.resize(::GetEnvironmentVariableW(win32::Wide(variable), value.data(), length));
  bus.folder = Utf16ToUtf8(win32::FromWide(value.c_str()));
  const std::filesystem::path folder(value);
  if (!folder.is_absolute()) return Refused(std::move(bus), ERROR_BAD_PATHNAME, "not an absolute path");
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);  // what it could not make, the checks below describe
  const DWORD attributes = ::GetFileAttributesW(value.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return Refused(std::move(bus), ::GetLastError(), "cannot be opened or made");
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return Refused(std::move(bus), ERROR_DIRECTORY, "not a folder (a file is in its place)");
  }
  return bus;
}

}  // namespace

const PrivateBus& PrivateBusOfThisProcess() {
  static const PrivateBus bus = ResolveBus();
  return bus;
}

void CloseNamedObject(void* object) { ::CloseHandle(object); }

const ObjectSecurity& SharedObjectSecurity() { return Record().outcome; }

namespace win32 {

bool SystemObjectName(std::string_view name, std::string& system_name, ErrorCode& error) {
  const PrivateBus& bus = PrivateBusOfThisProcess();
  if (bus.error != 0) {
    error = bus.error;
    return false;
  }
  if (bus.folder.empty()) {
    system_name = name;
  } else {
    static const std::string hash = PrivateBusHash(bus.folder);
    system_name = PrivateObjectName(name, hash);
  }
  return true;
}

SECURITY_ATTRIBUTES* SharedSecurityAttributes() {
  SecurityRecord& record = Record();
  return record.outcome.failure == ObjectSecurity::Failure::kNone ? &record.attributes : nullptr;
}

}  // namespace win32
}  // namespace platform
