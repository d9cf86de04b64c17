// Named shared memory: a mapping backed by no file (the paging file on Windows), zero-filled when it is
// created, that every process opening the same name sees.
//
// Names are complete UTF-8 kernel names with their namespace prefix, e.g. "Global\__IPC_SHM__X"
// (see named_object.h). Functions return failures with the system error code and never print.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/named_object.h"

namespace platform {

// Creates the mapping of size bytes, or opens the existing one of that name. An existing mapping keeps
// the size its creator chose, whatever size is asked for here. existed (optional) tells which case
// happened. Invalid on failure, with error set.
NamedObject CreateSharedMemory(std::string_view name, std::uint64_t size, ErrorCode& error, bool* existed = nullptr);

// Opens an existing mapping, never creating one. Invalid when none of that name exists (error is
// ENOENT / ERROR_FILE_NOT_FOUND then) or on another failure.
NamedObject OpenSharedMemory(std::string_view name, ErrorCode& error);

// Maps the whole mapping for reading and writing. Null on failure, with error set. The view stays valid
// until UnmapSharedMemory, even after the mapping's handle is closed.
void* MapSharedMemory(const NamedObject& mapping, ErrorCode& error);

// The size of the region a view covers: the mapping's size rounded up to whole pages. False on failure.
bool QueryRegionSize(const void* view, std::uint64_t& size, ErrorCode& error);

// Unmaps a view from MapSharedMemory. False when view is not one.
bool UnmapSharedMemory(void* view);

// True when the view must no longer be used: on Linux another process cut the file behind it short
// (truncated it, or left pages that cannot be backed), or this process is a fork child of the one that
// mapped it. Such a view stays readable and writable, as zero-filled memory shared with nobody, until
// it is unmapped, so a pointer into it never crashes; its mapping is no longer found by name, so the
// next open of the name opens the object anew. first_notice (optional) is set to true for exactly one
// caller per broken view: the one that reports it. Cheap while nothing is broken; thread-safe. Always
// false on Windows, where a section cannot shrink under a view.
bool SharedMemoryIsBroken(const void* view, bool* first_notice = nullptr);

}  // namespace platform
