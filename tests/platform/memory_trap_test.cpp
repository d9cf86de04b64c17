// Views whose file another process cuts short under them: the process that holds them must live on,
// see the view as broken, and be able to open the object anew. A bus error that is not ours must
// still end the process as it would without the trap. Linux only: a Windows section cannot shrink.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "platform/named_sync.h"
#include "platform/private_bus.h"
#include "platform/shared_memory.h"
#include "support/cut_file.h"
#include "support/test_support.h"

namespace {

using test_support::Unique;

constexpr std::uint64_t kSize = 64 * 1024;

struct MappedObject {
  platform::NamedObject mapping;
  unsigned char* view = nullptr;

  explicit MappedObject(const std::string& name) {
    platform::ErrorCode error = 0;
    mapping = platform::CreateSharedMemory(name, kSize, error);
    if (mapping) view = static_cast<unsigned char*>(platform::MapSharedMemory(mapping, error));
  }
  ~MappedObject() {
    if (view != nullptr) platform::UnmapSharedMemory(view);
  }
  MappedObject(const MappedObject&) = delete;
  MappedObject& operator=(const MappedObject&) = delete;
};

TEST(MemoryTrap, AViewTruncatedByAnotherProcessBreaksInsteadOfKillingUs) {
  const std::string name = Unique("trap-truncated");
  const volatile unsigned char* stale = nullptr;
  {
    MappedObject object(name);
    ASSERT_NE(object.view, nullptr);
    std::memset(object.view, 0x5A, kSize);
    EXPECT_FALSE(platform::SharedMemoryIsBroken(object.view));
    ASSERT_TRUE(test_support::CutFile(test_support::ObjectFile(name, false), test_support::Cut::kTruncate));

    // Past the end of the file now: without the trap this read and write raise SIGBUS.
    EXPECT_EQ(object.view[kSize - 1], 0);
    object.view[100] = 7;
    EXPECT_EQ(object.view[100], 7);
    bool first_notice = false;
    EXPECT_TRUE(platform::SharedMemoryIsBroken(object.view + 100, &first_notice));
    EXPECT_TRUE(first_notice);
    EXPECT_TRUE(platform::SharedMemoryIsBroken(object.view, &first_notice));
    EXPECT_FALSE(first_notice) << "reported once";

    // A broken object is not mapped again; its cut file, which nobody holds now, is dead.
    platform::ErrorCode error = 0;
    EXPECT_EQ(platform::MapSharedMemory(object.mapping, error), nullptr);
    EXPECT_FALSE(platform::OpenSharedMemory(name, error));
    EXPECT_EQ(error, static_cast<platform::ErrorCode>(ENOENT));

    // The name makes a whole object again, while the broken view still lives.
    MappedObject again(name);
    ASSERT_NE(again.view, nullptr);
    EXPECT_NE(again.view, object.view);
    EXPECT_FALSE(platform::SharedMemoryIsBroken(again.view));
    again.view[kSize - 1] = 1;
    EXPECT_EQ(again.view[0], 0);
    stale = object.view;
  }
  // Even unmapped, a broken view keeps its addresses: other threads may still hold pointers into it.
  EXPECT_EQ(stale[100], 7);
}

// A sparse file meets a full /dev/shm: in a mount namespace of its own with a 1 MiB /dev/shm, maps an
// object, punches a hole in the object's file (as a planted sparse file would have), fills the rest
// of the space and writes into the hole. Exit codes: 0 trapped, 77 no namespace (not root), others failures.
const bool kFullShmRole = test_support::RegisterChildRole("trap-full-shm", [](const std::vector<std::string>&) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=1m") != 0) {
    return 77;
  }
  const std::string name = Unique("trap-full");
  MappedObject object(name);
  if (object.view == nullptr) return 1;
  std::memset(object.view, 0x5A, kSize);
  const int fd = ::open(test_support::ObjectFile(name, false).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 || ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096, 4096) != 0) return 2;
  const int filler = ::open("/dev/shm/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string page(4096, 'f');
  while (filler >= 0 && ::write(filler, page.data(), page.size()) > 0) {
  }
  object.view[0] = 1;  // no page to back it: SIGBUS
  return platform::SharedMemoryIsBroken(object.view) && object.view[0] == 1 ? 0 : 3;
});

TEST(MemoryTrap, AHoleInAFullSharedMemoryFolderBreaksTheView) {
  auto child = test_support::StartChild("trap-full-shm", {}, {{platform::kPrivateBusVariable, ""}});  // a /dev/shm bus
  ASSERT_TRUE(child);
  const std::optional<int> code = child->Wait(test_support::kChildDeadline);
  if (code == 77) GTEST_SKIP() << "needs root for a mount namespace with a small /dev/shm";
  EXPECT_EQ(code, 0);
}

// Maps a file of its own, outside every named object, after the trap is installed, cuts it and
// touches it: must die of it as it would without the trap. 20 and up: it did not get that far, or
// lived on.
const bool kForeignFaultRole = test_support::RegisterChildRole("trap-foreign", [](const std::vector<std::string>&) {
  MappedObject ours(Unique("trap-foreign"));
  if (ours.view == nullptr) return 20;
  const int fd = ::memfd_create("trap-foreign", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, 4096) != 0) return 21;
  auto* foreign = static_cast<volatile unsigned char*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
  if (foreign == MAP_FAILED || ::ftruncate(fd, 0) != 0) return 22;
  return foreign[0] + 23;
});

// A mutex or a semaphore is a mapped file too: cut short, it fails cleanly and its name starts afresh.
TEST(MemoryTrap, AMutexOrSemaphoreTruncatedByAnotherProcessFailsInsteadOfKillingUs) {
  const std::string mutex_name = Unique("trap-mutex");
  const std::string semaphore_name = Unique("trap-semaphore");
  platform::ErrorCode error = 0;
  platform::NamedObject mutex = platform::CreateNamedMutex(mutex_name, error);
  platform::NamedObject semaphore = platform::CreateNamedSemaphore(semaphore_name, error);
  ASSERT_TRUE(mutex && semaphore);
  ASSERT_EQ(platform::LockNamedMutex(mutex, 0, error), platform::WaitResult::kSignaled);
  ASSERT_TRUE(platform::UnlockNamedMutex(mutex, error));
  ASSERT_TRUE(test_support::CutFile(test_support::ObjectFile(mutex_name, false), test_support::Cut::kTruncate));
  ASSERT_TRUE(test_support::CutFile(test_support::ObjectFile(semaphore_name, false), test_support::Cut::kTruncate));

  // The first touch of a cut file lands on the trap's private zeros; from then on the object fails.
  if (platform::LockNamedMutex(mutex, 0, error) == platform::WaitResult::kSignaled) {
    platform::UnlockNamedMutex(mutex, error);
  }
  platform::PostNamedSemaphore(semaphore, 1, error);
  EXPECT_EQ(platform::LockNamedMutex(mutex, 0, error), platform::WaitResult::kFailed);
  EXPECT_EQ(error, static_cast<platform::ErrorCode>(EBADF));
  EXPECT_FALSE(platform::PostNamedSemaphore(semaphore, 1, error));
  EXPECT_EQ(platform::WaitNamedSemaphore(semaphore, 0, error), platform::WaitResult::kFailed);

  platform::NamedObject new_mutex = platform::CreateNamedMutex(mutex_name, error);
  platform::NamedObject new_semaphore = platform::CreateNamedSemaphore(semaphore_name, error);
  ASSERT_TRUE(new_mutex && new_semaphore);
  EXPECT_EQ(platform::LockNamedMutex(new_mutex, 0, error), platform::WaitResult::kSignaled);
  EXPECT_TRUE(platform::UnlockNamedMutex(new_mutex, error));
  EXPECT_TRUE(platform::PostNamedSemaphore(new_semaphore, 1, error));
  EXPECT_EQ(platform::WaitNamedSemaphore(new_semaphore, 0, error), platform::WaitResult::kSignaled);
}

TEST(MemoryTrap, ABusErrorOutsideOurViewsStillEndsTheProcess) {
  auto child = test_support::StartChild("trap-foreign");
  ASSERT_TRUE(child);
  const std::optional<int> code = child->Wait(test_support::kChildDeadline);
  ASSERT_TRUE(code.has_value());
  // A sanitizer's handler, installed before ours, reports the fault and ends the process with its own
  // exit code: 1 under AddressSanitizer, 66 under ThreadSanitizer.
  EXPECT_TRUE(*code == 128 + SIGBUS || *code == 1 || *code == 66) << *code;
}

}  // namespace
