// The component application that hosts the cleanup sink: found, installed
// and removed through the component catalog (platform/com_admin.h). The
// application is named by the product word; its component file is the
// application name plus this platform's module suffix ("Quellix.so") in the
// process's current directory.
//
// The operations catch every catalog failure and hand back the error entry
// for the setup program's log (with an empty "where"); they never raise.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "setup/core/error_log.h"

namespace setup {

inline constexpr const char* kApplicationName = "Quellix";
// What a component module's file name ends in on this platform.
inline constexpr const char* kModuleSuffix = ".so";
// Defaults of the parameter fields when neither the construction string nor
// the fields hold a value.
inline constexpr const char* kDefaultSpamFolder = "Spam";
inline constexpr const char* kDefaultAgeLimit = "14";

// The component file: the file set by SetComponentFile, else the installed
// module (the install's module folder + "/" + applicationName + ".so") when
// it exists, else current directory + "/" + applicationName + ".so". Empty
// when the current directory cannot be read.
std::string ComponentFilePath(std::string_view applicationName);
// Names the component file of this process (a program told where the module
// is, so that it need not run in the module's folder): a relative path is
// taken from the current directory now. An empty path goes back to the
// current directory's file.
void SetComponentFile(const std::string& path);

struct ComPlusCheck {
    // True when an application of that name exists (names compare without
    // regard to case); stays true once established, even after a failure.
    bool exists = false;
    // Its "Identity" value; empty when not found.
    std::string identity;
    // The construction string of its component ("folder" CR "age"), when
    // construction is enabled and the string is present.
    std::string constructionString;
    // What txtSpamFolder and txtAgeLimit hold afterwards: the construction
    // string's parts, else their current text, else "Spam" and "14".
    std::string txtSpamFolder;
    std::string txtAgeLimit;
    // A catalog failure, for the error log.
    std::optional<ErrorEntry> error;
};

// Whether the application exists, the account it runs under, and the folder
// and age fields (filled in any case, also after a failure).
ComPlusCheck CheckComPlusApplication(std::string_view applicationName,
                                     std::string_view currentSpamFolder,
                                     std::string_view currentAgeLimit);

// Creates the application ("Name", "ApplicationAccessChecksEnabled" false,
// "Identity" and "Password" when both are non-empty after trimming), installs
// the component file into it and refreshes the components; with a non-empty
// construction string, enables construction on the component and sets the
// string. Does not look for an existing application first. Nothing on
// success; the error entry of the first failing catalog call otherwise (a
// failure after the application was saved leaves it without component).
std::optional<ErrorEntry> InstallComPlusApplication(std::string_view applicationName,
                                                    std::string_view identity,
                                                    std::string_view password,
                                                    std::string_view constructionString);

// Removes the first application whose name equals applicationName without
// regard to case. Nothing when done or when there is none; the error entry
// of a failing catalog call otherwise.
std::optional<ErrorEntry> RemoveComPlusApplication(std::string_view applicationName);

// The component of an application: the first whose ProgID begins with the
// application name and "." (exact comparison): "Quellix.QuellixCls", never
// "QuellixOther.Cls".
bool IsApplicationComponent(std::string_view progId, std::string_view applicationName);

// Folder and age of a construction string: both empty unless it holds a
// carriage return at position 2 or later (1-based); then the trimmed texts
// before and after it.
struct ConstructionParts {
    std::string folder;
    std::string age;
};
ConstructionParts SplitConstructionString(std::string_view constructionString);

}  // namespace setup
