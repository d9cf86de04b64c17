// The 32-bit words of a mapping that tests and their children share as flags and counters.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "transport/shm.h"

namespace test_support {

inline std::atomic_ref<std::uint32_t> Word(const ipc::shm::handle& mapping, std::size_t index = 0) {
  return std::atomic_ref<std::uint32_t>(static_cast<std::uint32_t*>(mapping.get())[index]);
}

}  // namespace test_support
