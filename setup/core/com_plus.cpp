#include "setup/core/com_plus.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "base/strfuncs.h"
#include "platform/com_admin.h"

namespace setup {

namespace {

using platform::CatalogCollection;
using platform::ComAdminCatalog;
using platform::Variant;

// The index of the first application named name (without regard to case),
// or -1. Walks by index as the catalog's collections are walked.
int32_t FindApplication(CatalogCollection& apps, std::string_view name) {
    for (int32_t i = 0; i < apps.Count(); ++i) {
        if (platform::EqualsNoCase(apps.Item(i).Name(), name)) return i;
    }
    return -1;
}

ErrorEntry CatalogError(const platform::Error& e) {
    // The catalog procedures log with an empty context.
    return ErrorEntry::FromError(e, "");
}

ErrorEntry UnexpectedError(const std::exception& e) {
    return ErrorEntry::FromError(platform::Error(platform::err::kFail, e.what()), "");
}

// The file named by SetComponentFile; empty: the current directory's.
std::string& ComponentFileOverride() {
    static std::string path;
    return path;
}

}  // namespace

void SetComponentFile(const std::string& path) {
    std::string absolute = path;
    if (!path.empty() && path.front() != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) absolute = std::string(cwd) + "/" + path;
    }
    ComponentFileOverride() = absolute;
}

std::string ComponentFilePath(std::string_view applicationName) {
    if (!ComponentFileOverride().empty()) return ComponentFileOverride();
#ifdef QUELLIX_INSTALLED_MODULE_DIR
    // Installed, the programs take the module installed beside them, as the
    // catalog names it, wherever they are started from.
    std::string installed = std::string(QUELLIX_INSTALLED_MODULE_DIR) + "/" +
                            std::string(applicationName) + kModuleSuffix;
    struct stat st {};
    if (::stat(installed.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return installed;
#endif
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return {};
    return std::string(cwd) + "/" + std::string(applicationName) + kModuleSuffix;
}

bool IsApplicationComponent(std::string_view progId, std::string_view applicationName) {
    const std::string prefix = std::string(applicationName) + ".";
    return progId.substr(0, prefix.size()) == prefix;
}

ConstructionParts SplitConstructionString(std::string_view constructionString) {
    const size_t cr = constructionString.find('\r');
    // At position 2 or later (1-based): a string that starts with the carriage
    // return names no folder and is ignored.
    if (cr == std::string_view::npos || cr == 0) return {};
    return {platform::Trim(constructionString.substr(0, cr)),
            platform::Trim(constructionString.substr(cr + 1))};
}

ComPlusCheck CheckComPlusApplication(std::string_view applicationName,
                                     std::string_view currentSpamFolder,
                                     std::string_view currentAgeLimit) {
    ComPlusCheck out;
    try {
        ComAdminCatalog catalog;
        CatalogCollection apps = catalog.GetCollection("Applications");
        apps.Populate();
        const int32_t index = FindApplication(apps, applicationName);
        if (index >= 0) {
            out.exists = true;
            auto& app = apps.Item(index);
            out.identity = app.Value("Identity").ToStringOrEmpty();
            catalog.RefreshComponents();
            CatalogCollection components = apps.GetCollection(
                "Components", Variant(platform::Upper(app.Value("ID").ToString())));
            components.Populate();
            for (int32_t i = 0; i < components.Count(); ++i) {
                auto& component = components.Item(i);
                if (!IsApplicationComponent(component.Name(), applicationName)) continue;
                if (component.Value("ConstructionEnabled").ToBool()) {
                    const Variant text = component.Value("ConstructorString");
                    if (!text.IsNull()) out.constructionString = text.ToString();
                }
                break;
            }
        }
    } catch (const platform::Error& e) {
        out.error = CatalogError(e);
    } catch (const std::exception& e) {
        out.error = UnexpectedError(e);
    }

    const ConstructionParts parts = SplitConstructionString(out.constructionString);
    out.txtAgeLimit = parts.age;
    if (out.txtAgeLimit.empty()) {
        out.txtAgeLimit = currentAgeLimit.empty() ? kDefaultAgeLimit : std::string(currentAgeLimit);
    }
    out.txtSpamFolder = parts.folder;
    if (out.txtSpamFolder.empty()) {
        out.txtSpamFolder =
            currentSpamFolder.empty() ? kDefaultSpamFolder : std::string(currentSpamFolder);
    }
    return out;
}

std::optional<ErrorEntry> InstallComPlusApplication(std::string_view applicationName,
                                                    std::string_view identity,
                                                    std::string_view password,
                                                    std::string_view constructionString) {
    try {
        ComAdminCatalog catalog;
        CatalogCollection apps = catalog.GetCollection("Applications");
        apps.Populate();
        auto& app = apps.Add();
        app.SetValue("Name", Variant(std::string(applicationName)));
        app.SetValue("ApplicationAccessChecksEnabled", Variant(false));
        const std::string account = platform::Trim(identity);
        const std::string secret = platform::Trim(password);
        if (!account.empty() && !secret.empty()) {
            app.SetValue("Identity", Variant(account));
            app.SetValue("Password", Variant(secret));
        }
        const std::string id = app.Value("ID").ToString();
        apps.SaveChanges();

        catalog.InstallComponent(std::string(applicationName), ComponentFilePath(applicationName),
                                 "", "");
        catalog.RefreshComponents();

        if (!constructionString.empty()) {
            CatalogCollection components =
                apps.GetCollection("Components", Variant(platform::Upper(id)));
            components.Populate();
            for (int32_t i = 0; i < components.Count(); ++i) {
                auto& component = components.Item(i);
                if (!IsApplicationComponent(component.Name(), applicationName)) continue;
                component.SetValue("ConstructionEnabled", Variant(true));
                component.SetValue("ConstructorString", Variant(std::string(constructionString)));
                break;
            }
            components.SaveChanges();
        }
        return std::nullopt;
    } catch (const platform::Error& e) {
        return CatalogError(e);
    } catch (const std::exception& e) {
        return UnexpectedError(e);
    }
}

std::optional<ErrorEntry> RemoveComPlusApplication(std::string_view applicationName) {
    try {
        ComAdminCatalog catalog;
        CatalogCollection apps = catalog.GetCollection("Applications");
        apps.Populate();
        const int32_t index = FindApplication(apps, applicationName);
        if (index >= 0) {
            apps.Remove(index);
            apps.SaveChanges();
        }
        return std::nullopt;
    } catch (const platform::Error& e) {
        return CatalogError(e);
    } catch (const std::exception& e) {
        return UnexpectedError(e);
    }
}

}  // namespace setup
