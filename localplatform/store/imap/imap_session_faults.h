// Faults a real server cannot be asked to show on demand, for the tests'
// build of the IMAP session only (QUELLIX_IMAP_FAULTS): the production
// library is built without them.
#pragma once

#ifdef QUELLIX_IMAP_FAULTS
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace localplatform::imap::faults {

// Capabilities (upper case) the session acts as if the server lacked.
inline std::vector<std::string> hiddenCapabilities;

// The COPYUID of every UID MOVE or UID COPY names this UID range as its
// source and its destination, in place of what the server said.
inline std::optional<std::pair<uint32_t, uint32_t>> copyUid;

// Every UID MOVE or UID COPY is answered without COPYUID, as a server
// breaking UIDPLUS would answer.
inline bool noCopyUid = false;

// Host-name lookups get no answer from the resolver before their deadline.
inline bool stalledLookups = false;

}  // namespace localplatform::imap::faults
#endif
