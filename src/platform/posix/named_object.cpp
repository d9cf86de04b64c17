// Named objects on Linux with Windows semantics. The contract between processes (folders, file names,
// layout, locks) is written down in docs/linux-objects.md; keep the two in step.
//
// Lifetime: every process that holds an object holds flock(LOCK_SH) on its file, and the kernel drops
// that lock when the process dies. Nobody removes a name without holding LOCK_EX on the file the name
// names, and whoever holds LOCK_EX on a still-named file removes it before letting go. A file nobody
// holds is therefore dead, whoever finds it removes it, and a crashed process leaves nothing behind
// once every other holder is gone.
#include "platform/named_object.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/native_handle.h"
#include "platform/posix/checked_call.h"
#include "platform/posix/memory_trap.h"
#include "platform/posix/object_table.h"
#include "platform/posix/user_folders.h"
#include "platform/private_bus.h"

namespace platform {
namespace posix {
namespace {

constexpr std::uint32_t kMagic = 0x4F445053;  // the bytes "SPDO"
constexpr std::uint32_t kVersion = 1;
constexpr int kMaxOpenAttempts = 100;  // each retry means another process removed or created the name meanwhile
// The longest an open waits for another process's exclusive lock. Ours hold it for a few system calls
// (a dead-object check, a close); one held longer is a stranger's, and the open fails rather than hang.
constexpr auto kLockDeadline = std::chrono::seconds(1);
// The sweep of dead files when a process first opens a folder: bounded, so a crowded or hostile folder
// delays no start by more than this.
constexpr auto kSweepBudget = std::chrono::milliseconds(20);
constexpr int kSweepMaxEntries = 4096;
using Clock = std::chrono::steady_clock;

struct ObjectHeader {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t kind;
  std::uint32_t reserved;
  std::uint64_t payload_size;
};
static_assert(sizeof(ObjectHeader) <= kHeaderSize);
static_assert(kHeaderSize + sizeof(pthread_mutex_t) <= kPageSize);
static_assert(kHeaderSize + sizeof(SemaphoreWords) <= kPageSize);

// Global mappings need a privilege, as on Windows (SeCreateGlobalPrivilege): their folder is root's and
// closed to others' writes, so only root creates or removes one, and any user opens the 0666 files.
// Global mutexes and semaphores any user may create: their folder is sticky, so nobody but a file's
// owner or root removes or replaces a name in it. On a private bus its folder's owner stands for root.
constexpr const char* kGlobalMappingFolder = "/spindrel-global";
constexpr const char* kGlobalSyncFolder = "/spindrel-global-sync";
constexpr std::string_view kGlobalPrefix = "Global\\";
constexpr std::string_view kLocalPrefix = "Local\\";
constexpr std::size_t kMaxFileName = 255;
constexpr std::size_t kHashedNameKeep = 200;

struct ObjectName {
  bool global = false;
  std::string file_name;  // escaped, inside the namespace folder
};

// A name too long for one file name keeps a readable head, never cut inside a %XX, and gets a hash of
// the whole name.
std::string FileNameOf(std::string_view name) {
  std::string escaped = EscapeName(name);
  if (escaped.size() <= kMaxFileName) return escaped;
  std::size_t keep = kHashedNameKeep;
  if (escaped[keep - 1] == '%')
    keep -= 1;
  else if (escaped[keep - 2] == '%')
    keep -= 2;
  escaped.resize(keep);
  escaped += '#';
  AppendHex(escaped, Fnv1a64(name), 16);
  return escaped;
}

// "Global\X" lives in the machine-wide folder; "Local\X" and "X" are one object in the user's folder.
bool ParseName(std::string_view name, ObjectName& parsed, ErrorCode& error) {
  parsed.global = name.starts_with(kGlobalPrefix);
  if (parsed.global) {
    name.remove_prefix(kGlobalPrefix.size());
  } else if (name.starts_with(kLocalPrefix)) {
    name.remove_prefix(kLocalPrefix.size());
  }
  if (name.empty()) {
    error = EINVAL;
    return false;
  }
  parsed.file_name = FileNameOf(name);
  return true;
}

std::string KeyOf(const ObjectName& name) { return (name.global ? "G/" : "L/") + name.file_name; }

std::size_t RoundUpToPage(std::uint64_t size) {
  return static_cast<std::size_t>((size + kPageSize - 1) / kPageSize * kPageSize);
}

// A mapping's file size: anything that would not fit the address space is refused.
bool FileSizeFor(ObjectKind kind, std::uint64_t payload_size, std::size_t& file_size) {
  if (kind != ObjectKind::kSharedMemory) {
    file_size = kPageSize;
    return true;
  }
  constexpr std::uint64_t kLargest = std::numeric_limits<std::int64_t>::max() / 2;
  if (payload_size == 0 || payload_size > kLargest) return false;
  file_size = kPageSize + RoundUpToPage(payload_size);
  return true;
}

// The namespace folders: the user's or login session's own, and the two global ones.
enum FolderIndex { kLocalFolder, kGlobalMappingIndex, kGlobalSyncIndex, kFolderCount };

struct Folder {
  int fd = -1;      // O_PATH descriptor
  uid_t owner = 0;  // who must own it, and whom this process creates its files for
};

FolderIndex FolderOf(bool global, ObjectKind kind) {
  if (!global) return kLocalFolder;
  return kind == ObjectKind::kSharedMemory ? kGlobalMappingIndex : kGlobalSyncIndex;
}

struct Table {
  std::mutex lock;
  std::unordered_map<std::string, ObjectRecord*> by_key;
  std::map<std::uintptr_t, ObjectRecord*> by_view;  // payload address -> record
  Folder folder[kFolderCount];                      // opened once, on the first object in each
};

Table& TheTable();

// A forked child shares the parent's open file descriptions, and with them their locks; a mapping
// holds its file description too. The child closes its copies without unlocking, so the objects' lives
// stay the parent's business; its old handles become dead records. A view may still be in use above
// this layer (a channel's queue, a counter kept for the process's life): it keeps its addresses, now
// zero-filled memory shared with nobody, and reads as broken, so every handle opens its object anew.
// Keeping the parent's memory instead would let the child's copy of the parent's state (receiver
// bits, chunks in flight, owned mutexes) act on the parent's live objects.
void LockTableBeforeFork() { TheTable().lock.lock(); }
void UnlockTableAfterFork() { TheTable().lock.unlock(); }
void ForgetObjectsInChild() {
  Table& table = TheTable();
  for (auto& [key, record] : table.by_key) {
    const bool watched = record->views > 0 || record->kind != ObjectKind::kSharedMemory;
    if (!watched || !BreakMapping(record->base)) ::munmap(record->base, record->mapped_size);
    ::close(record->fd);
    record->fd = -1;
    record->base = nullptr;
    record->views = 0;
  }
  table.by_key.clear();
  table.by_view.clear();
  table.lock.unlock();
}

Table& TheTable() {
  // Never destroyed: handles may be closed by other static objects' destructors at exit.
  static Table* const table = [] {
    auto* created = new Table;
    ::pthread_atfork(LockTableBeforeFork, UnlockTableAfterFork, ForgetObjectsInChild);
    return created;
  }();
  return *table;
}

// What a namespace folder must be (the Local one: user_folders.h).
struct FolderRule {
  std::string path;
  uid_t owner = 0;
  mode_t mode = 0;
};

FolderRule RuleFor(FolderIndex index) {
  const BusFolder& bus = BusFolderOfThisProcess();
  if (index == kGlobalMappingIndex) return {bus.path + kGlobalMappingFolder, bus.admin, 0755};
  if (index == kGlobalSyncIndex) return {bus.path + kGlobalSyncFolder, bus.admin, 01777};
  LocalNameFolder local = LocalNameFolderOfThisProcess();
  return {std::move(local.path), local.owner, 0700};
}

// mkdir narrows the mode by the umask and makes the folder the creator's: both are set again. Only
// the owner-to-be or root makes a folder; anyone else would make one that nobody may trust.
int MakeFolder(const FolderRule& rule) {
  const uid_t self = ::geteuid();
  if (self != 0 && self != rule.owner) return EACCES;
  if (::mkdir(rule.path.c_str(), rule.mode) != 0) return errno == EEXIST ? 0 : errno;
  if (::chmod(rule.path.c_str(), rule.mode) != 0) return errno;
  return rule.owner != self && ::lchown(rule.path.c_str(), rule.owner, static_cast<gid_t>(-1)) != 0 ? errno : 0;
}

// Somebody else's folder in our folder's place is never used. Root moves it aside under a name of its
// own (tmpfs is empty after a reboot, so they do not pile up) and makes the folder anew.
int MoveAside(const std::string& path) {
  const auto stamp = Clock::now().time_since_epoch().count();
  const std::string aside = path + ".untrusted-" + std::to_string(::getpid()) + "-" + std::to_string(stamp);
  return ::rename(path.c_str(), aside.c_str()) == 0 ? 0 : errno;
}

// Removes the name if it still names the given file: 0, or the errno of a removal the folder refused.
// Only called while holding LOCK_EX on that file.
int RemoveIfStillNamed(int folder, const std::string& file_name, std::uint64_t device, std::uint64_t inode) {
  struct stat named {};
  if (::fstatat(folder, file_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  if (named.st_dev != device || named.st_ino != inode) return 0;
  return ::unlinkat(folder, file_name.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
}

int RemoveIfStillNamed(int folder, const std::string& file_name, int fd) {
  struct stat open_file {};
  if (::fstat(fd, &open_file) != 0) return errno;
  return RemoveIfStillNamed(folder, file_name, open_file.st_dev, open_file.st_ino);
}

// Removes the files nobody holds any more: those of killed holders, whose names may never be opened
// again (a pool's name is unique per chunk size). Housekeeping only: a file this process may not remove
// (another user's, in a sticky folder) or cannot open stays for its owner or root.
void SweepDeadFiles(int folder) {
  const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DIR* const entries = ::fdopendir(listing);  // owns the descriptor from here on
  if (entries == nullptr) {
    ::close(listing);
    return;
  }
  const auto deadline = Clock::now() + kSweepBudget;
  int seen = 0;
  while (const dirent* entry = ::readdir(entries)) {
    if (++seen > kSweepMaxEntries || Clock::now() >= deadline) break;
    if (entry->d_type != DT_REG) continue;
    const OwnedHandle fd(::openat(folder, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;
    RemoveIfStillNamed(folder, entry->d_name, fd.Get());
    ::flock(fd.Get(), LOCK_UN);
  }
  ::closedir(entries);
}

// Opens (once per process) a namespace folder after checking that it is what its rule says: a folder,
// owned as it should be, with exactly its mode. Without create, a missing folder is ENOENT and nothing is
// made. Returns the folder, or null with error set.
const Folder* OpenFolder(Table& table, FolderIndex index, bool create, ErrorCode& error) {
  if (table.folder[index].fd >= 0) return &table.folder[index];
  if (const PrivateBus& bus = PrivateBusOfThisProcess(); bus.error != 0) {
    error = bus.error;  // a refused private bus has no folders, and nothing falls back to the default bus
    return nullptr;
  }
  const FolderRule rule = RuleFor(index);
  for (int attempt = 0; attempt < 3; ++attempt) {
    OwnedHandle folder(::open(rule.path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int failure = folder ? 0 : errno;
    struct stat info {};
    if (failure == 0 && ::fstat(folder.Get(), &info) != 0) failure = errno;
    if (failure == ENOENT) {
      failure = create ? MakeFolder(rule) : ENOENT;
      if (failure == 0) continue;
      error = static_cast<ErrorCode>(failure);
      return nullptr;
    }
    const bool trusted = failure == 0 && info.st_uid == rule.owner && (info.st_mode & 07777) == rule.mode;
    if (trusted) {
      SweepDeadFiles(folder.Get());
      table.folder[index] = Folder{folder.Release(), rule.owner};
      return &table.folder[index];
    }
    // A link, a file or a folder of the wrong owner or mode (ENOTDIR covers the first two).
    if (failure != 0 && failure != ENOTDIR) {
      error = static_cast<ErrorCode>(failure);
      return nullptr;
    }
    if (::geteuid() != 0) {
      error = failure != 0 ? static_cast<ErrorCode>(failure) : EACCES;
      return nullptr;
    }
    if (const int moved = MoveAside(rule.path); moved != 0 && moved != ENOENT) {
      error = static_cast<ErrorCode>(moved);
      return nullptr;
    }
  }
  error = EAGAIN;  // somebody keeps putting things in its place
  return nullptr;
}

// A file another process planted in one of our folders is not trusted: ours belong to root, to this
// process's user, or to the folder's owner (the session's user, for whom root creates its files there).
bool TrustedOwner(uid_t owner, const Folder& folder) {
  return owner == 0 || owner == ::geteuid() || owner == folder.owner;
}

// The record takes over the descriptor and the mapping.
// A mutex or semaphore file stays mapped while the process holds it, and another process may cut it
// short as well as a mapping's (every user may write a Global one): the memory trap guards it from the
// moment nothing can fail any more until it is unmapped. Shared memory is guarded while it has views.
bool WatchSyncObject(ObjectKind kind, const OwnedMapping& mapping) {
  return kind == ObjectKind::kSharedMemory || WatchMapping(mapping.Get().base, mapping.Get().size);
}

void ForgetBroken(Table& table, ObjectRecord* record);

ObjectRecord* NewRecord(const ObjectName& name, ObjectKind kind, std::uint64_t payload_size, OwnedHandle fd,
                        OwnedMapping mapping, const struct stat& info) {
  const MappedRegion region = mapping.Release();
  auto* record = new ObjectRecord;
  record->global = name.global;
  record->file_name = name.file_name;
  record->key = KeyOf(name);
  record->kind = kind;
  record->payload_size = payload_size;
  record->base = region.base;
  record->mapped_size = region.size;
  record->fd = fd.Release();
  record->device = info.st_dev;
  record->inode = info.st_ino;
  record->handles = 1;
  return record;
}

int BuildMutex(pthread_mutex_t* mutex, bool own) {
  pthread_mutexattr_t attributes;
  ::pthread_mutexattr_init(&attributes);
  ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  int result = ::pthread_mutex_init(mutex, &attributes);
  ::pthread_mutexattr_destroy(&attributes);
  if (result == 0 && own) result = ::pthread_mutex_lock(mutex);
  return result;
}

std::atomic<ErrorCode> shared_lock_failure_for_testing{0};

// The shared lock that keeps an object alive while this process holds it: 0, or the errno of the
// failure, ETIMEDOUT when somebody held LOCK_EX past the deadline. Never a blocking flock: a process
// that holds LOCK_EX on a name, ours briefly or a stranger's for ever, must not stop an opener.
int LockShared(int fd, Clock::time_point deadline) {
  if (const ErrorCode injected = shared_lock_failure_for_testing.exchange(0); injected != 0) {
    return static_cast<int>(injected);
  }
  for (auto pause = std::chrono::microseconds(50);; pause = std::min(pause * 2, std::chrono::microseconds(5000))) {
    const int failure = CallError([&] { return ::flock(fd, LOCK_SH | LOCK_NB); });
    if (failure != EWOULDBLOCK) return failure;
    const auto now = Clock::now();
    if (now >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
  }
}

enum class Step { kDone, kRetry, kFailed };

// Builds the whole object in an unnamed file and gives it its name last, so nobody ever sees half an
// object, and a creator killed on the way leaves nothing. Losing the race for the name is kRetry.
Step CreateObject(const Folder& folder, const ObjectName& name, const OpenRequest& request, ObjectRecord*& record,
                  ErrorCode& error) {
  std::size_t file_size = 0;
  if (!FileSizeFor(request.kind, request.size, file_size)) {
    error = EINVAL;
    return Step::kFailed;
  }
  const mode_t mode = name.global ? 0666 : 0600;
  OwnedHandle fd(RetryOnInterrupt([&] { return ::openat(folder.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode); }));
  // The umask narrowed the mode. Root's files in a session's folder are the session user's, or its
  // ordinary processes could not open them.
  if (!fd || ::fchmod(fd.Get(), mode) != 0 ||
      (folder.owner != ::geteuid() && ::fchown(fd.Get(), folder.owner, static_cast<gid_t>(-1)) != 0)) {
    error = static_cast<ErrorCode>(errno);
    return Step::kFailed;
  }
  // Sets the size and reserves the pages at once: a full tmpfs fails the creation here instead of
  // raising SIGBUS on a first touch later.
  if (const int result = ::posix_fallocate(fd.Get(), 0, static_cast<off_t>(file_size)); result != 0) {
    error = static_cast<ErrorCode>(result);
    return Step::kFailed;
  }
  OwnedMapping mapping = MapShared(fd.Get(), file_size);
  if (!mapping) {
    error = static_cast<ErrorCode>(errno);
    return Step::kFailed;
  }
  unsigned char* const base = mapping.Get().base;
  const ObjectHeader header{kMagic, kVersion, static_cast<std::uint32_t>(request.kind), 0,
                            request.kind == ObjectKind::kSharedMemory ? request.size : 0};
  std::memcpy(base, &header, sizeof(header));
  pthread_mutex_t* owned = nullptr;  // a mutex this call locked: let go before its memory, on any failure
  if (request.kind == ObjectKind::kMutex) {
    auto* mutex = reinterpret_cast<pthread_mutex_t*>(base + kHeaderSize);
    if (const int result = BuildMutex(mutex, request.own_new_mutex); result != 0) {
      error = static_cast<ErrorCode>(result);
      return Step::kFailed;
    }
    if (request.own_new_mutex) owned = mutex;
  }
  // Without its shared lock a named object would look dead to the next opener, who would remove it.
  int failure = LockShared(fd.Get(), Clock::now());  // nobody else can see the file yet
  if (failure == 0) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd.Get());
    failure = CallError(
        [&] { return ::linkat(AT_FDCWD, self.c_str(), folder.fd, name.file_name.c_str(), AT_SYMLINK_FOLLOW); });
  }
  struct stat info {};
  if (failure == 0) failure = CallError([&] { return ::fstat(fd.Get(), &info); });
  if (failure == 0 && !WatchSyncObject(request.kind, mapping)) failure = errno;
  if (failure != 0) {
    // An owned robust mutex must be let go before its memory goes, or the thread's robust list breaks.
    if (owned != nullptr) ::pthread_mutex_unlock(owned);
    if (failure == EEXIST) return Step::kRetry;
    error = static_cast<ErrorCode>(failure);
    return Step::kFailed;
  }
  record = NewRecord(name, request.kind, header.payload_size, std::move(fd), std::move(mapping), info);
  return Step::kDone;
}

// Joins an existing object: fd is open on the file the name named a moment ago.
Step JoinObject(const Folder& folder, const ObjectName& name, const OpenRequest& request, OwnedHandle fd,
                Clock::time_point deadline, ObjectRecord*& record, ErrorCode& error) {
  // Test for a dead object before joining: once this process holds LOCK_SH, "the only holder" no
  // longer means "dead", and converting LOCK_SH to LOCK_EX can drop the shared lock on failure.
  const int busy = CallError([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); });
  if (busy == 0) {
    const int refused = RemoveIfStillNamed(folder.fd, name.file_name, fd.Get());
    ::flock(fd.Get(), LOCK_UN);
    if (refused == 0) return Step::kRetry;
    // A dead file this process may not remove (root's, to an ordinary user): the object is gone, and
    // replacing it would need the right to create it there. Its owner or root removes it later.
    error = request.open_only ? ENOENT : static_cast<ErrorCode>(refused);
    return Step::kFailed;
  }
  if (busy != EWOULDBLOCK) {
    error = static_cast<ErrorCode>(busy);
    return Step::kFailed;
  }
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) {
    error = static_cast<ErrorCode>(errno);
    return Step::kFailed;
  }
  if (!S_ISREG(info.st_mode) || !TrustedOwner(info.st_uid, folder)) {
    error = S_ISREG(info.st_mode) ? EACCES : EINVAL;
    return Step::kFailed;
  }
  int failure = LockShared(fd.Get(), deadline);
  if (failure == 0) failure = CallError([&] { return ::fstat(fd.Get(), &info); });
  if (failure != 0) {
    error = static_cast<ErrorCode>(failure);
    return Step::kFailed;
  }
  if (info.st_nlink == 0) return Step::kRetry;  // removed by the last holder while we waited for the lock
  // The bytes are another process's: check them before trusting a size or a kind. Our creators
  // allocate every page before the name exists, so a file with holes was planted or punched, and a
  // first touch of a hole in a full tmpfs would raise SIGBUS.
  if (info.st_size < static_cast<off_t>(kPageSize) || info.st_blocks * 512 < info.st_size) {
    error = EINVAL;
    return Step::kFailed;
  }
  const auto file_size = static_cast<std::size_t>(info.st_size);
  OwnedMapping mapping = MapShared(fd.Get(), file_size);
  if (!mapping) {
    error = static_cast<ErrorCode>(errno);
    return Step::kFailed;
  }
  ObjectHeader header{};
  std::memcpy(&header, mapping.Get().base, sizeof(header));
  std::size_t expected_size = 0;
  if (header.magic != kMagic || header.version != kVersion || header.kind != static_cast<std::uint32_t>(request.kind) ||
      !FileSizeFor(request.kind, header.payload_size, expected_size) || expected_size != file_size) {
    const bool other_kind = header.magic == kMagic && header.kind != static_cast<std::uint32_t>(request.kind);
    error = other_kind ? EEXIST : EINVAL;  // EEXIST: the name belongs to another kind of object
    return Step::kFailed;
  }
  if (!WatchSyncObject(request.kind, mapping)) {
    error = static_cast<ErrorCode>(errno);
    return Step::kFailed;
  }
  record = NewRecord(name, request.kind, header.payload_size, std::move(fd), std::move(mapping), info);
  return Step::kDone;
}

// A robust mutex that a live thread of this process owns must stay mapped: the kernel walks the
// thread's list of robust mutexes when it ends, and an unmapped one would stop the walk, leaving it and
// every mutex the thread locked before it owned by a dead thread. The owner's thread id is in the
// mutex's futex word (the kernel's robust-futex protocol).
bool OwnedByLiveThreadOfThisProcess(const ObjectRecord* record) {
  if (record->kind != ObjectKind::kMutex) return false;
  const int owner = MutexOwnerThread(static_cast<pthread_mutex_t*>(record->Payload()));
  return owner != 0 && ::syscall(SYS_tgkill, ::getpid(), owner, 0) == 0;
}

void ReleaseIfUnused(Table& table, ObjectRecord* record) {
  if (record->handles > 0 || record->views > 0) return;
  if (record->base == nullptr) {  // a record a forked child inherited: nothing of its own to tear down
    delete record;
    return;
  }
  if (OwnedByLiveThreadOfThisProcess(record)) return;  // stays mapped and alive until the process ends
  if (const auto found = table.by_key.find(record->key); found != table.by_key.end() && found->second == record) {
    table.by_key.erase(found);
  }
  if (record->kind != ObjectKind::kSharedMemory) {
    if (MappingIsBroken(record->base, nullptr)) {
      ForgetBroken(table, record);
      delete record;
      return;
    }
    UnwatchMapping(record->base);
  }
  // The mapping holds the file description (and so the lock) too: it goes first.
  ::munmap(record->base, record->mapped_size);
  // Our LOCK_SH becomes LOCK_EX only if nobody else holds the object: then it dies with us. Unlock
  // explicitly, in case something else still refers to the file description: a process waiting for
  // LOCK_SH on the removed file must not wait for that.
  // A folder that refuses the removal (root's file, an ordinary user closing last) leaves a dead file
  // that its owner's or root's next open or sweep removes.
  if (CallError([&] { return ::flock(record->fd, LOCK_EX | LOCK_NB); }) == 0) {
    RemoveIfStillNamed(table.folder[FolderOf(record->global, record->kind)].fd, record->file_name, record->device,
                       record->inode);
    ::flock(record->fd, LOCK_UN);
  }
  ::close(record->fd);
  delete record;
}

}  // namespace

ObjectRecord* OpenObject(const OpenRequest& request, ErrorCode& error, bool& existed) {
  ObjectName name;
  if (!ParseName(request.name, name, error)) return nullptr;
  Table& table = TheTable();
  const std::lock_guard guard(table.lock);
  if (const auto found = table.by_key.find(KeyOf(name)); found != table.by_key.end() &&
                                                         found->second->kind != ObjectKind::kSharedMemory &&
                                                         MappingIsBroken(found->second->base, nullptr)) {
    ForgetBroken(table, found->second);  // a mutex or semaphore cut short: the name starts afresh
  }
  if (const auto found = table.by_key.find(KeyOf(name)); found != table.by_key.end()) {
    ObjectRecord* record = found->second;
    if (record->kind != request.kind) {
      error = EEXIST;
      return nullptr;
    }
    ++record->handles;
    existed = true;
    return record;
  }
  // Open-only makes nothing, not even the namespace folder.
  const Folder* folder = OpenFolder(table, FolderOf(name.global, request.kind), !request.open_only, error);
  if (folder == nullptr) return nullptr;
  const auto deadline = Clock::now() + kLockDeadline;
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    ObjectRecord* record = nullptr;
    Step step = Step::kFailed;
    // O_NONBLOCK: a FIFO planted under the name must not stop the open; nothing else changes for a
    // regular file.
    OwnedHandle fd(RetryOnInterrupt(
        [&] { return ::openat(folder->fd, name.file_name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    if (fd) {
      step = JoinObject(*folder, name, request, std::move(fd), deadline, record, error);
      existed = true;
    } else if (errno == ENOENT && request.open_only) {
      error = ENOENT;
    } else if (errno == ENOENT) {
      step = CreateObject(*folder, name, request, record, error);
      existed = false;
    } else {
      error = static_cast<ErrorCode>(errno);
    }
    if (step == Step::kDone) {
      table.by_key.emplace(record->key, record);
      return record;
    }
    if (step == Step::kFailed) return nullptr;
  }
  error = EAGAIN;
  return nullptr;
}

ObjectRecord* RecordOf(void* handle, ObjectKind kind, ErrorCode& error) {
  auto* record = static_cast<ObjectRecord*>(handle);
  if (record == nullptr || record->base == nullptr) {
    error = EBADF;
    return nullptr;
  }
  if (record->kind != kind) {
    error = EINVAL;
    return nullptr;
  }
  // A mutex or semaphore cut short under us fails from then on; its name leads to a new object.
  if (kind != ObjectKind::kSharedMemory && !NoMappingBroken() && MappingIsBroken(record->base, nullptr)) {
    Table& table = TheTable();
    const std::lock_guard guard(table.lock);
    ForgetBroken(table, record);
    error = EBADF;
    return nullptr;
  }
  return record;
}

bool ObjectIsHeld(std::string_view name, ObjectKind kind) {
  ObjectName parsed;
  ErrorCode ignored = 0;
  if (!ParseName(name, parsed, ignored)) return false;
  Folder folder;
  {
    Table& table = TheTable();
    const std::lock_guard guard(table.lock);
    const Folder* opened = OpenFolder(table, FolderOf(parsed.global, kind), false, ignored);
    if (opened == nullptr) return false;  // no folder, no object
    folder = *opened;
  }
  const OwnedHandle fd(RetryOnInterrupt(
      [&] { return ::openat(folder.fd, parsed.file_name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
  if (!fd) return false;
  if (CallError([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) == 0) {
    RemoveIfStillNamed(folder.fd, parsed.file_name, fd.Get());  // dead: nobody holds it
    ::flock(fd.Get(), LOCK_UN);
    return false;
  }
  // A stranger's file held under the name says nothing about the object of that name.
  struct stat info {};
  ObjectHeader header{};
  return ::fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode) && TrustedOwner(info.st_uid, folder) &&
         ReadAll(fd.Get(), std::as_writable_bytes(std::span(&header, 1)), 0) && header.magic == kMagic &&
         header.version == kVersion && header.kind == static_cast<std::uint32_t>(kind);
}

// Another process can cut the file short under a view: the memory trap guards the whole file while
// the object has views. A record that its name no longer leads to was found broken: no new view.
void* AddView(ObjectRecord* record, ErrorCode& error) {
  Table& table = TheTable();
  const std::lock_guard guard(table.lock);
  const auto named = table.by_key.find(record->key);
  if (record->base == nullptr || named == table.by_key.end() || named->second != record) {
    error = EBADF;
    return nullptr;
  }
  if (record->views == 0 && !WatchMapping(record->base, record->mapped_size)) {
    error = static_cast<ErrorCode>(errno);
    return nullptr;
  }
  ++record->views;
  void* view = record->Payload();
  table.by_view[reinterpret_cast<std::uintptr_t>(view)] = record;
  return view;
}

// A broken object is let go at once: its name no longer leads to the record, and closing the file
// drops this process's hold on the cut file, so that the next open removes it and makes the object
// anew. The zero-filled memory keeps its addresses, and stays watched, until the process ends:
// pointers into it may live on above this layer, on other threads too. Like a fork child's records,
// the record then only waits for its last handle.
namespace {
void ForgetBroken(Table& table, ObjectRecord* record) {
  if (record->base == nullptr) return;
  if (const auto named = table.by_key.find(record->key); named != table.by_key.end() && named->second == record) {
    table.by_key.erase(named);
  }
  ::close(record->fd);
  record->fd = -1;
  record->base = nullptr;
}
}  // namespace

bool RemoveView(void* view) {
  Table& table = TheTable();
  const std::lock_guard guard(table.lock);
  const auto found = table.by_view.find(reinterpret_cast<std::uintptr_t>(view));
  if (found == table.by_view.end()) return false;
  ObjectRecord* record = found->second;
  if (--record->views == 0) {
    table.by_view.erase(found);
    if (MappingIsBroken(view, nullptr)) {
      ForgetBroken(table, record);
    } else {
      UnwatchMapping(record->base);
    }
  }
  ReleaseIfUnused(table, record);
  return true;
}

bool ForgetIfBroken(const void* view, bool* first_notice) {
  if (!MappingIsBroken(view, first_notice)) return false;
  Table& table = TheTable();
  const std::lock_guard guard(table.lock);
  if (const auto found = table.by_view.find(reinterpret_cast<std::uintptr_t>(view)); found != table.by_view.end()) {
    ForgetBroken(table, found->second);
  }
  return true;
}

bool ViewRegionSize(const void* view, std::uint64_t& size) {
  Table& table = TheTable();
  const std::lock_guard guard(table.lock);
  const auto address = reinterpret_cast<std::uintptr_t>(view);
  auto found = table.by_view.upper_bound(address);
  if (found == table.by_view.begin()) return false;
  --found;
  const std::uint64_t region = RoundUpToPage(found->second->payload_size);
  const std::uintptr_t page = address / kPageSize * kPageSize;
  if (address - found->first >= region) return false;
  size = region - (page - found->first);
  return true;
}

void FailNextSharedLockForTesting(ErrorCode error) { shared_lock_failure_for_testing.store(error); }

}  // namespace posix

void CloseNamedObject(void* object) {
  auto* record = static_cast<posix::ObjectRecord*>(object);
  posix::Table& table = posix::TheTable();
  const std::lock_guard guard(table.lock);
  --record->handles;
  posix::ReleaseIfUnused(table, record);
}

const ObjectSecurity& SharedObjectSecurity() {
  // Nothing to build: Global objects are created world-readable and -writable (mode 0666).
  static const ObjectSecurity outcome;
  return outcome;
}

}  // namespace platform
