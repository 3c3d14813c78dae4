#pragma once

// Marks the classes that form the native interface of the velmora shared
// object. The core is compiled with hidden visibility; only these symbols are
// exported beside the module's initialisation function.
#if defined(__GNUC__)
#define VELMORA_EXPORT __attribute__((visibility("default")))
#else
#define VELMORA_EXPORT
#endif
