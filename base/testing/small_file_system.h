// Test support: a real small file system, to fill up on purpose. A tmpfs of
// a given size mounted on a folder in a private mount namespace of the
// calling process, so nothing outside it sees the mount. Needs root, or
// user namespaces (the process then becomes root of its own namespace).
// Meant for a child process: the namespace is the process's own from then on.
#pragma once

#include <string>

namespace platform::testing {

// Mounts a tmpfs of size ("8k", "4m": tmpfs's size option) on the existing
// folder dir, readable and writable by this account only. Returns false,
// having mounted nothing, when no private mount namespace can be made here.
bool MountSmallFileSystem(const std::string& dir, const std::string& size);

// Writes zeros to path until the file system is full; returns the bytes
// written.
long FillFileSystem(const std::string& path);

}  // namespace platform::testing
