#include "common/ipc/core/base/receiver.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/ipc/core/base/quality_monitor.h"
#include "platform/process.h"
#include "spindrel/bus/client.h"
#include "spindrel/bus/handler.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/sender.h"
#include "spindrel/transport/log_sink.h"

namespace ipc {
namespace {

constexpr const char* kSource = "src/common/ipc/core/base/receiver";
constexpr auto kReceiveThreadWait = std::chrono::milliseconds(400);
constexpr std::uint32_t kPoolIdleWaitMs = 5000;
// How often a receiver without a place tries to take one.
constexpr auto kPlaceRetry = std::chrono::milliseconds(50);
// How often the receive thread closes the sender channels that no send has used for a while.
constexpr auto kKeptChannelSweep = std::chrono::seconds(1);

// Clients that would rather end than wait for a hung handler at shutdown.
constexpr std::int32_t kEndWhenStuck[] = {110006, 110009, 200001};

}  // namespace

IpcReceiver::~IpcReceiver() {
  handler_pool_.reset();
  decode_pool_.reset();
  if (receive_task_.valid()) receive_task_.wait();
}

bool IpcReceiver::Start(bool global) {
  const std::string name = GetClientName(IpcCore::Instance().ClientId());
  if (name == kUnknownClientName) {
    log_sink(log_level_failure, kSource, __LINE__, "client_name error!");
    return false;
  }
  channel_.emplace(name, global);
  if (!channel_->valid()) {
    log_sink(log_level_failure, kSource, __LINE__, "connect receiver failed.[Channel]%s", name.c_str());
    return false;
  }
  // All 32 places taken: the receive thread takes one as soon as one frees.
  if (!channel_->connect(channel::mode::receiver)) {
    log_sink(log_level_failure, kSource, __LINE__, "no receiver place free, not receiving until one frees.[Channel]%s",
             name.c_str());
  }
  name_ = name;
  decode_pool_ = std::make_unique<ThreadPool>("decode_pool", kDecodeThreads);
  handler_pool_ = std::make_unique<ThreadPool>("handler_pool", kHandlerThreads);
  receive_task_ = std::async(std::launch::async, [this] { ReceiveMsgThread(); });
  return true;
}

void IpcReceiver::ReceiveMsgThread() {
  const IpcCore& core = IpcCore::Instance();
  auto next_sweep = std::chrono::steady_clock::now() + kKeptChannelSweep;
  for (;;) {
    if (channel_->receiver_bit() == 0) {
      // No place (none was free, or a sender evicted us): nothing reaches this client until it takes one.
      if (stopping_.load() || core.Stopped()) return;
      if (!channel_->connect(channel::mode::receiver)) {
        std::this_thread::sleep_for(kPlaceRetry);
        continue;
      }
      log_sink(log_level_recovery, kSource, __LINE__, "receiver place taken, receiving again.[Channel]%s[Place]%u",
               name_.c_str(), static_cast<unsigned>(channel_->receiver_bit()));
    }
    recv_buffer buffer = channel_->recv();
    if (stopping_.load() || core.Stopped()) return;  // what arrives once the bus stops is dropped
    if (const auto now = std::chrono::steady_clock::now(); now >= next_sweep) {
      CloseIdleKeptChannels();
      next_sweep = now + kKeptChannelSweep;
    }
    if (channel_->receiver_bit() == 0) {
      log_sink(log_level_failure, kSource, __LINE__, "receiver place lost, taking a new one.[Channel]%s",
               name_.c_str());
    }
    if (buffer.empty() || buffer.size() == 0) continue;
    std::string text(static_cast<const char*>(buffer.data()), buffer.size());
    ThreadPool* handler_pool = handler_pool_.get();
    decode_pool_->Submit([text = std::move(text), handler_pool] { Decode(text, handler_pool); }, std::string());
  }
}

void IpcReceiver::Decode(const std::string& text, ThreadPool* handler_pool) {
  try {
    IpcCore& core = IpcCore::Instance();
    IpcPacket parsed = FromWireText(text);
    core.Monitor()->RecordRecv(parsed);
    auto packet = std::make_shared<IpcPacket>(std::move(parsed));
    if (packet->response_channel && !packet->response_channel->empty()) {
      core.Handler()->Handle(std::move(packet));
      return;
    }
    std::string tag = "msg_id=" + std::to_string(packet->msg_id) + ",id=" + packet->unique_id.value_or("");
    handler_pool->Submit([packet = std::move(packet)] { IpcCore::Instance().Handler()->Handle(packet); },
                         std::move(tag));
  } catch (const nlohmann::json::exception& error) {
    log_sink(log_level_filtered, kSource, __LINE__, "parse ipc json failed, [data]: %s", error.what());
  } catch (const std::exception& error) {
    log_sink(log_level_filtered, kSource, __LINE__, "handle ipc json failed, [data]: %s", error.what());
  }
}

void IpcReceiver::Stop() {
  stopping_ = true;
  if (receive_task_.valid()) {
    // stopping_ is already set; ending the channel's wait lets the thread see it at once instead
    // of after its current 200 ms wait. Anything it would still have received is dropped anyway.
    if (channel_) channel_->disconnect();
    receive_task_.wait_for(kReceiveThreadWait);
  }
  // Decode tasks still queued submit to the handler pool, so it goes second.
  DrainPool(decode_pool_);
  DrainPool(handler_pool_);
  if (channel_) channel_->disconnect();
}

void IpcReceiver::DrainPool(std::unique_ptr<ThreadPool>& pool) {
  if (!pool) return;
  if (!pool->WaitIdle(kPoolIdleWaitMs) && !pool->StuckReport().empty()) {
    const std::int32_t client = IpcCore::Instance().ClientId();
    if (std::find(std::begin(kEndWhenStuck), std::end(kEndWhenStuck), client) != std::end(kEndWhenStuck)) {
      platform::TerminateCurrentProcess(0);
    }
  }
  pool.reset();
}

}  // namespace ipc
