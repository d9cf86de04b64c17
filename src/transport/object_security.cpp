#include "transport/object_security.h"

#include "platform/named_object.h"
#include "platform/private_bus.h"
#include "spindrel/transport/log_sink.h"

namespace ipc {
namespace {

constexpr const char* source = "src/transport/object_security";

bool report_object_security() {
  const platform::ObjectSecurity& security = platform::SharedObjectSecurity();
  const int error = static_cast<int>(security.error);
  switch (security.failure) {
    case platform::ObjectSecurity::Failure::kInitializeDescriptor:
      SPINDREL_LOG(log_level_failure, "fail InitializeSecurityDescriptor[%d]\n", error);
      break;
    case platform::ObjectSecurity::Failure::kSetDacl:
      SPINDREL_LOG(log_level_failure, "fail SetSecurityDescriptorDacl[%d]\n", error);
      break;
    case platform::ObjectSecurity::Failure::kNone:
      break;
  }
  if (const platform::PrivateBus& bus = platform::PrivateBusOfThisProcess(); bus.error != 0) {
    SPINDREL_LOG(log_level_failure, "fail: private bus %s=%s refused[%u]: %s; no object of the bus can be opened\n",
                 platform::kPrivateBusVariable, bus.folder.c_str(), static_cast<unsigned>(bus.error),
                 bus.problem.c_str());
  }
  return true;
}

}  // namespace

void prepare_object_security() { static const bool reported [[maybe_unused]] = report_object_security(); }

}  // namespace ipc
