#include "transport/place_owner.h"

#include <atomic>
#include <bit>

#include "platform/process.h"
#include "spindrel/transport/log_sink.h"
#include "transport/backoff.h"

namespace ipc::place {
namespace {

constexpr const char* source = "src/transport/place_owner";

using layout::shared;

std::atomic<void (*)(step)> hook{nullptr};

void at(step s) {
  if (auto* h = hook.load()) h(s);
}

std::atomic_ref<std::uint64_t> record_of(const owner& who, std::uint32_t bit) {
  return shared(who.claims->owners[std::countr_zero(bit) % layout::max_receivers]);
}

std::uint64_t taking(const owner& who) { return who.token | layout::place_taking; }

bool is_taking(std::uint64_t record) { return (record & layout::place_taking) != 0; }

// Whether record is another receiver's taking record that we still wait for.
bool held_up_by(const owner& who, std::uint64_t record, patience& wait) {
  return is_taking(record) && record != taking(who) && !wait.spent(record);
}

}  // namespace

bool patience::spent(std::uint64_t taking) {
  const auto now = std::chrono::steady_clock::now();
  if (taking != seen_) {
    seen_ = taking;
    since_ = now;
  }
  return now - since_ >= limit || platform::ProcessGone(layout::place_pid(taking));
}

bool reserve(const owner& who, std::uint32_t bit, patience& wait, std::uint64_t& replaced) {
  at(step::chosen);
  if (who.claims == nullptr) return true;
  std::uint64_t seen = record_of(who, bit).load();
  if (held_up_by(who, seen, wait)) return false;
  if (!record_of(who, bit).compare_exchange_strong(seen, taking(who))) return false;
  replaced = seen;
  at(step::reserved);
  return true;
}

void withdraw(const owner& who, std::uint32_t bit, std::uint64_t replaced) {
  if (who.claims == nullptr) return;
  std::uint64_t mine = taking(who);
  record_of(who, bit).compare_exchange_strong(mine, replaced);
}

bool confirm(const owner& who, std::uint32_t bit, bool evictable) {
  if (who.claims == nullptr) return true;
  patience wait;
  for (std::uint32_t k = 0;; backoff(k)) {
    std::uint64_t seen = record_of(who, bit).load();
    if (seen == who.token) return true;
    // A holding record where ours stood: a receiver took the bit after our eviction, or (we were held
    // up past the bound between record and take, so another replaced our record) one held the place
    // and left it before our take. Only a forced write since our take allows the first.
    if (evictable && seen != 0 && !is_taking(seen)) {
      SPINDREL_LOG(log_level_failure,
                   "fail: connect, the receiver place %u was taken by another receiver while we took it\n",
                   static_cast<unsigned>(bit));
      return false;
    }
    // Another's taking record: a loser of the race for the bit, which puts ours back when its take fails.
    if (held_up_by(who, seen, wait)) continue;
    if (record_of(who, bit).compare_exchange_strong(seen, who.token)) return true;
  }
}

verdict whose(const owner& who, std::uint32_t bit, patience& wait) {
  if (who.claims == nullptr) return verdict::ours;
  const std::uint64_t seen = record_of(who, bit).load();
  if (seen == who.token || seen == 0) return verdict::ours;
  if (is_taking(seen)) return held_up_by(who, seen, wait) ? verdict::unsettled : verdict::ours;
  return verdict::theirs;
}

void set_hook_for_testing(void (*h)(step)) { hook.store(h); }

}  // namespace ipc::place
