// A writer held between claiming a slot and writing it: a child process that sends one message
// strictly and stops inside the write of its first slot, raising a flag there, until the test lets it
// go (or stops, kills or resumes it for real).
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "support/shared_word.h"
#include "support/test_support.h"
#include "transport/channel_helpers.h"
#include "transport/queue.h"
#include "transport/shm.h"

namespace channel_test {

// Flag words shared with a held child: it raises kHeld when it is held, and goes on once kGo is raised.
inline constexpr std::size_t kHeld = 0;
inline constexpr std::size_t kGo = 1;

// The flags of the child's hook; the hook holds the first write only.
inline const ipc::shm::handle* held_flags = nullptr;
inline std::atomic<bool> held_once{false};

inline void HoldUntilGo() {
  if (held_once.exchange(true)) return;
  test_support::Word(*held_flags, kHeld).store(1);
  Await([] { return test_support::Word(*held_flags, kGo).load() == 1; });
}

// Sends Pattern(arguments[2], 1) strictly on channel arguments[0], held inside the write of its first
// slot until the test raises kGo in the flags arguments[1]. Exit code 0: the send returned true; 10:
// it returned false.
inline const bool kHeldWriterRole =
    test_support::RegisterChildRole("claim-held-writer", [](const std::vector<std::string>& arguments) {
      ipc::channel out(arguments.at(0), false);
      const ipc::shm::handle flags(arguments.at(1), 8);
      if (!flags.valid() || !out.connect(ipc::channel::mode::sender)) return 1;
      held_flags = &flags;
      ipc::queue::set_claimed_hook_for_testing(HoldUntilGo);
      const auto bytes = Pattern(std::stoul(arguments.at(2)), 1);
      return out.send_strict(bytes.data(), bytes.size(), 10'000) ? 0 : 10;
    });

struct HeldWriter {
  HeldWriter(const std::string& channel_name, std::size_t size)
      : flags(test_support::Unique("held-writer-flags"), 8),
        child(test_support::StartChild("claim-held-writer", {channel_name, flags.name(), std::to_string(size)})) {}

  [[nodiscard]] bool Held() const {
    return child && Await([&] { return test_support::Word(flags, kHeld).load() == 1; });
  }
  void Go() const { test_support::Word(flags, kGo).store(1); }
  std::optional<int> ExitCode() { return child->Wait(test_support::kChildDeadline); }

  const ipc::shm::handle flags;
  std::optional<platform::ChildProcess> child;
};

// Receives for at least `span`, expecting nothing.
inline bool NothingArrivesFor(ipc::channel& receiver, std::chrono::milliseconds span) {
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) {
    if (!receiver.recv(50).empty()) return false;
  }
  return true;
}

inline ipc::recv_buffer RecvWithin(ipc::channel& receiver, std::chrono::milliseconds limit) {
  ipc::recv_buffer got;
  Await([&] { return !(got = receiver.recv(50)).empty(); }, limit);
  return got;
}

}  // namespace channel_test
