#include "boot/initialize.h"

#include <mutex>

#include "boot/cmdline/parser.h"
#include "common/log/logger.h"
#include "platform/command_line.h"

namespace boot {
namespace {

constexpr char16_t kSourceOption[] = u"spe-src";
constexpr char16_t kTargetOption[] = u"spe-dst";
constexpr char16_t kStatusOption[] = u"spe-dstatus";
constexpr char16_t kProcessTypeOption[] = u"process-type";

// The report's lines name the boot step that writes them, whichever helper does the writing.
constexpr char kBootFunction[] = "Initialize";

constexpr int kGameProcess = 2;
constexpr int kEmulatorProcess = 6;

}  // namespace

void Initialize(BusLink& bus) {
  bus.Join();  // before the log opens, so nothing of the bus start is logged
  Logger& logger = Logger::Instance();
  std::call_once(logger.InitOnce(), [&logger] { logger.Init("spindrel", std::ios::app); });
  SPINDREL_LOG_AS(kBootFunction, "[Cmd]:{}", platform::CommandLineText());
  ReportExit(bus, platform::CommandLineArguments());
}

void ReportExit(BusLink& bus, std::span<const std::u16string> arguments) {
  cmdline::parser options;
  options.add<int>(kSourceOption);
  options.add<int>(kTargetOption);
  options.add<unsigned>(kStatusOption);
  options.add<int>(kProcessTypeOption);
  // Missing or malformed options only leave their values absent; the others are still used.
  options.parse(arguments);

  if (options.given(kProcessTypeOption)) {
    if (const auto process_type = options.value<int>(kProcessTypeOption)) {
      switch (*process_type) {
        case kGameProcess:
          bus.SendNotice(kGameServiceNotice.to, kGameServiceNotice.msg_id);
          bus.SendNotice(kEmulatorNotice.to, kEmulatorNotice.msg_id);
          break;
        case kEmulatorProcess:
          bus.SendNotice(kEmulatorNotice.to, kEmulatorNotice.msg_id);
          break;
        default:
          SPINDREL_LOG_AS(kBootFunction, "[Invalid process type]:{}", *process_type);
      }
    }
  }

  if (options.given(kSourceOption))
    SPINDREL_LOG_AS(kBootFunction, "[src id]:{} ", options.value<int>(kSourceOption).value_or(0));
  if (options.given(kTargetOption))
    SPINDREL_LOG_AS(kBootFunction, "[dst id]:{} ", options.value<int>(kTargetOption).value_or(0));
  if (options.given(kStatusOption)) {
    SPINDREL_LOG_AS(kBootFunction, "[dst status]:{:#x} ", options.value<unsigned>(kStatusOption).value_or(0));
  }
}

}  // namespace boot
