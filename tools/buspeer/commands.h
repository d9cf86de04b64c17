// The commands of buspeer. Each returns the process exit code and says on stderr why it failed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace buspeer {

inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;  // the bus refused, nothing arrived, or fewer packets than asked for
inline constexpr int kUsage = 2;

// How long `query` waits for its answer unless told otherwise.
inline constexpr std::uint64_t kDefaultQueryTimeoutMs = 1000;

struct Scope {
  std::optional<bool> global;  // --global / --local; otherwise the program's own choice
};

struct ListenOptions {
  std::int32_t client = 0;
  Scope scope;
  std::optional<std::uint64_t> count;    // stop after this many packets
  std::uint64_t timeout_ms = 0;          // 0: no limit
  std::optional<nlohmann::json> answer;  // answer every query with this value
};

struct WatchOptions {
  std::int32_t client = 0;
  Scope scope;
  std::optional<std::uint64_t> count;
  std::uint64_t timeout_ms = 0;
};

struct SendOptions {
  std::int32_t from = 0;
  std::int32_t to = 0;
  std::int32_t msg_id = 0;
  nlohmann::json data;
  Scope scope;
  std::optional<std::int32_t> query_id;  // set for a query: wait for the answer
  std::uint64_t timeout_ms = kDefaultQueryTimeoutMs;
};

int Listen(const ListenOptions& options);
int Watch(const WatchOptions& options);
int Send(const SendOptions& options);
int Clients(bool json);
int Stats(bool json);

// Routes the bus's diagnostics: every line to stderr when verbose, and the last failure kept for the
// messages above.
void CollectDiagnostics(bool verbose);

}  // namespace buspeer
