// Reports, once per process, a failure to build the security every named object is created with, and a
// private bus whose folder was refused.
#pragma once

namespace ipc {

// Call before creating a named object. The first call builds the process-wide security record and
// writes its failure line, if any; later calls cost one check.
void prepare_object_security();

}  // namespace ipc
