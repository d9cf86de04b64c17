#include "platform/registry_faults.h"

#include <atomic>

#include "platform/registry.h"

namespace platform {
namespace {

std::atomic<int> write_failures_left{0};

}  // namespace

void FailRegistryWrites(int count) { write_failures_left.store(count > 0 ? count : 0); }

bool registry_faults::TakeWriteFailure() {
  for (int left = write_failures_left.load(); left > 0;) {
    if (write_failures_left.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

}  // namespace platform
