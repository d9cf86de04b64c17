#include "spindrel/bus/client.h"

#include <gtest/gtest.h>

namespace {

TEST(Client, IdsWithoutAProgramAreUnknown) {
  EXPECT_EQ(ipc::GetClientName(110001), "AppMarket");  // the first and last rows
  EXPECT_EQ(ipc::GetClientName(200001), "TwAppMarket");
  EXPECT_EQ(ipc::GetClientName(190000), "TwMarlock");
  EXPECT_EQ(ipc::GetClientName(ipc::kExitMonitorClientId), "TwVindleCrashNotifyHelper");
  for (const std::int32_t id : {0, 110007, 110015, 110018, -110013, 2147483647, -2147483647 - 1}) {
    EXPECT_EQ(ipc::GetClientName(id), "UNKNOWN") << id;
  }
}

TEST(Client, LivenessMutexNamesCarryTheScope) {
  EXPECT_EQ(ipc::InitedMutexName(110016, true), "Global\\velmora_ipc_inited_TwGameService");
  EXPECT_EQ(ipc::InitedMutexName(110013, false), "velmora_ipc_inited_TwVindleCrashNotifyHelper");
  EXPECT_EQ(ipc::InitedMutexName(110015, false), "velmora_ipc_inited_UNKNOWN");
}

}  // namespace
