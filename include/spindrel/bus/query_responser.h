// Answers queries other clients send: a query is a packet whose "response_channel" names the channel the
// asker waits on and whose body is {"query_id": n, "data": argument}. The handler registered for the
// query id runs on the query pool, and its JSON result goes back to that channel as bare compact text
// with one zero byte. A query that cannot be answered gets no answer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "spindrel/bus/packet.h"
#include "spindrel/export.h"

namespace ipc {

class IpcCore;
class ThreadPool;

// Computes the answer to one query from its argument. May throw: the query then goes unanswered.
using QueryHandler = std::function<nlohmann::json(const nlohmann::json& argument)>;

// Thread-safe.
class SPINDREL_API IpcQueryResponser {
 public:
  static constexpr std::int32_t kThreadCount = 4;

  // Starts the query pool at once.
  IpcQueryResponser();
  ~IpcQueryResponser();
  IpcQueryResponser(const IpcQueryResponser&) = delete;
  IpcQueryResponser& operator=(const IpcQueryResponser&) = delete;

  // Queues the answer of a query packet on the query pool; never waits for the handler. Drops requests
  // with a malformed body, without a handler, or while the pool is stopped.
  void Handle(IpcPacketPtr packet);

  // Inserts or replaces the handler of query_id.
  void Register(std::int32_t query_id, QueryHandler handler);
  // Removes the handler of query_id, if any.
  void Unregister(std::int32_t query_id);
  // Answers every query id that has no handler of its own (none by default).
  void SetDefault(QueryHandler handler);

 private:
  // The bus's start and stop drive the pool.
  friend class IpcCore;

  // Makes the pool again when it is gone.
  void StartPool();
  // Waits up to wait_ms for the pool to go idle, then destroys it (a busy task is still waited for).
  void StopPool(std::uint32_t wait_ms);

  std::mutex lock_;
  std::map<std::int32_t, QueryHandler> handlers_;
  QueryHandler default_;
  std::unique_ptr<ThreadPool> pool_;
};

}  // namespace ipc
