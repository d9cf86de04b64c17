// The receive path of a channel over arbitrary shared bytes. A receiver connects to a freshly zeroed
// queue, then the input is laid over the queue and over one large-message pool (the bytes any local
// user could have written there), and the receiver takes what it finds, gives it back, sends, and
// leaves. It must return every time, hand out only bytes inside its own allocations or the pool's
// mapping, and never make a pool that nobody created.
//
// Input: the pool's header (40 bytes), the 32 chunks' conns (4 bytes each), then the queue image
// (24,832 bytes); a short input leaves the rest zero.
//
// The harness writes into pools, which live in the Global namespace of the whole machine: it runs only
// in a /dev/shm of its own (scripts/fuzz.sh starts it in a private mount namespace) and refuses to start
// where other processes' objects are present.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "platform/process.h"
#include "spindrel/transport/channel.h"
#include "transport/channel_layout.h"
#include "transport/chunk_storage.h"
#include "transport/queue.h"
#include "transport/shm.h"

namespace {

namespace fs = std::filesystem;
namespace layout = ipc::layout;

constexpr std::uint64_t kPool = 1024;  // the pool the input may damage; messages of 65..1016 bytes use it
constexpr const char* kGlobalFolder = "/dev/shm/spindrel-global";
constexpr std::size_t kPoolHeaderOffset = 0;
constexpr std::size_t kConnsOffset = kPoolHeaderOffset + sizeof(layout::chunk_info);
constexpr std::size_t kQueueOffset = kConnsOffset + layout::chunk_count * sizeof(std::uint32_t);
constexpr std::size_t kInputSize = kQueueOffset + sizeof(layout::queue);

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "channel fuzz: %s\n", what);
  std::abort();
}

// The pool files present now.
std::set<std::string> PoolFiles() {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(kGlobalFolder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.find("__CHUNK_INFO__") != std::string::npos) names.insert(name);
  }
  return names;
}

struct Rig {
  std::string name;
  ipc::shm::handle queue_view;
  std::unique_ptr<ipc::channel> sender;
  layout::chunk_info* pool = nullptr;

  layout::queue& queue() const { return *static_cast<layout::queue*>(queue_view.get()); }
  std::byte* chunk(std::int32_t id) const {
    return reinterpret_cast<std::byte*>(pool) + sizeof(layout::chunk_info) + static_cast<std::uint64_t>(id) * kPool;
  }
};

Rig& TheRig() {
  static Rig* const rig = [] {
    std::error_code error;
    if (fs::exists(kGlobalFolder, error) && !fs::is_empty(kGlobalFolder, error)) {
      Fail("/dev/shm holds other processes' objects; run this through scripts/fuzz.sh (a private /dev/shm)");
    }
    auto* made = new Rig;
    made->name = "spd-fuzz-" + std::to_string(platform::CurrentProcessId());
    made->queue_view.acquire(layout::queue_name(made->name), sizeof(layout::queue), false);
    made->sender = std::make_unique<ipc::channel>(made->name, false);
    made->pool = ipc::chunk_storages(kPool);
    if (!made->queue_view.valid() || !made->sender->connect(ipc::channel::mode::sender) || made->pool == nullptr) {
      Fail("cannot set up the channel");
    }
    return made;
  }();
  return *rig;
}

// Reads every byte of a message's first and last page, so that a buffer that claims more than it
// holds faults here rather than somewhere later.
std::uint8_t Touch(const ipc::recv_buffer& got) {
  const auto* bytes = static_cast<const volatile std::uint8_t*>(got.data());
  const std::uint64_t size = got.size();
  std::uint8_t sum = 0;
  for (std::uint64_t i = 0; i < std::min<std::uint64_t>(size, 4096); ++i) sum ^= bytes[i];
  for (std::uint64_t i = size > 4096 ? size - 4096 : 0; i < size; ++i) sum ^= bytes[i];
  return sum;
}

void Drain(ipc::channel& receiver) {
  // Each slot is read at most once, so 257 calls always reach an empty queue.
  for (int i = 0; i < 2 * static_cast<int>(layout::slot_count); ++i) {
    const ipc::recv_buffer got = receiver.recv(0);
    if (got.empty()) return;
    if (got.size() == 0) Fail("a message of zero bytes");
    Touch(got);
  }
  Fail("recv kept returning messages past the queue's length");
}

// Writes a set of seed inputs made from real channel states into folder.
void WriteSeeds(const std::string& folder) {
  Rig& rig = TheRig();
  const auto save = [&](const std::string& file) {
    std::vector<char> bytes(kInputSize);
    std::memcpy(bytes.data() + kQueueOffset, &rig.queue(), sizeof(layout::queue));
    std::memcpy(bytes.data() + kPoolHeaderOffset, rig.pool, sizeof(layout::chunk_info));
    for (std::int32_t id = 0; id < layout::chunk_count; ++id) {
      std::memcpy(bytes.data() + kConnsOffset + id * sizeof(std::uint32_t), rig.chunk(id), sizeof(std::uint32_t));
    }
    while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();  // a short input is zero-filled
    std::ofstream(folder + "/" + file, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  };
  const auto fresh = [&] {
    std::memset(&rig.queue(), 0, sizeof(layout::queue));
    auto receiver = std::make_unique<ipc::channel>(rig.name, false);
    if (!receiver->connect(ipc::channel::mode::receiver)) Fail("cannot connect");
    return receiver;
  };
  const std::string small = "{\"from\":110013,\"to\":110016,\"msg_id\":83000,\"data\":null}";
  const std::string large(700, 'L');
  {
    auto receiver = fresh();
    rig.sender->send(small.data(), small.size(), 0);
    save("small");
    rig.sender->send(large.data(), large.size(), 0);
    save("small-and-storage");
  }
  {
    // Every chunk taken: a message of the pool's size goes in fragments.
    auto receiver = fresh();
    std::vector<ipc::storage_chunk> held;
    for (int i = 0; i < layout::chunk_count; ++i) held.push_back(ipc::allocate_storage(700, 1, {}));
    rig.sender->send(large.data(), large.size(), 0);
    save("fragments-pool-empty");
    for (const auto& chunk : held) ipc::cancel_storage(chunk.id, 700);
  }
  {
    // The queue wrapped once, and one receiver read half of it.
    auto receiver = fresh();
    for (int i = 0; i < 300; ++i) {
      rig.sender->send(small.data(), small.size(), 0);
      if (i < 150) receiver->recv(0);
    }
    save("wrapped");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheRig();
  if (const char* folder = std::getenv("SPINDREL_FUZZ_WRITE_SEEDS")) {
    WriteSeeds(folder);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Rig& rig = TheRig();
  const std::set<std::string> pools_before = PoolFiles();
  std::vector<std::uint8_t> input(kInputSize, 0);
  std::memcpy(input.data(), data, std::min(size, kInputSize));

  // A receiver at index 0 of an empty queue; then the damage.
  std::memset(&rig.queue(), 0, sizeof(layout::queue));
  {
    ipc::channel receiver(rig.name, false);
    if (!receiver.connect(ipc::channel::mode::receiver)) Fail("cannot connect to a zeroed queue");
    std::memcpy(&rig.queue(), input.data() + kQueueOffset, sizeof(layout::queue));
    std::memcpy(rig.pool, input.data() + kPoolHeaderOffset, sizeof(layout::chunk_info));
    // A held pool lock only costs its bounded 200 ms wait (tested on its own); here it would slow every
    // input down to a few a second.
    rig.pool->lock = 0;
    for (std::int32_t id = 0; id < layout::chunk_count; ++id) {
      std::memcpy(rig.chunk(id), input.data() + kConnsOffset + id * sizeof(std::uint32_t), sizeof(std::uint32_t));
    }
    Drain(receiver);
    // Sending over what is left: a full queue makes the sender force its way and clear old slots.
    const std::string small = "after";
    const std::string large(500, 'x');
    rig.sender->send(large.data(), large.size(), 0);
    rig.sender->send(small.data(), small.size(), 0);
    Drain(receiver);
  }  // the receiver leaves and reads away what it did not take

  if (PoolFiles() != pools_before) Fail("the receive path made a pool that nobody had created");
  return 0;
}
