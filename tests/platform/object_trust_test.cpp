// What another local user can do to the named objects on Linux: each case runs the attack as a second
// user (uid 65534) against root's objects. The tests need root, and each runs in a child that has a
// /dev/shm of its own, so no attack meets another test's objects and nothing is left behind.
#if !defined(_WIN32)
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/named_sync.h"
#include "platform/private_bus.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "spindrel/transport/channel.h"
#include "support/test_support.h"

namespace {

using platform::ErrorCode;
using platform::NamedObject;
namespace fs = std::filesystem;

constexpr uid_t kStranger = 65534;
constexpr int kSkipped = 77;  // a child that could not set up its private /dev/shm or session
constexpr const char* kMappings = "/dev/shm/spindrel-global";
constexpr const char* kSync = "/dev/shm/spindrel-global-sync";

// Each role reports what went wrong on standard error and fails with a line-specific code.
#define CHECK_OR_FAIL(condition)                                                         \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      return 1;                                                                          \
    }                                                                                    \
  } while (0)

// A mount namespace of the child's own with an empty /dev/shm: it goes when the child's processes end.
bool PrivateShm() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") == 0;
}

bool BecomeStranger() {
  return ::setgroups(0, nullptr) == 0 && ::setresgid(kStranger, kStranger, kStranger) == 0 &&
         ::setresuid(kStranger, kStranger, kStranger) == 0;
}

int ExitCodeOf(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the attack in a forked child as the stranger; its result is the child's exit code.
int AsStranger(const std::function<int()>& attack) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(BecomeStranger() ? attack() : 126);
  return ExitCodeOf(pid);
}

// Runs a role of this binary, freshly started, as the stranger (or as the caller's user).
int RoleAs(bool stranger, const std::string& role, const std::string& argument) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (stranger && !BecomeStranger()) ::_exit(126);
    const std::string exe = platform::ExecutablePath().string();
    const std::string flag = "--child=" + role;
    ::execl(exe.c_str(), exe.c_str(), flag.c_str(), argument.c_str(), nullptr);
    ::_exit(127);
  }
  return ExitCodeOf(pid);
}

// Runs a role in a child of its own, as root, and fails the test with the role's code.
void RunIsolated(const std::string& role) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to attack as a second user";
  // The attacks are on the default bus's folders in /dev/shm, whatever bus the tests run on.
  auto child = test_support::StartChild(role, {}, {{platform::kPrivateBusVariable, ""}});
  ASSERT_TRUE(child);
  const auto code = child->Wait(test_support::kChildDeadline);
  ASSERT_TRUE(code) << role << " did not finish";
  if (*code == kSkipped) GTEST_SKIP() << role << ": no private /dev/shm or login session here";
  EXPECT_EQ(*code, 0) << role << " failed (see its standard error)";
}

std::string EscapedFile(const std::string& name) {
  std::string file;
  for (const char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-') {
      file += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", static_cast<unsigned char>(c));
      file += hex;
    }
  }
  return file;
}

bool IsFolder(const char* path, uid_t owner, mode_t mode) {
  struct stat info {};
  return ::lstat(path, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == owner && (info.st_mode & 07777) == mode;
}

bool StrangerPlantsFolder(const char* path, mode_t mode) {
  return AsStranger([&] { return ::mkdir(path, mode) == 0 && ::chmod(path, mode) == 0 ? 0 : 1; }) == 0;
}

// A process of the stranger's that opens or creates a Global mapping: exits with the error code.
const bool kOpenGlobal = test_support::RegisterChildRole("trust-open-global", [](const auto& arguments) {
  ErrorCode error = 0;
  NamedObject mapping = platform::OpenSharedMemory("Global\\" + arguments.at(0), error);
  if (!mapping) return static_cast<int>(error);
  auto* bytes = static_cast<unsigned char*>(platform::MapSharedMemory(mapping, error));
  if (bytes == nullptr || bytes[0] != 42) return 200;
  bytes[0] = 43;  // anyone may write an existing Global object
  platform::UnmapSharedMemory(bytes);
  return 0;
});

const bool kCreateGlobal = test_support::RegisterChildRole("trust-create-global", [](const auto& arguments) {
  ErrorCode error = 0;
  const NamedObject mapping = platform::CreateSharedMemory("Global\\" + arguments.at(0), 64, error);
  return mapping ? 0 : static_cast<int>(error);
});

const bool kCreateLocal = test_support::RegisterChildRole("trust-create-local", [](const auto& arguments) {
  ErrorCode error = 0;
  const NamedObject semaphore = platform::CreateNamedSemaphore("Local\\" + arguments.at(0), error);
  return semaphore ? 0 : static_cast<int>(error);
});

const bool kGlobalNames = test_support::RegisterChildRole("trust-global-names", [](const auto&) {
  if (!PrivateShm()) return kSkipped;
  const std::string name = test_support::Unique("global");
  const std::string file = std::string(kMappings) + "/" + EscapedFile(name);
  // Open-only and probes make no folder: there is nothing to open.
  ErrorCode error = 0;
  CHECK_OR_FAIL(!platform::OpenSharedMemory("Global\\" + name, error) && error == ENOENT);
  CHECK_OR_FAIL(!platform::NamedMutexExists("Global\\" + name));
  CHECK_OR_FAIL(!fs::exists(kMappings) && !fs::exists(kSync));
  // Creating a Global mapping needs root; opening and writing an existing one does not.
  CHECK_OR_FAIL(RoleAs(true, "trust-create-global", name) == EACCES);
  NamedObject mapping = platform::CreateSharedMemory("Global\\" + name, 64, error);
  CHECK_OR_FAIL(mapping);
  auto* bytes = static_cast<unsigned char*>(platform::MapSharedMemory(mapping, error));
  CHECK_OR_FAIL(bytes != nullptr);
  bytes[0] = 42;
  CHECK_OR_FAIL(IsFolder(kMappings, 0, 0755));
  CHECK_OR_FAIL(RoleAs(true, "trust-open-global", name) == 0);
  CHECK_OR_FAIL(bytes[0] == 43);
  // Nobody else removes or replaces the live name.
  CHECK_OR_FAIL(AsStranger([&] {
                  const std::string planted = std::string(kMappings) + "/planted";
                  return ::unlink(file.c_str()) != 0 && ::rename(file.c_str(), planted.c_str()) != 0 &&
                                 ::open(planted.c_str(), O_CREAT | O_WRONLY, 0666) < 0
                             ? 0
                             : 1;
                }) == 0);
  // Mutexes any user may create, in a sticky folder where only a file's owner removes it.
  const NamedObject mutex = platform::CreateNamedMutex("Global\\" + name + "-mutex", error);
  CHECK_OR_FAIL(mutex);
  CHECK_OR_FAIL(IsFolder(kSync, 0, 01777));
  const std::string mutex_file = std::string(kSync) + "/" + EscapedFile(name + "-mutex");
  CHECK_OR_FAIL(AsStranger([&] { return ::unlink(mutex_file.c_str()) != 0 ? 0 : 1; }) == 0);
  platform::UnmapSharedMemory(bytes);
  return 0;
});

TEST(ObjectTrust, OnlyRootCreatesGlobalMappingsAndNobodyElseRemovesALiveName) { RunIsolated("trust-global-names"); }

// A forked child that creates a mapping and holds it until it is killed; -1 when it could not.
pid_t StartHolder(const std::string& name) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t holder = ::fork();
  if (holder == 0) {
    ErrorCode ignored = 0;
    const NamedObject mapping = platform::CreateSharedMemory(name, 1 << 20, ignored);
    const NamedObject semaphore = platform::CreateNamedSemaphore(name.substr(name.find('\\') + 1), ignored);
    const char byte = mapping && semaphore ? 1 : 0;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    ::_exit(test_support::SleepUntilKilled());
  }
  char byte = 0;
  const bool made = ::read(ready[0], &byte, 1) == 1 && byte == 1;
  ::close(ready[0]);
  ::close(ready[1]);
  if (made) return holder;
  ::kill(holder, SIGKILL);
  ExitCodeOf(holder);
  return -1;
}

// Root's opener never waits for a stranger's exclusive lock: on a file of the stranger's it gives up at
// once, on one of root's that lies dead under the stranger's lock at its deadline.
const bool kHeldLock = test_support::RegisterChildRole("trust-held-lock", [](const auto&) {
  if (!PrivateShm()) return kSkipped;
  const std::string name = test_support::Unique("held");
  ErrorCode error = 0;
  {  // makes the sync folder
    CHECK_OR_FAIL(platform::CreateNamedMutex("Global\\" + name + "-first", error));
  }
  const std::string planted = std::string(kSync) + "/" + EscapedFile(name);
  // A root holder of a Global mapping is killed and leaves it named: the stranger locks the dead file.
  const pid_t holder = StartHolder("Global\\" + name);
  CHECK_OR_FAIL(holder > 0);
  ::kill(holder, SIGKILL);
  ExitCodeOf(holder);
  const std::string dead = std::string(kMappings) + "/" + EscapedFile(name);
  int ready[2];
  int release[2];
  CHECK_OR_FAIL(::pipe(ready) == 0 && ::pipe(release) == 0);
  const pid_t squatter = ::fork();
  if (squatter == 0) {
    if (!BecomeStranger()) ::_exit(126);
    const int on_dead = ::open(dead.c_str(), O_RDWR);
    const int on_planted = ::open(planted.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (on_dead < 0 || on_planted < 0 || ::flock(on_dead, LOCK_EX) != 0 || ::flock(on_planted, LOCK_EX) != 0) {
      ::_exit(1);
    }
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    ::close(release[1]);
    while (::read(release[0], &byte, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(release[0]);
  char byte = 0;
  CHECK_OR_FAIL(::read(ready[0], &byte, 1) == 1);
  const auto started = std::chrono::steady_clock::now();
  CHECK_OR_FAIL(!platform::CreateNamedMutex("Global\\" + name, error) && error == EACCES);
  CHECK_OR_FAIL(std::chrono::steady_clock::now() - started < std::chrono::milliseconds(500));
  CHECK_OR_FAIL(!platform::CreateSharedMemory("Global\\" + name, 64, error) && error == ETIMEDOUT);
  CHECK_OR_FAIL(std::chrono::steady_clock::now() - started < std::chrono::seconds(5));
  ::close(release[1]);
  CHECK_OR_FAIL(ExitCodeOf(squatter) == 0);
  // Unlocked, the dead file and the planted one are root's to remove, and the names work again.
  CHECK_OR_FAIL(platform::CreateSharedMemory("Global\\" + name, 64, error));
  CHECK_OR_FAIL(platform::CreateNamedMutex("Global\\" + name, error));
  return 0;
});

TEST(ObjectTrust, AStrangersExclusiveLockCannotStopAnOpener) { RunIsolated("trust-held-lock"); }

// The local folder root's processes use here: its login session's, or root's own when it has none.
std::string RootLocalFolder() {
  std::ifstream session("/proc/self/sessionid");
  std::ifstream login("/proc/self/loginuid");
  std::uint64_t id = 0;
  std::uint64_t user = 0;
  if (session >> id && login >> user && id < 0xFFFF'FFFFu && user == 0) {
    return "/dev/shm/spindrel-session-" + std::to_string(id);
  }
  return "/dev/shm/spindrel-user-0";
}

// Folders planted by a stranger in place of root's are moved aside, so root's objects, its waiter
// locks among them, still work; a stranger facing a folder not its own fails clearly.
const bool kPlantedFolders = test_support::RegisterChildRole("trust-planted-folders", [](const auto&) {
  if (!PrivateShm()) return kSkipped;
  const std::string local = RootLocalFolder();
  CHECK_OR_FAIL(StrangerPlantsFolder(local.c_str(), 0700));
  CHECK_OR_FAIL(StrangerPlantsFolder(kMappings, 0777));
  CHECK_OR_FAIL(StrangerPlantsFolder(kSync, 0777));
  const std::string name = test_support::Unique("planted");
  ErrorCode error = 0;
  const NamedObject semaphore = platform::CreateNamedSemaphore(name, error);
  CHECK_OR_FAIL(semaphore);
  CHECK_OR_FAIL(platform::PostNamedSemaphore(semaphore, 1, error));
  CHECK_OR_FAIL(platform::WaitNamedSemaphore(semaphore, 0, error) == platform::WaitResult::kSignaled);
  CHECK_OR_FAIL(platform::CreateSharedMemory("Global\\" + name, 8, error));
  CHECK_OR_FAIL(platform::CreateNamedMutex("Global\\" + name, error));
  CHECK_OR_FAIL(IsFolder(local.c_str(), 0, 0700));
  CHECK_OR_FAIL(IsFolder(kMappings, 0, 0755));
  CHECK_OR_FAIL(IsFolder(kSync, 0, 01777));
  int moved = 0;
  for (const auto& entry : fs::directory_iterator("/dev/shm")) {
    moved += entry.path().filename().string().find(".untrusted-") != std::string::npos;
  }
  CHECK_OR_FAIL(moved == 3);
  // The stranger's own folder, made by root in its place, is refused: nothing is used or repaired.
  const std::string strangers = "/dev/shm/spindrel-user-" + std::to_string(kStranger);
  CHECK_OR_FAIL(::mkdir(strangers.c_str(), 0700) == 0);
  CHECK_OR_FAIL(RoleAs(true, "trust-create-local", name) == EACCES);
  CHECK_OR_FAIL(IsFolder(strangers.c_str(), 0, 0700));
  return 0;
});

TEST(ObjectTrust, FoldersPlantedByAStrangerNeverServeRoot) { RunIsolated("trust-planted-folders"); }

// A file with holes was not made by one of our creators: a joiner refuses it instead of touching a
// page that a full tmpfs could not supply.
const bool kHoles = test_support::RegisterChildRole("trust-holes", [](const auto&) {
  if (!PrivateShm()) return kSkipped;
  const std::string name = test_support::Unique("holes");
  const pid_t holder = StartHolder("Global\\" + name);
  CHECK_OR_FAIL(holder > 0);
  const std::string file = std::string(kMappings) + "/" + EscapedFile(name);
  const int punched = AsStranger([&] {
    const int fd = ::open(file.c_str(), O_RDWR);
    return fd >= 0 && ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 8192, 65536) == 0 ? 0 : 1;
  });
  ErrorCode error = 0;
  const bool refused = !platform::OpenSharedMemory("Global\\" + name, error) && error == EINVAL;
  ::kill(holder, SIGKILL);
  ExitCodeOf(holder);
  CHECK_OR_FAIL(punched == 0);
  CHECK_OR_FAIL(refused);
  return 0;
});

TEST(ObjectTrust, AJoinerRefusesAFileWithHoles) { RunIsolated("trust-holes"); }

// The files of killed holders go when a process first opens their folder, even if their names never
// come back (a pool's name is unique per chunk size).
const bool kSweep = test_support::RegisterChildRole("trust-sweep", [](const auto&) {
  if (!PrivateShm()) return kSkipped;
  const std::string name = test_support::Unique("killed");
  const pid_t holder = StartHolder("Global\\" + name);
  CHECK_OR_FAIL(holder > 0);
  ::kill(holder, SIGKILL);
  ExitCodeOf(holder);
  const std::string global_file = std::string(kMappings) + "/" + EscapedFile(name);
  const std::string local_file = RootLocalFolder() + "/" + EscapedFile(name);
  CHECK_OR_FAIL(fs::exists(global_file) && fs::exists(local_file));
  ErrorCode error = 0;
  CHECK_OR_FAIL(platform::CreateSharedMemory("Global\\" + name + "-other", 64, error));
  CHECK_OR_FAIL(platform::CreateNamedSemaphore(name + "-other", error));
  CHECK_OR_FAIL(!fs::exists(global_file) && !fs::exists(local_file));
  return 0;
});

TEST(ObjectTrust, FilesOfKilledHoldersAreSweptAway) { RunIsolated("trust-sweep"); }

// A process of the stranger's opens a Local mapping that root made in the same login session.
const bool kOpenLocal = test_support::RegisterChildRole("trust-open-local", [](const auto& arguments) {
  ErrorCode error = 0;
  NamedObject mapping = platform::OpenSharedMemory("Local\\" + arguments.at(0), error);
  if (!mapping) return static_cast<int>(error);
  auto* bytes = static_cast<unsigned char*>(platform::MapSharedMemory(mapping, error));
  const bool seen = bytes != nullptr && bytes[0] == 42;
  if (bytes != nullptr) platform::UnmapSharedMemory(bytes);
  // The bare-named lock, as a waiter's lock is named, is the one root holds.
  const NamedObject lock = platform::CreateNamedMutex("_waiter_lock_" + arguments.at(0), error);
  const bool held = lock && platform::LockNamedMutex(lock, 0, error) == platform::WaitResult::kTimeout;
  return seen && held ? 0 : 200;
});

// Root and an ordinary user of one login session (as after sudo) meet on Local names, the waiter locks
// among them; a root process of no session does not see them.
const bool kSession = test_support::RegisterChildRole("trust-session", [](const auto&) {
  if (!PrivateShm()) return kSkipped;
  const std::string name = test_support::Unique("session");
  const pid_t login = ::fork();
  if (login == 0) {
    // Setting the login uid gives the process a session of its own.
    std::ofstream("/proc/self/loginuid") << kStranger;
    std::ifstream session_file("/proc/self/sessionid");
    std::uint64_t session = 0;
    if (!(session_file >> session) || session >= 0xFFFF'FFFFu) ::_exit(kSkipped);
    const std::string folder = "/dev/shm/spindrel-session-" + std::to_string(session);
    ErrorCode error = 0;
    NamedObject mapping = platform::CreateSharedMemory("Local\\" + name, 8, error);
    auto* bytes = mapping ? static_cast<unsigned char*>(platform::MapSharedMemory(mapping, error)) : nullptr;
    if (bytes == nullptr) ::_exit(1);
    bytes[0] = 42;
    const NamedObject lock = platform::CreateNamedMutex("_waiter_lock_" + name, error);
    if (!lock || platform::LockNamedMutex(lock, 0, error) != platform::WaitResult::kSignaled) ::_exit(1);
    const int user = RoleAs(true, "trust-open-local", name);
    platform::UnmapSharedMemory(bytes);
    ::_exit(user == 0 && IsFolder(folder.c_str(), kStranger, 0700) ? 0 : 2);
  }
  const int code = ExitCodeOf(login);
  if (code == kSkipped) return kSkipped;
  CHECK_OR_FAIL(code == 0);
  ErrorCode error = 0;
  CHECK_OR_FAIL(!platform::OpenSharedMemory("Local\\" + name, error) && error == ENOENT);
  return 0;
});

TEST(ObjectTrust, RootAndAUserOfOneLoginSessionMeetOnLocalNames) { RunIsolated("trust-session"); }

// An ordinary user may not create a global pool, so its large message goes in fragments to root's
// receiver on a global channel.
std::vector<std::uint8_t> LargeMessage() {
  std::vector<std::uint8_t> bytes(3000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return bytes;
}

const bool kSendLarge = test_support::RegisterChildRole("trust-send-large", [](const auto& arguments) {
  ipc::channel sender(arguments.at(0), true);
  if (!sender.connect(ipc::channel::mode::sender)) return 1;
  const auto bytes = LargeMessage();
  return sender.send(bytes.data(), bytes.size(), 2000) ? 0 : 2;
});

const bool kFragments = test_support::RegisterChildRole("trust-fragments", [](const auto&) {
  if (!PrivateShm()) return kSkipped;
  const std::string name = test_support::Unique("fragments");
  ipc::channel receiver(name, true);
  CHECK_OR_FAIL(receiver.connect(ipc::channel::mode::receiver));
  CHECK_OR_FAIL(RoleAs(true, "trust-send-large", name) == 0);
  const ipc::recv_buffer got = receiver.recv(2000);
  const auto bytes = LargeMessage();
  CHECK_OR_FAIL(got.size() == bytes.size());
  CHECK_OR_FAIL(std::memcmp(got.data(), bytes.data(), bytes.size()) == 0);
  return 0;
});

TEST(ObjectTrust, AnOrdinaryUsersLargeMessageGoesInFragments) { RunIsolated("trust-fragments"); }

}  // namespace
#endif
