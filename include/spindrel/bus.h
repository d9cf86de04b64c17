// Everything a program of the suite needs to be on the bus: joining and leaving (IpcCore), client
// identities, packets, sending, message and query handlers, the stored statistics, and the transport's
// channels for raw bytes. docs/api.md describes every call.
#pragma once

#include "spindrel/bus/ask.h"
#include "spindrel/bus/client.h"
#include "spindrel/bus/handler.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/packet.h"
#include "spindrel/bus/query_responser.h"
#include "spindrel/bus/sender.h"
#include "spindrel/bus/statistics.h"
#include "spindrel/transport/channel.h"
#include "spindrel/transport/log_sink.h"
