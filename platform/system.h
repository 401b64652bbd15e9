// Operating-system services the system relies on: the registry value of the
// active time-zone bias, the temporary directory and the account name, and
// directory listings (including the store's share "\\.\backofficestorage\",
// whose entries are the store's namespaces).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/strfuncs.h"
#include "base/variant.h"

namespace platform {

// WshShell.RegRead. Knows the value
// "HKLM\System\CurrentControlSet\Control\TimeZoneInformation\ActiveTimeBias":
// the platform configuration's value (a number, or bytes) when it sets one,
// else the local zone's current offset in minutes with UTC = local + bias.
// Any other name raises 0x80070002: "Invalid root in registry key ..." for an
// unknown root, else "Unable to open registry key ... for reading."
Variant RegRead(const std::string& name);

// GetTempPathA: writes the running account's private temporary directory,
// with a trailing "/", NUL-terminated, into buffer when it fits; returns its
// length without the NUL, or the size needed (NUL included) when
// bufferLength is too small, or 0 when no safe directory can be had. The
// directory is the configuration's "temp_dir", by default <data_dir>/tmp
// (created with mode 0700 when missing), never a name in a shared folder.
uint32_t GetTempPathA(uint32_t bufferLength, char* buffer);

// Why this thread's last GetTempPathA returned 0, as GetLastError tells it:
// "operation(directory) failed: reason (code)". Empty after a success.
std::string GetTempPathFailure();

// GetUserNameA: the running account's name; size in: buffer length, out:
// length including the NUL. Returns false when it does not fit.
bool GetUserNameA(char* buffer, uint32_t* size);

// The account a component application is proposed to run as: the running
// account, unless that is root, which may never be an application's
// identity; then the platform's service account: the owner of the
// configured data folder when that is not root (quellix-admin init gives
// the folder to it), else the account "quellix" when it exists. Empty when
// root runs and neither is found.
std::string ProposedIdentityAccount();

// Names of the entries of a directory (files and folders, no "." or ".."),
// sorted; the path of a file lists that file's name alone. For the store share
// "\\.\backofficestorage\" (any letter case, trailing separator optional) the
// namespaces of the store in creation order; an unreadable store raises its
// platform::Error. A missing directory or file gives an empty list.
std::vector<std::string> ListDirectory(const std::string& path);

// ReportEvent: adds an error entry to the system's event log, where the
// administrator reads what went wrong in the services of this server. On
// this platform the event log is the standard error of the process (the
// event service's own log): one line "source: text" in one write, with
// text made visible as VisibleText does.
void ReportEvent(const std::string& source, const std::string& text) noexcept;

// The --config option that every program of the platform takes first: when
// argv[first] is "--config FILE", FILE becomes the platform configuration of
// this process and the index after it is returned; otherwise first. A
// "--config" without its FILE is left for the caller to refuse as bad usage.
int TakeConfigOption(int argc, char** argv, int first = 1);

}  // namespace platform
