// Faults a real Maildir cannot be made to show on demand, for the tests'
// build of the Maildir backend only (QUELLIX_MAILDIR_FAULTS): lp_store is
// built without them.
#pragma once

#ifdef QUELLIX_MAILDIR_FAULTS
#include <functional>
#include <string>

namespace localplatform::maildir_faults {

// Called with a message file's directory and name (relative to it) just
// before the file is opened to be read or moved, and just before it is
// renamed into another folder: what a test does there, another program could
// do between the two steps.
inline std::function<void(int dir, const std::string& name)> beforeOpen;
inline std::function<void(int dir, const std::string& name)> beforeRename;
// After a move's rename, before its folders are synced: a failure there (a
// failing fsync) comes after the message moved.
inline std::function<void()> afterRename;
// Before deletes are synced (on NFS, a wait on a server).
inline std::function<void()> beforeSync;

}  // namespace localplatform::maildir_faults
#endif
