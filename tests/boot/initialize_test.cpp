#include "boot/initialize.h"

#include <gtest/gtest.h>

namespace {

struct SentNotice {
  std::int32_t to;
  std::int32_t msg_id;
  bool operator==(const SentNotice&) const = default;
};

class RecordingBus final : public boot::BusLink {
 public:
  void Join() override {}
  void SendNotice(std::int32_t to, std::int32_t msg_id) override { sent.push_back({to, msg_id}); }
  void Leave() override {}
  std::vector<SentNotice> sent;
};

std::vector<SentNotice> NoticesFor(std::vector<std::u16string> options) {
  options.insert(options.begin(), u"spindrel.exe");
  RecordingBus bus;
  boot::ReportExit(bus, options);
  return bus.sent;
}

TEST(ReportExit, NoticesFollowTheProcessType) {
  using Sent = std::vector<SentNotice>;
  EXPECT_EQ(NoticesFor({u"--process-type", u"2"}), (Sent{{110016, 83000}, {110002, 20017}}));
  EXPECT_EQ(NoticesFor({u"--process-type=6"}), (Sent{{110002, 20017}}));
  EXPECT_EQ(NoticesFor({u"--spe-src", u"1", u"--process-type", u"6", u"--process-type", u"2"}),
            (Sent{{110016, 83000}, {110002, 20017}}));
  for (const auto* other : {u"0", u"9", u"-2", u"abc", u"2x", u""}) {
    EXPECT_TRUE(NoticesFor({u"--process-type", other}).empty());
  }
  EXPECT_TRUE(NoticesFor({}).empty());
}

}  // namespace
