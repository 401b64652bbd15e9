// Faults a real server cannot be asked to show on demand, for the tests'
// build of the IMAP session only (QUELLIX_IMAP_FAULTS): the production
// library is built without them.
#pragma once

#ifdef QUELLIX_IMAP_FAULTS
#include <string>
#include <vector>

namespace localplatform::imap::faults {

// Capabilities (upper case) the session acts as if the server lacked.
inline std::vector<std::string> hiddenCapabilities;

}  // namespace localplatform::imap::faults
#endif
