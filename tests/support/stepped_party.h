// A thread or a process that stops at every step it reports until a driver lets it go on by one step:
// how tests try every order of two parties' steps. Its state is three 32-bit words, in the test's own
// memory or in a mapping that the driver and a child process share; both sides poll them with a deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

class stepped_party {
 public:
  static constexpr std::size_t words = 3;

  // state points at `words` words that are 0 before the party's first step.
  explicit stepped_party(std::uint32_t* state) : state_(state) {}

  // The party's side: called at its start and at each step. Returns once the driver lets it go on, or
  // at once when it runs free. A driver that never answers lets it go after `limit`, so a child whose
  // parent died ends.
  void arrive(std::chrono::steady_clock::duration limit) {
    const std::uint32_t arrival = word(arrivals).fetch_add(1) + 1;
    await([&] { return word(grants).load() >= arrival || (word(flags).load() & run_free_flag) != 0; }, limit);
  }
  void finish() { word(flags).fetch_or(finished_flag); }

  // The driver's side. Waits until the party stopped at its start (or finished).
  bool started(std::chrono::steady_clock::duration limit) {
    return await([&] { return parked() || finished(); }, limit);
  }
  // Lets a stopped party run to its next step. False when it was not stopped (it finished, or is still
  // on its way: blocked on a lock the other party holds, say) or does not stop again within settle.
  bool step(std::chrono::steady_clock::duration settle) {
    if (!parked() || finished()) return false;
    const std::uint32_t before = word(arrivals).load();
    word(grants).fetch_add(1);
    return await([&] { return word(arrivals).load() > before || finished(); }, settle) && !finished();
  }
  // Lets the party run on without stopping again.
  void run_free() { word(flags).fetch_or(run_free_flag); }
  bool finished_within(std::chrono::steady_clock::duration limit) {
    return await([&] { return finished(); }, limit);
  }

 private:
  enum : std::size_t { arrivals, grants, flags };
  static constexpr std::uint32_t finished_flag = 1;
  static constexpr std::uint32_t run_free_flag = 2;

  std::atomic_ref<std::uint32_t> word(std::size_t index) const { return std::atomic_ref<std::uint32_t>(state_[index]); }
  bool parked() const { return word(arrivals).load() == word(grants).load() + 1; }
  bool finished() const { return (word(flags).load() & finished_flag) != 0; }

  template <typename Done>
  static bool await(Done done, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
  }

  std::uint32_t* state_;
};

// Every order of `sleeper` steps of one party and `waker` steps of the other, as strings of 's' and 'w'.
inline std::vector<std::string> Interleavings(int sleeper, int waker) {
  if (sleeper == 0) return {std::string(static_cast<std::size_t>(waker), 'w')};
  if (waker == 0) return {std::string(static_cast<std::size_t>(sleeper), 's')};
  std::vector<std::string> all;
  for (const std::string& rest : Interleavings(sleeper - 1, waker)) all.push_back('s' + rest);
  for (const std::string& rest : Interleavings(sleeper, waker - 1)) all.push_back('w' + rest);
  return all;
}

}  // namespace test_support
