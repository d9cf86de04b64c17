#include "platform/scheduling.h"

#include <sched.h>

namespace platform {

void YieldThread() { ::sched_yield(); }

}  // namespace platform
