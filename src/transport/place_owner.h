// Who takes and who holds a receiver place, as our receivers record it in the claims object beside the
// queue (docs/channel.md, "Whose place it is"). The queue's registry only says that a bit is taken; the
// record lets a handle whose place was taken from it (evicted, then the bit taken anew) tell, so that it
// neither gives up nor reads from the new holder's place.
//
// The protocol, per place: a receiver records itself as taking the place (reserve) before its
// compare-and-swap of the registry, then as holding it (confirm) after a take that succeeded, or puts
// the old record back (withdraw) after one that failed. A reserve replaces only a record that is not
// another's taking, so two of ours never go for one place at once; and a taking record on a place that
// is held is never taken as proof that the place was lost (a slow loser leaves one there for an
// instant). Another's taking record is waited for while its process lives, and at most a bound, after
// which it counts as not there: a process stopped or killed between its steps, or a forged record,
// must not hold the place for good.
//
// Every function takes a peer's view when the owner has no claims object: nothing is recorded, and
// every place is taken for the owner's own.
#pragma once

#include <chrono>
#include <cstdint>

#include "transport/channel_layout.h"

namespace ipc::place {

// A receiver of ours for one holding of a place: the channel's claims object (null: records nothing)
// and its token (layout::place_token, fresh for every connect).
struct owner {
  layout::claims* claims;
  std::uint64_t token;
};

// An owner that records nothing, as a peer.
inline constexpr owner unrecorded{nullptr, 0};

// How long another receiver's taking record may hold us up. One per waiting loop (or per handle, for
// its reads): it counts from when it first saw the record it is asked about.
class patience {
 public:
  // Whether to stop waiting on taking, another receiver's taking record: its process is gone, or the
  // record has stood unchanged for limit.
  bool spent(std::uint64_t taking);

  static constexpr std::chrono::milliseconds limit{1000};

 private:
  std::uint64_t seen_ = 0;
  std::chrono::steady_clock::time_point since_;
};

// Before the take of bit: records who as taking it, replacing whatever was there (returned in
// replaced). False, and nothing recorded, while another receiver is taking the place (wait permitting)
// or when the record changed under us: look at the registry again.
bool reserve(const owner& who, std::uint32_t bit, patience& wait, std::uint64_t& replaced);

// After a take of bit that failed: puts back what reserve replaced, unless someone has replaced who's
// record meanwhile.
void withdraw(const owner& who, std::uint32_t bit, std::uint64_t replaced);

// After the take of bit: records who as holding it. When a forced write may have evicted who since its
// take (evictable), false (with a level-2 line) if another receiver of ours has recorded itself as the
// holder: the place was evicted and taken anew while who was held up between its take and this call,
// so it is not who's. Otherwise such a record is one left before the take, and is replaced.
bool confirm(const owner& who, std::uint32_t bit, bool evictable);

enum class verdict {
  ours,       // who's record, or nobody else's: the queue has the last word
  theirs,     // another receiver of ours holds the place
  unsettled,  // another receiver is taking it right now (within wait): look again
};

// Whether the place of bit is still who's, as far as the records tell.
verdict whose(const owner& who, std::uint32_t bit, patience& wait);

// Points in reserve where a test may hold a receiver that takes a place: after it chose the bit (its
// view of the registry read) and after it recorded itself as taking it. Not for production use.
enum class step { chosen, reserved };
void set_hook_for_testing(void (*hook)(step));

}  // namespace ipc::place
