// A sibling program on the bus: joins as the client named on its command line, prints the exit notices
// it is sent, answers a status query whenever asked, and leaves after a number of notices. With --ask it
// first asks another client the same status query and prints the answer.
//
//   sibling <client id or name> [--global | --local] [--notices N] [--timeout MS] [--ask <client>]
//
// Leaves after N notices (2 by default). Exit codes: 0 they arrived; 1 they did not within the timeout
// (30 s by default) or the bus could not be joined; 2 a usage error.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <spindrel/bus.h>

namespace {

// What the exit monitor sends: 83000 to the game service, 20017 to the emulator. Any client may be
// sent either.
constexpr std::int32_t kExitNotices[] = {83000, 20017};
// {"query_id": 1, "data": anything} asks how many notices this program has seen.
constexpr std::int32_t kStatusQuery = 1;

std::mutex output_lock;

void PrintLine(const std::string& line) {
  const std::lock_guard lock(output_lock);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);  // a reader waits for each line as it comes
}

std::optional<std::int32_t> ParseClient(std::string_view text) {
  if (auto id = ipc::FindClientId(text)) return id;
  std::int32_t id = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || id > 100'000'000) return std::nullopt;
    id = id * 10 + (c - '0');
  }
  if (text.empty() || ipc::GetClientName(id) == ipc::kUnknownClientName) return std::nullopt;
  return id;
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: sibling <client id or name> [--global | --local] [--notices N] [--timeout MS] [--ask <client>]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::optional<std::int32_t> client = ParseClient(argv[1]);
  if (!client) return Usage();
  std::optional<bool> global;
  std::optional<std::int32_t> asked;
  long timeout_ms = 30'000;
  long wanted = 2;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--global") {
      global = true;
    } else if (arg == "--local") {
      global = false;
    } else if (arg == "--notices" && i + 1 < argc) {
      wanted = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--timeout" && i + 1 < argc) {
      timeout_ms = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--ask" && i + 1 < argc) {
      asked = ParseClient(argv[++i]);
      if (!asked) return Usage();
    } else {
      return Usage();
    }
  }

  ipc::IpcCore& bus = ipc::IpcCore::Instance();
  std::mutex state_lock;
  std::condition_variable notices_changed;
  long notices = 0;

  // Runs each notice in place, on the bus thread that dispatches it (notices may be dispatched on
  // several threads at once, so their order is not kept). Without an executor each notice would get a
  // thread of its own.
  const ipc::PacketExecutor in_place = [](ipc::IpcPacketPtr, std::function<void()> work) { work(); };
  for (const std::int32_t msg_id : kExitNotices) {
    bus.Handler()->Register(
        msg_id,
        [&](ipc::IpcPacketPtr packet) {
          {
            const std::lock_guard lock(state_lock);
            ++notices;
          }
          PrintLine("notice " + std::to_string(packet->msg_id) + " from " + std::to_string(packet->from) + ": " +
                    packet->data.dump());
          notices_changed.notify_all();
          return true;
        },
        in_place);
  }
  // Query handlers run on the bus's query pool; the value returned goes back to the asker. The answer
  // is sent after the handler returns; Uninit waits for the queries already received to be answered.
  bus.Responder()->Register(kStatusQuery, [&](const nlohmann::json&) {
    nlohmann::json status;
    {
      const std::lock_guard lock(state_lock);
      status = {{"client", ipc::GetClientName(*client)}, {"notices", notices}};
    }
    PrintLine("answered query " + std::to_string(kStatusQuery) + " with " + status.dump());
    return status;
  });

  // Init reports why it failed through log_sink; its result is all a program needs to decide.
  if (!(global ? bus.Init(*client, *global) : bus.Init(*client))) {
    std::fprintf(stderr,
                 "sibling: could not join the bus as %s: its channel or its liveness mutex could not be taken\n",
                 ipc::GetClientName(*client).c_str());
    return 1;
  }
  PrintLine("joined as " + ipc::GetClientName(*client) + " (" + std::to_string(*client) + ") in the " +
            (bus.Global() ? "global" : "local") + " scope");

  if (asked) {
    // One call sends the query and waits for the answer on a reply channel of its own; without an
    // answer in time it returns nothing and says why through log_sink.
    const std::optional<nlohmann::json> answer = ipc::Ask(*asked, kStatusQuery, nullptr, std::chrono::seconds(5));
    PrintLine("asked " + ipc::GetClientName(*asked) + ": " + (answer ? answer->dump() : "no answer"));
  }

  bool done = false;
  {
    std::unique_lock lock(state_lock);
    done = notices_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return notices >= wanted; });
  }
  bus.Uninit(false);
  bus.Handler()->Unregister(kExitNotices[0]);
  bus.Handler()->Unregister(kExitNotices[1]);
  bus.Responder()->Unregister(kStatusQuery);
  PrintLine(done ? "left" : "left: too few notices");
  return done ? 0 : 1;
}
