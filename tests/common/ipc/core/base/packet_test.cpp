#include "spindrel/bus/packet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <limits>
#include <regex>
#include <set>

#include "platform/process.h"
#include "spindrel/bus/client.h"
#include "spindrel/bus/handler.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/transport/channel.h"
#include "support/bus_peers.h"
#include "support/log_capture.h"

namespace {

using nlohmann::json;
using namespace std::string_literals;

ipc::IpcPacket Read(const std::string& text) { return ipc::FromWireText(text + '\0'); }

// Runs the reader and returns the library error it throws: its id and text.
std::pair<int, std::string> ReadError(const std::string& text) {
  try {
    Read(text);
  } catch (const json::exception& error) {
    return {error.id, error.what()};
  }
  return {0, ""};
}

TEST(Packet, ExampleNoticeHasItsExactWireText) {
  ipc::IpcPacket packet(110013, 110016, 83000, nullptr);
  packet.uac = true;
  packet.send_time_us = 1765140000123456;
  packet.unique_id = "9C4E2A17-5B3D-4F80-A6E1-27D08C3B5F94";
  packet.from_process_id = 7140;
  EXPECT_EQ(ipc::ToWireText(packet),
            R"({"data":null,"from":110013,"from_process_id":7140,"handle_self_ipc":false,"msg_id":83000,)"
            R"("send_time_us":1765140000123456,"to":110016,"to_process_id":0,"uac":true,)"
            R"("unique_id":"9C4E2A17-5B3D-4F80-A6E1-27D08C3B5F94"})"s +
                '\0');
}

TEST(Packet, OutgoingPacketsDescribeThisProcess) {
  const std::uint64_t before = ipc::NowUs();
  const ipc::IpcPacket first(110013, 110002, 20017, json{{"k", 1}});
  const ipc::IpcPacket second(110013, 110002, 20017, nullptr);
  const std::uint64_t after = ipc::NowUs();

  EXPECT_EQ(first.data, (json{{"k", 1}}));
  EXPECT_EQ(first.uac, ipc::IsProcessElevated());
  EXPECT_EQ(first.handle_self_ipc, false);
  ASSERT_TRUE(first.send_time_us);
  EXPECT_GE(*first.send_time_us, before);
  EXPECT_LE(*first.send_time_us, after);
  EXPECT_EQ(first.from_process_id, platform::CurrentProcessId());
  EXPECT_EQ(first.to_process_id, 0u);
  EXPECT_FALSE(first.response_channel);

  const std::regex guid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  ASSERT_TRUE(first.unique_id && second.unique_id);
  EXPECT_TRUE(std::regex_match(*first.unique_id, guid)) << *first.unique_id;
  EXPECT_NE(first.unique_id, second.unique_id);
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) ids.insert(ipc::NewUniqueId());
  EXPECT_EQ(ids.size(), 1000u);
}

TEST(Packet, WriterLeavesOutAbsentFieldsAndKeepsTextRaw) {
  ipc::IpcPacket packet;
  packet.uac.reset();
  packet.handle_self_ipc.reset();
  packet.from_process_id.reset();
  packet.to_process_id.reset();
  packet.from = -1;
  EXPECT_EQ(ipc::ToWireText(packet), R"({"data":null,"from":-1,"msg_id":0,"to":0})"s + '\0');

  packet.data = json{{"text", "\xC3\xBC \"q\"\n"}, {"list", {1, 2.5, false}}};
  packet.response_channel = "reply";
  EXPECT_EQ(ipc::ToWireText(packet),
            "{\"data\":{\"list\":[1,2.5,false],\"text\":\"\xC3\xBC \\\"q\\\"\\n\"},\"from\":-1,\"msg_id\":0,"
            "\"response_channel\":\"reply\",\"to\":0}"s +
                '\0');

  packet.unique_id = "\xFF";  // not UTF-8: nothing may be sent
  try {
    ipc::ToWireText(packet);
    ADD_FAILURE() << "invalid UTF-8 was serialised";
  } catch (const json::type_error& error) {
    EXPECT_EQ(error.id, 316);
  }
}

TEST(Packet, ReaderStartsFromTheDefaults) {
  const ipc::IpcPacket packet = Read(R"({"data":null,"from":110013,"msg_id":83000,"to":110016})");
  EXPECT_EQ(packet.from, 110013);
  EXPECT_EQ(packet.to, 110016);
  EXPECT_EQ(packet.msg_id, 83000);
  EXPECT_TRUE(packet.data.is_null());
  EXPECT_EQ(packet.uac, true);
  EXPECT_EQ(packet.handle_self_ipc, false);
  EXPECT_EQ(packet.from_process_id, 0u);
  EXPECT_EQ(packet.to_process_id, 0u);
  EXPECT_FALSE(packet.send_time_us);
  EXPECT_FALSE(packet.unique_id);
  EXPECT_FALSE(packet.response_channel);
}

TEST(Packet, ReaderConvertsNumbersAndIgnoresOptionalMembersOfTheWrongType) {
  const ipc::IpcPacket packet =
      Read(R"({"data":[1],"from":4294967297,"msg_id":83000.9,"to":-1.9,"send_time_us":-1,"uac":1,)"
           R"("handle_self_ipc":true,"to_process_id":"12","from_process_id":7.8,"unique_id":null,)"
           R"("response_channel":"answers"})");
  EXPECT_EQ(packet.from, 1);  // the low 32 bits
  EXPECT_EQ(packet.msg_id, 83000);
  EXPECT_EQ(packet.to, -1);
  EXPECT_EQ(packet.data, json::array({1}));
  EXPECT_EQ(packet.send_time_us, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(packet.uac, true);
  EXPECT_EQ(packet.handle_self_ipc, true);
  EXPECT_EQ(packet.to_process_id, 0u);
  EXPECT_EQ(packet.from_process_id, 7u);
  EXPECT_FALSE(packet.unique_id);
  EXPECT_EQ(packet.response_channel, "answers");

  // Numbers beyond every integer range are cut to a defined value rather than left undefined.
  const ipc::IpcPacket huge = Read(R"({"data":0,"from":1e300,"msg_id":-1e300,"to":0,"send_time_us":1e30})");
  EXPECT_EQ(huge.from, -1);
  EXPECT_EQ(huge.msg_id, 0);
  EXPECT_EQ(huge.send_time_us, std::numeric_limits<std::uint64_t>::max());
}

TEST(Packet, ReaderReportsTheLibrarysErrors) {
  auto [id, text] = ReadError(R"({"data":null,"from":1,"msg_id":"83000","to":2})");
  EXPECT_EQ(id, 302);
  EXPECT_NE(text.find("type must be number, but is string"), std::string::npos) << text;

  std::tie(id, text) = ReadError(R"({"data":null,"from":1,"msg_id":true,"to":2})");
  EXPECT_EQ(id, 302);

  std::tie(id, text) = ReadError(R"({"from":1,"msg_id":2,"to":3})");
  EXPECT_EQ(id, 403);
  EXPECT_NE(text.find("key 'data' not found"), std::string::npos) << text;

  std::tie(id, text) = ReadError(R"([1,2])");
  EXPECT_EQ(id, 304);
  EXPECT_NE(text.find("cannot use at() with array"), std::string::npos) << text;

  for (const auto* broken : {"", "{", R"({"data":null,"from":1,"msg_id":2,"to":3} x)"}) {
    try {
      Read(broken);
      ADD_FAILURE() << broken;
    } catch (const json::parse_error&) {
    }
  }
}

TEST(Packet, WireTextEndsAtTheFirstZeroByte) {
  const std::string bytes = R"({"data":null,"from":1,"msg_id":2,"to":3} )"s + '\0' + "garbage{";
  EXPECT_EQ(ipc::FromWireText(bytes).msg_id, 2);

  const ipc::IpcPacket sent(110013, 110016, 83000, json{{"a", "\xE2\x82\xAC"}});
  const ipc::IpcPacket received = ipc::FromWireText(ipc::ToWireText(sent));
  EXPECT_EQ(ipc::ToWireText(received), ipc::ToWireText(sent));
}

// A packet whose body is `levels` arrays inside each other; the whole text nests one level more.
std::string Nested(std::size_t levels, const std::string& tail = R"(,"from":1,"msg_id":2,"to":3})") {
  return R"({"data":)" + std::string(levels, '[') + std::string(levels, ']') + tail;
}

TEST(Packet, ReaderRefusesTextBeyondItsBoundsBeforeParsing) {
  EXPECT_TRUE(Read(Nested(ipc::kMaxPacketDepth - 1)).data.is_array());
  for (const std::size_t levels : {ipc::kMaxPacketDepth, std::size_t{100'000}}) {
    const auto [id, text] = ReadError(Nested(levels));
    EXPECT_EQ(id, 101) << levels;
    EXPECT_NE(text.find("nests deeper than 512 levels"), std::string::npos) << text;
  }

  // Brackets inside strings are text, also after escaped quotes and backslashes...
  const std::string brackets = R"(\\\"[{)" + std::string(1000, '[');
  EXPECT_EQ(Read(R"({"data":")" + brackets + R"(","from":1,"msg_id":2,"to":3})").data.get<std::string>(),
            "\\\"[{" + std::string(1000, '['));
  // ...and a string that ends in an escaped backslash does not swallow the brackets after it.
  EXPECT_EQ(ReadError(R"({"data":["\\",)" + std::string(600, '[') + std::string(601, ']') + "}").first, 101);

  // The size counts the text up to the zero byte.
  const std::string head = R"({"from":1,"msg_id":2,"to":3,"data":")";
  const std::string largest = head + std::string(ipc::kMaxPacketBytes - head.size() - 2, 'x') + "\"}";
  EXPECT_EQ(ipc::FromWireText(largest + '\0' + "after the end").msg_id, 2);
  const auto [id, text] = ReadError(head + 'x' + largest.substr(head.size()));
  EXPECT_EQ(id, 101);
  EXPECT_NE(text.find("exceeds the limit of 1048576 bytes"), std::string::npos) << text;
}

TEST(PacketOnTheBus, ClientDropsATooDeepPacketAndReceivesTheNext) {
  constexpr std::int32_t kClient = 110022;  // a client no other test joins as
  constexpr std::int32_t kMsgId = 9;
  test_support::LogCapture capture;
  ipc::IpcCore& core = ipc::IpcCore::Instance();
  ASSERT_TRUE(core.Init(kClient, false));
  std::atomic<bool> deep_arrived{false};
  std::promise<json> received;
  core.Handler()->Register(kMsgId, [&](ipc::IpcPacketPtr packet) {
    if (packet->data.is_array()) {
      deep_arrived = true;
    } else {
      received.set_value(packet->data);
    }
    return true;
  });

  ipc::channel sender(ipc::GetClientName(kClient), false);
  ASSERT_TRUE(sender.connect(ipc::channel::mode::sender));
  const std::string deep = Nested(100'000, R"(,"from":110016,"msg_id":9,"to":110022})") + '\0';
  ASSERT_TRUE(sender.send_strict(deep.data(), deep.size(), 5000));
  ipc::IpcPacket normal(110016, kClient, kMsgId, json{{"after", "deep"}});
  normal.handle_self_ipc = true;  // sent from this very process
  const std::string text = ipc::ToWireText(normal);
  ASSERT_TRUE(sender.send_strict(text.data(), text.size(), 5000));

  auto arrival = received.get_future();
  ASSERT_EQ(arrival.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(arrival.get(), (json{{"after", "deep"}}));
  EXPECT_FALSE(deep_arrived);
  // The two are decoded on different threads: the refusal may be logged after the arrival.
  std::vector<test_support::LoggedLine> lines;
  const auto refused = [&lines] {
    for (auto& line : test_support::LogCapture::Take()) lines.push_back(std::move(line));
    return std::any_of(lines.begin(), lines.end(), [](const auto& line) {
      return line.level == 1 && line.text.find("nests deeper than 512 levels") != std::string::npos;
    });
  };
  EXPECT_TRUE(test_support::PollUntil(refused));
  core.Handler()->Unregister(kMsgId);
  core.Uninit(false);
}

}  // namespace
