// The exit monitor: reports one process exit to its log and to the sibling programs, then leaves.
#include "boot/initialize.h"
#include "common/log/logger.h"

int main() {
  boot::BusLink& bus = boot::ProcessBus();
  boot::Initialize(bus);
  Logger::Instance().End();
  bus.Leave();
  return 0;
}
