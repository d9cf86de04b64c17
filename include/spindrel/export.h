// SPINDREL_API marks the classes and functions the bus library exports. Everything is compiled with
// hidden visibility, so the shared library (libspindrel_bus.so) exports these and nothing of its
// internals: its ABI is this list. A static library is unaffected.
//
// mingw-w64's gcc accepts the attribute and ignores it. The Windows build is static; were it built as
// a DLL, its linker would export every symbol, as it does when nothing is marked dllexport.
#pragma once

#if defined(__GNUC__)
#define SPINDREL_API __attribute__((visibility("default")))
#else
#define SPINDREL_API
#endif
