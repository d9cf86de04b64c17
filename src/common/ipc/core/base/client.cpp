#include "spindrel/bus/client.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "platform/named_sync.h"
#include "platform/process.h"
#include "spindrel/transport/kernel_name.h"

namespace ipc {
namespace {

// Sorted by id, fixed at build time. 0 and 110007 are listed with the unknown name on purpose: those ids
// were never given to a program.
constexpr std::array<std::pair<std::int32_t, std::string_view>, 27> kClients{{
    {0, kUnknownClientName},
    {110001, "AppMarket"},
    {110002, "TwEmulator"},
    {110003, "TwService"},
    {110004, "TwUpdate"},
    {110005, "TwUninstall"},
    {110006, "TwAssistant"},
    {110007, kUnknownClientName},
    {110008, "TwInstaller"},
    {110009, "TwLauncher"},
    {110010, "TwVirtualFileSystem"},
    {110011, "TwInstallerDownloader"},
    {110013, "TwVindleCrashNotifyHelper"},
    {110014, "TwHalvexHeadless"},
    {110016, "TwGameService"},
    {110017, "TwVm"},
    {110019, "TwSetup"},
    {110022, "TwVelmoraMcp"},
    {120001, "TwCorvaneSdk"},
    {120002, "TwCorvaneAssistant"},
    {130001, "DellmarshSdk"},
    {140001, "OrlentAppMarket"},
    {150001, "TwPeltoSdk"},
    {160001, "TwStrellSdk"},
    {170001, "TwNetbar"},
    {190000, "TwMarlock"},
    {200001, "TwAppMarket"},
}};

static_assert(std::is_sorted(kClients.begin(), kClients.end()));

}  // namespace

std::string GetClientName(std::int32_t id) {
  const auto row = std::lower_bound(kClients.begin(), kClients.end(), id,
                                    [](const auto& client, std::int32_t wanted) { return client.first < wanted; });
  if (row == kClients.end() || row->first != id) return kUnknownClientName;
  return std::string(row->second);
}

std::optional<std::int32_t> FindClientId(std::string_view name) {
  if (name == kUnknownClientName) return std::nullopt;
  for (const auto& [id, client] : kClients) {
    if (client == name) return id;
  }
  return std::nullopt;
}

std::vector<std::pair<std::int32_t, std::string>> KnownClients() {
  std::vector<std::pair<std::int32_t, std::string>> clients;
  for (const auto& [id, name] : kClients) {
    if (name != kUnknownClientName) clients.emplace_back(id, std::string(name));
  }
  return clients;
}

std::string InitedMutexName(std::int32_t id, bool global) {
  // A client of the user's own session names its mutex with no prefix at all, as the first programs did.
  return fmt::format("{}velmora_ipc_inited_{}", global ? layout::global_prefix : std::string_view{}, GetClientName(id));
}

bool IsClientAlive(std::int32_t id, bool global) { return platform::NamedMutexExists(InitedMutexName(id, global)); }

std::optional<std::uint32_t> ClientProcessId(std::int32_t id, bool global) {
  return platform::NamedMutexOwnerProcess(InitedMutexName(id, global));
}

bool IsProcessElevated() { return platform::IsProcessElevated(); }

}  // namespace ipc
