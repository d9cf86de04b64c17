// The bus inside one process: filters, dispatch, and joining and leaving.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

#include "common/ipc/core/base/filters.h"
#include "common/ipc/core/base/receiver.h"
#include "platform/named_sync.h"
#include "platform/process.h"
#include "spindrel/bus/handler.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/query_responser.h"
#include "spindrel/bus/sender.h"
#include "spindrel/transport/channel.h"
#include "support/log_capture.h"

namespace {

using test_support::LogCapture;

constexpr std::uint64_t kOtherProcess = 1;  // no test process has pid 1

ipc::IpcPacketPtr Incoming(std::int32_t msg_id) {
  auto packet = std::make_shared<ipc::IpcPacket>();
  packet->from = 110016;
  packet->to = ipc::IpcCore::Instance().ClientId();
  packet->msg_id = msg_id;
  packet->from_process_id = kOtherProcess;
  packet->unique_id = "ID";
  return packet;
}

std::vector<std::string> Texts(const std::vector<test_support::LoggedLine>& lines, int level) {
  std::vector<std::string> texts;
  for (const auto& line : lines) {
    if (line.level == level) texts.push_back(line.text);
  }
  return texts;
}

TEST(Filters, ReportTheFirstReasonThatApplies) {
  LogCapture capture;
  const std::uint64_t own = platform::CurrentProcessId();
  const std::string ids = "[CT]" + std::to_string(ipc::IpcCore::Instance().ClientId()) + "[PID]" + std::to_string(own);

  auto wrong_client = Incoming(7);
  wrong_client->to += 1;
  wrong_client->to_process_id = 12345;  // also wrong, but only the first reason is told
  EXPECT_TRUE(ipc::Filtered(wrong_client));

  auto wrong_process = Incoming(7);
  wrong_process->to_process_id = own + 1;
  EXPECT_TRUE(ipc::Filtered(wrong_process));

  auto own_packet = Incoming(7);
  own_packet->from_process_id = own;
  EXPECT_TRUE(ipc::Filtered(own_packet));
  own_packet->handle_self_ipc = true;
  EXPECT_FALSE(ipc::Filtered(own_packet));

  auto addressed = Incoming(7);
  addressed->to_process_id = own;
  EXPECT_FALSE(ipc::Filtered(addressed));
  EXPECT_FALSE(ipc::Filtered(Incoming(7)));  // to_process_id 0: any process of the client

  const auto lines = Texts(LogCapture::Take(), 1);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[0].starts_with("message was filtered.[Reason]Target client not matched.[PKT]{\"data\":null,"));
  EXPECT_TRUE(lines[0].ends_with(ids + "[MsgId] 7[Id] ID")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("message was filtered.[Reason]Target pid not matched.[PKT]"));
  EXPECT_TRUE(lines[2].starts_with("message was filtered.[Reason]Skip self ipc message.[PKT]"));
}

TEST(Dispatch, HandlersRunByMessageIdWithOrWithoutAnExecutor) {
  LogCapture capture;
  ipc::IpcMsgHandler handler;

  handler.Handle(Incoming(5));
  EXPECT_EQ(Texts(LogCapture::Take(), 2), std::vector<std::string>{"message handler not found.[MsgId]5[Id]ID"});

  // With an executor that runs the work in place, the handler has run when Handle returns.
  std::vector<std::int32_t> handled;
  handler.Register(
      5,
      [&handled](ipc::IpcPacketPtr packet) {
        handled.push_back(packet->msg_id);
        return false;
      },
      [](ipc::IpcPacketPtr, std::function<void()> work) { work(); });
  handler.Handle(Incoming(5));
  EXPECT_EQ(handled, std::vector<std::int32_t>{5});
  EXPECT_EQ(Texts(LogCapture::Take(), 2), std::vector<std::string>{"handle function return false.[MsgId]5[Id]ID"});

  // Without one, each packet runs on a thread of its own.
  std::promise<std::thread::id> ran_on;
  handler.Register(6, [&ran_on](ipc::IpcPacketPtr) {
    ran_on.set_value(std::this_thread::get_id());
    return true;
  });
  handler.Handle(Incoming(6));
  auto future = ran_on.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_NE(future.get(), std::this_thread::get_id());

  handler.Unregister(5);
  handler.Handle(Incoming(5));
  EXPECT_EQ(Texts(LogCapture::Take(), 2).size(), 1u);
}

TEST(Decode, MalformedMessagesAreLoggedAndDropped) {
  LogCapture capture;
  // As received: the text and its terminating zero byte.
  ipc::IpcReceiver::Decode(std::string("not json") + '\0', nullptr);
  ipc::IpcReceiver::Decode(std::string(R"({"data":null,"from":1,"to":2})") + '\0', nullptr);
  const auto lines = Texts(LogCapture::Take(), 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("parse ipc json failed, [data]: [json.exception.parse_error.101]")) << lines[0];
  EXPECT_EQ(lines[1], "parse ipc json failed, [data]: [json.exception.out_of_range.403] key 'msg_id' not found");
}

TEST(Core, JoinLeaveAndJoinAgain) {
  ipc::IpcCore& core = ipc::IpcCore::Instance();
  constexpr std::int32_t kClient = 150001;  // a client no other test joins as
  const bool global = false;

  core.Uninit(true);  // before any Init: nothing to stop, nothing reported
  EXPECT_TRUE(core.Stopped());
  EXPECT_FALSE(ipc::SendPacket(ipc::CreatePacket(110016, 1, nullptr), true));  // refused while stopped

  ASSERT_TRUE(core.Init(kClient, global));
  EXPECT_TRUE(core.Init(kClient, global));  // a second Init changes nothing
  // Joined already: another identity or scope is refused, and the bus stays as it is.
  EXPECT_FALSE(core.Init(140001, global));
  EXPECT_FALSE(core.Init(kClient, !global));
  EXPECT_FALSE(core.Stopped());
  EXPECT_EQ(core.ClientId(), kClient);
  EXPECT_TRUE(ipc::IsClientAlive(kClient, global));
  EXPECT_FALSE(ipc::IsClientAlive(kClient, !global));
  EXPECT_EQ(ipc::CreatePacket(110016, 1, nullptr)->from, kClient);

  core.Uninit(false);
  EXPECT_TRUE(core.Stopped());
  EXPECT_FALSE(ipc::IsClientAlive(kClient, global));

  std::uint32_t second_thread = 0;
  bool joined_again = false;
  std::thread([&] {
    joined_again = core.Init(kClient, global);
    second_thread = platform::CurrentThreadId();
  }).join();
  EXPECT_TRUE(joined_again);
  EXPECT_EQ(core.InitThreadId(), second_thread);
  EXPECT_TRUE(ipc::IsClientAlive(kClient, global));
  core.Uninit(false);
}

TEST(Core, AJoinThatCannotBeSeenFailsButStillSends) {
  LogCapture capture;
  ipc::IpcCore& core = ipc::IpcCore::Instance();
  constexpr std::int32_t kClient = 130001;  // a client no other test joins as
  const bool global = false;
  const std::string mutex_name = ipc::InitedMutexName(kClient, global);

  EXPECT_FALSE(core.Init(110007, global));  // no name, so no channel
  EXPECT_FALSE(core.Init(110007, global));  // not joined, so not the same client either
  EXPECT_EQ(Texts(LogCapture::Take(), 2), std::vector<std::string>{"client_name error!"});
  core.Uninit(false);
  EXPECT_TRUE(core.Stopped());

  {
    // The liveness mutex's name held by an object of another kind: the mutex cannot be created.
    platform::ErrorCode error = 0;
    const platform::NamedObject squatter = platform::CreateNamedSemaphore(mutex_name, error);
    ASSERT_TRUE(squatter) << error;
    EXPECT_FALSE(core.Init(kClient, global));
    EXPECT_FALSE(ipc::IsClientAlive(kClient, global));
    const auto failures = Texts(LogCapture::Take(), 2);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(failures[0].starts_with("create inited mutex failed.[Name]" + mutex_name + "[Error]")) << failures[0];

    // It still sends: a receiver of its own on another client's channel gets the packet.
    ipc::channel peer(ipc::GetClientName(110019), global);
    ASSERT_TRUE(peer.connect(ipc::channel::mode::receiver));
    EXPECT_TRUE(ipc::SendPacket(ipc::CreatePacket(110019, 1, nullptr), global));
    EXPECT_FALSE(peer.recv(1000).empty());

    // The receiver it had started has left the client's channel again.
    ipc::channel own(ipc::GetClientName(kClient), global);
    ASSERT_TRUE(own.connect(ipc::channel::mode::sender));
    EXPECT_FALSE(own.send("x", 2, 10));
    LogCapture::Take();  // the transport's reason for the refused send
    core.Uninit(false);
    EXPECT_TRUE(core.Stopped());
    EXPECT_FALSE(ipc::SendPacket(ipc::CreatePacket(110019, 1, nullptr), global));
  }

  ASSERT_TRUE(core.Init(kClient, global));
  EXPECT_TRUE(ipc::IsClientAlive(kClient, global));
  core.Uninit(false);
  EXPECT_FALSE(ipc::IsClientAlive(kClient, global));
}

TEST(Sender, RefusesTargetsWithoutANameOrNotRunning) {
  LogCapture capture;
  ipc::IpcCore& core = ipc::IpcCore::Instance();
  ASSERT_TRUE(core.Init(140001, false));
  EXPECT_FALSE(ipc::SendPacket(ipc::CreatePacket(110007, 1, nullptr)));
  EXPECT_FALSE(ipc::SendPacket(ipc::CreatePacket(110015, 1, nullptr)));
  EXPECT_EQ(Texts(LogCapture::Take(), 2), (std::vector<std::string>{"client_name error!", "client_name error!"}));
  // A guarded target that is not on the bus is refused before the transport is tried.
  EXPECT_FALSE(ipc::SendPacket(ipc::CreatePacket(200001, 1, nullptr)));
  EXPECT_TRUE(LogCapture::Take().empty());
  core.Uninit(false);
}

}  // namespace
