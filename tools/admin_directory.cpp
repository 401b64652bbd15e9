// quellix-admin directory: load, inspect, change and generate the directory
// named by the platform configuration (the embedded ldb file, or an LDAP
// server). Runs with its caller's privileges; reads the configuration and
// the files named on the command line. Query texts given here go through the
// same translator as the system's own queries; values are escaped.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/directory/directory_schema.h"
#include "localplatform/directory/directory_service.h"
#include "tools/admin_verbs.h"

namespace admin {
namespace {

namespace dir = localplatform::directory;
using localplatform::PlatformConfig;

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[3];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

bool Printable(const std::string& v) {
    for (unsigned char c : v) {
        if (c < 0x20 && c != '\t') return false;
    }
    return true;
}

std::string Show(const std::string& name, const std::string& v) {
    const dir::AttributeRule* r = dir::FindAttributeRule(name);
    if ((r != nullptr && r->binary) || !Printable(v)) return "0x" + Hex(v);
    return v;
}

// The embedded directory for loading: created when missing, in batch mode.
std::unique_ptr<dir::Backend> OpenForLoad(const PlatformConfig& config, bool replace) {
    const std::string uri = config.DirectoryUri();
    if (dir::IsEmbeddedUri(uri)) {
        const std::string path = dir::EmbeddedPath(uri);
        if (replace) {
            std::filesystem::remove(path);
            std::filesystem::remove(path + "-lock");
        }
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        return dir::OpenLdbDirectory(path, dir::LdbOptions{true, true, false});
    }
    if (replace) throw UsageError("--replace works on the embedded directory only");
    dir::AdsPath root;
    return dir::OpenDirectory(config, root, true);
}

void Progress(size_t n) {
    std::fprintf(stderr, "  %zu entries\n", n);
}

int Load(const std::vector<std::string>& args) {
    const Args a = Split(args, {"replace"});
    if (a.positional.size() != 1) throw UsageError("load needs one LDIF file");
    std::ifstream in(a.positional[0], std::ios::binary);
    if (!in) {
        throw platform::Error(
            platform::err::kFileNotFound,
            platform::Describe("open", a.positional[0], std::strerror(errno), errno));
    }
    std::stringstream ss;
    ss << in.rdbuf();
    const std::vector<dir::Entry> entries = dir::ParseLdif(ss.str());
    const PlatformConfig& config = PlatformConfig::Current();
    std::fprintf(stderr, "loading %zu entries into %s\n", entries.size(),
                 config.DirectoryUri().c_str());
    auto backend = OpenForLoad(config, a.Has("replace"));
    const size_t n = dir::LoadEntries(*backend, entries, Progress);
    std::printf("%zu entries loaded\n", n);
    return platform::kExitOk;
}

int Search(const std::vector<std::string>& args) {
    const Args a = Split(args, {});
    if (a.positional.size() != 1) throw UsageError("search needs one query text");
    dir::SearchOptions o;
    o.scope = static_cast<int>(a.Number("scope", 2));
    o.sizeLimit = static_cast<int>(a.Number("size-limit", 0));
    o.timeoutSeconds = static_cast<int>(a.Number("timeout", 120));
    o.pageSize = static_cast<int>(a.Number("page-size", 0));
    const dir::QueryResult r =
        dir::RunDirectoryQuery(PlatformConfig::Current(), a.positional[0], o);
    for (size_t i = 0; i < r.columns.size(); ++i)
        std::printf("%s%s", i ? "\t" : "", r.columns[i].c_str());
    std::printf("\n");
    for (const auto& row : r.rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            std::printf("%s%s", i ? "\t" : "", row[i] ? Show(r.columns[i], *row[i]).c_str() : "");
        }
        std::printf("\n");
    }
    std::fprintf(stderr, "%zu row(s)\n", r.rows.size());
    return platform::kExitOk;
}

int ShowObject(const std::vector<std::string>& args) {
    const Args a = Split(args, {});
    if (a.positional.size() != 1) throw UsageError("show needs one ADsPath");
    const dir::Entry e = dir::ReadDirectoryObject(PlatformConfig::Current(), a.positional[0]);
    if (!e.dn.empty()) std::printf("dn: %s\n", e.dn.c_str());
    for (const auto& attr : e.attributes) {
        for (const auto& v : attr.values)
            std::printf("%s: %s\n", attr.name.c_str(), Show(attr.name, v).c_str());
    }
    return platform::kExitOk;
}

int SetAttribute(const std::vector<std::string>& args) {
    const Args a = Split(args, {});
    if (a.positional.size() != 3) throw UsageError("set needs ADSPATH ATTRIBUTE VALUE");
    dir::WriteDirectoryObject(
        PlatformConfig::Current(), a.positional[0],
        {{dir::Modification::Op::Replace, a.positional[1], {a.positional[2]}}});
    return platform::kExitOk;
}

int ClearAttribute(const std::vector<std::string>& args) {
    const Args a = Split(args, {});
    if (a.positional.size() != 2) throw UsageError("clear needs ADSPATH ATTRIBUTE");
    dir::WriteDirectoryObject(PlatformConfig::Current(), a.positional[0],
                              {{dir::Modification::Op::Clear, a.positional[1], {}}});
    return platform::kExitOk;
}

std::vector<std::string> SplitList(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ',')) {
        if (!item.empty()) out.push_back(item);
    }
    return out;
}

int Generate(const std::vector<std::string>& args) {
    const Args a = Split(args, {"replace", "no-load"});
    if (!a.positional.empty()) throw UsageError("generate takes options only");
    const PlatformConfig& config = PlatformConfig::Current();
    dir::GeneratorOptions o;
    o.users = static_cast<size_t>(a.Number("users", 100));
    o.seed = static_cast<uint64_t>(a.Number("seed", 1));
    const std::string ownDomain = config.DomainDnsName();
    o.domain =
        a.Get("domain", ownDomain.find('.') != std::string::npos ? ownDomain : "example.com");
    o.mailDomain = a.Get("mail-domain", "");
    o.otherMailDomain = a.Get("other-mail-domain", o.otherMailDomain);
    o.organization = a.Get("organization", o.organization);
    if (a.Has("servers"))
        o.servers = SplitList(a.Get("servers", ""));
    else
        o.servers = {config.ComputerName(), "MAILSRV2", "MAILSRV3"};
    for (auto& s : o.servers) s = platform::Upper(s);
    if (o.servers.empty()) throw UsageError("--servers needs at least one name");
    if (o.domain.empty() || o.domain.find('.') == std::string::npos)
        throw UsageError("--domain needs a DNS domain such as example.com");

    std::fprintf(stderr, "generating %zu users over %zu servers in %s (seed %llu)\n", o.users,
                 o.servers.size(), o.domain.c_str(), static_cast<unsigned long long>(o.seed));
    const std::vector<dir::Entry> entries = dir::GenerateDirectory(o);
    if (a.Has("ldif")) {
        const std::string path = a.Get("ldif", "");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (const auto& e : entries) out << dir::ToLdif(e);
        if (!out.flush()) {
            throw platform::Error(platform::err::kPathFileAccess,
                                  platform::Describe("write", path, std::strerror(errno), errno));
        }
        std::fprintf(stderr, "wrote %zu entries to %s\n", entries.size(), path.c_str());
    }
    if (!a.Has("no-load")) {
        std::fprintf(stderr, "loading into %s\n", config.DirectoryUri().c_str());
        auto backend = OpenForLoad(config, a.Has("replace"));
        (void)dir::LoadEntries(*backend, entries, Progress);
    }
    std::string servers;
    for (const auto& s : o.servers) servers += (servers.empty() ? "" : ",") + s;
    std::printf("%zu entries (%zu users; servers %s)\n", entries.size(), o.users, servers.c_str());
    return platform::kExitOk;
}

const std::vector<Verb>& Verbs() {
    static const std::vector<Verb> verbs = {
        {"load", "load FILE.ldif [--replace]",
         "Adds the entries of an LDIF file (content records or additions) to the directory in one\n"
         "transaction. On the embedded directory the file is created when missing; --replace "
         "starts\n"
         "from an empty file.",
         Load},
        {"search",
         "search \"SELECT ... FROM 'GC://host' WHERE ... [ORDER BY cn]\" [--scope N] [--size-limit "
         "N] "
         "[--timeout S] [--page-size N]",
         "Runs a query of the directory provider's dialect and prints the rows, tab-separated, "
         "with a\n"
         "header line; absent attributes print empty, binary values as 0x... hex.",
         Search},
        {"show", "show ADSPATH",
         "Prints every attribute of one object, e.g. \"GC://RootDSE\" or "
         "\"LDAP://host/CN=...,DC=...\".",
         ShowObject},
        {"set", "set ADSPATH ATTRIBUTE VALUE",
         "Replaces an attribute of one object (e.g. the mark extensionAttribute8).", SetAttribute},
        {"clear", "clear ADSPATH ATTRIBUTE",
         "Removes an attribute of one object; an absent attribute is no error.", ClearAttribute},
        {"generate",
         "generate [--users N] [--servers A,B,...] [--domain D] [--mail-domain M] "
         "[--other-mail-domain "
         "O]\n"
         "           [--organization ORG] [--seed S] [--ldif FILE] [--no-load] [--replace]",
         "Makes a realistic directory: the domain, configuration and schema containers, an "
         "Exchange\n"
         "organisation whose servers (default: this computer, MAILSRV2, MAILSRV3) each have a "
         "mailbox\n"
         "store, a system attendant and a system mailbox SystemMailbox{GUID}, and N users spread "
         "over\n"
         "them: marked (extensionAttribute8 Quellix, in several letter cases) and unmarked, some "
         "marked\n"
         "with another word, some in a second mail domain, some without mail, some without a "
         "mailbox.\n"
         "The same seed gives the same directory. Loads it (batch mode on the embedded directory) "
         "and,\n"
         "with --ldif, also writes it as LDIF for slapadd or ldapadd.",
         Generate},
    };
    return verbs;
}

void Help(FILE* out) {
    std::fprintf(out, "usage: quellix-admin directory VERB [ARGS...]\n\nverbs:\n");
    for (const auto& v : Verbs()) std::fprintf(out, "  %s\n", v.synopsis);
    std::fprintf(
        out,
        "\n'quellix-admin directory VERB --help' explains a verb.\n"
        "The directory is the platform configuration's \"directory\" (default: the embedded\n"
        "file <data_dir>/directory.ldb).\n"
        "exit codes: 0 success, 1 the operation failed, 2 bad usage\n");
}

}  // namespace

int DirectoryMain(int argc, char** argv) {
    return RunGroup("directory", Verbs(), Help, argc, argv);
}

}  // namespace admin
