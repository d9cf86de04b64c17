// The write failures FailRegistryWrites (registry.h) asks for, kept apart from the two backends that
// consume them: it touches no system call.
#pragma once

namespace platform::registry_faults {

// Consumes one asked-for failure, if any is left: the backend's SetValue then fails as a refused write
// would. Thread-safe.
bool TakeWriteFailure();

}  // namespace platform::registry_faults
