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

}  // namespace platform
