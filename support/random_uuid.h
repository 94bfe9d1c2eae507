// Random identifiers: the agent ID, session IDs and tokens.
#pragma once

#include <string>

namespace vantle::support {

// A version 4 UUID from the kernel's secure random source, in its canonical
// 36-character form with upper-case hexadecimal ("1B4E28BA-2FA1-4D3B-...").
// Thread-safe. Blocks only while the kernel's pool is not yet initialised
// at boot.
std::string randomUUID();

}  // namespace vantle::support
