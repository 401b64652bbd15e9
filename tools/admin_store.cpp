// quellix-admin store: administration of the embedded item store named by the
// platform configuration. Runs with its caller's privileges; reads the
// configuration, files named on the command line and standard input (import).
// URLs and names given on the command line go through the same checks as
// every other caller's.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_query.h"
#include "localplatform/store/store_url.h"
#include "platform/ado.h"
#include "tools/admin_verbs.h"

namespace admin {
namespace {

using localplatform::ItemStore;
using platform::Variant;

const std::vector<Verb>& Verbs();

std::string Fqdn() {
    return localplatform::ThisServerFqdn();
}

localplatform::StoreUrl Parse(const std::string& url) {
    return localplatform::ParseStoreUrl(url, Fqdn());
}

std::string Show(const Variant& v) {
    if (v.IsNull()) return "";
    if (v.Type() == platform::VariantType::Date) {
        const auto p = v.ToDate().Parts();
        char buf[32];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", p.year, p.month, p.day,
                      p.hour, p.minute, p.second);
        return buf;
    }
    if (v.Type() == platform::VariantType::Bool) return v.ToBool() ? "true" : "false";
    if (v.Type() == platform::VariantType::Bytes)
        return "(" + std::to_string(v.AsBytes().size()) + " bytes)";
    return v.ToString();
}

int Usage(const char* verb) {
    for (const auto& v : Verbs()) {
        if (std::strcmp(v.name, verb) == 0)
            std::fprintf(stderr, "usage: quellix-admin store %s\n", v.synopsis);
    }
    return platform::kExitUsage;
}

// ---------------------------------------------------------------- verbs

int CreateNamespace(const std::vector<std::string>& in) {
    const Args a = Split(in, {});
    if (a.positional.size() != 1 || !a.options.empty()) return Usage("create-namespace");
    // The one verb, with generate-corpus, that makes the store itself.
    ItemStore::Create();
    ItemStore::ForThisThread()->CreateNamespace(a.positional[0]);
    std::printf("%s\n", localplatform::FormatStoreUrl(localplatform::UrlScheme::kFile, Fqdn(),
                                                      {a.positional[0]})
                            .c_str());
    return platform::kExitOk;
}

int CreateMailbox(const std::vector<std::string>& in) {
    const Args a = Split(in, {"system"});
    const size_t known = (a.Has("system") ? 1u : 0u) + (a.Has("inbox") ? 1u : 0u);
    if (a.positional.size() != 2 || a.options.size() > known) return Usage("create-mailbox");
    const std::string inbox = a.Has("inbox") ? a.options.at("inbox") : "Inbox";
    ItemStore::ForThisThread()->CreateMailbox(a.positional[0], a.positional[1], a.Has("system"),
                                              inbox);
    std::printf("%s\n", localplatform::FormatStoreUrl(localplatform::UrlScheme::kFile, Fqdn(),
                                                      {a.positional[0], "MBX", a.positional[1]})
                            .c_str());
    return platform::kExitOk;
}

int CreateFolder(const std::vector<std::string>& in) {
    const Args a = Split(in, {});
    if (a.positional.size() != 1 || !a.options.empty()) return Usage("create-folder");
    const auto url = Parse(a.positional[0]);
    if (url.segments.size() < 4) {
        throw platform::Error(platform::err::kAdoInvalidArgument,
                              platform::Describe("create folder", a.positional[0],
                                                 "folders are made inside a mailbox",
                                                 platform::err::kAdoInvalidArgument));
    }
    auto store = ItemStore::ForThisThread();
    const std::vector<std::string> parentPath(url.segments.begin(), url.segments.end() - 1);
    const auto parent = store->Require(parentPath, a.positional[0]);
    const int64_t id = store->CreateFolder(parent.id, url.segments.back());
    std::printf("%s\n",
                localplatform::FormatStoreUrl(url.scheme, Fqdn(), store->PathOf(id)).c_str());
    return platform::kExitOk;
}

int Import(const std::vector<std::string>& in) {
    const Args a = Split(in, {});
    if (a.positional.empty() || a.positional.size() > 2 || !a.Has("received") ||
        a.options.size() != 1) {
        return Usage("import");
    }
    std::string why;
    const auto received = platform::ParseIsoUtcText(a.options.at("received"), &why);
    if (!received) {
        std::fprintf(stderr, "quellix-admin store import: --received \"%s\": %s\n",
                     platform::VisibleText(a.options.at("received")).c_str(), why.c_str());
        return platform::kExitUsage;
    }
    std::string bytes;
    if (a.positional.size() == 1 || a.positional[1] == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        platform::Stream s;
        s.LoadFromFile(a.positional[1]);
        bytes = s.Bytes();
    }
    const auto url = Parse(a.positional[0]);
    auto store = ItemStore::ForThisThread();
    const auto folder = store->Require(url.segments, a.positional[0]);
    const int64_t id = store->SaveMessage(folder.id, bytes, localplatform::ToStoreTime(*received));
    std::printf("%s\n",
                localplatform::FormatStoreUrl(url.scheme, Fqdn(), store->PathOf(id)).c_str());
    return platform::kExitOk;
}

int List(const std::vector<std::string>& in) {
    const Args a = Split(in, {"deep"});
    if (a.positional.size() != 1 || a.options.size() > (a.Has("deep") ? 1u : 0u))
        return Usage("list");
    std::string url = a.positional[0];
    auto store = ItemStore::ForThisThread();
    const auto query = localplatform::ParseQuery(
        std::string("select \"DAV:href\", \"urn:schemas:httpmail:datereceived\", \"DAV:ishidden\", "
                    "\"DAV:contentclass\" from scope(") +
        localplatform::QuoteQueryText(std::string(a.Has("deep") ? "deep" : "shallow") +
                                          " traversal of " +
                                          localplatform::QuoteQueryText(url, '"'),
                                      '\'') +
        ")");
    for (const auto& row : localplatform::RunQuery(*store, query).rows) {
        // An item the store cannot read is listed, and said, with the rest.
        const std::string received = !row.values[1].IsNull() ? Show(row.values[1])
                                     : row.unreadable        ? std::string("unreadable")
                                                             : std::string("-");
        std::printf("%s\t%s\t%s\t%s\n", Show(row.values[0]).c_str(), received.c_str(),
                    row.values[2].IsNull() || !row.values[2].ToBool() ? "visible" : "hidden",
                    Show(row.values[3]).c_str());
        if (row.unreadable) {
            std::fprintf(stderr, "quellix-admin store list: %s\n",
                         platform::VisibleText(row.unreadable->Description()).c_str());
        }
    }
    return platform::kExitOk;
}

int ShowItem(const std::vector<std::string>& in) {
    const Args a = Split(in, {});
    if (a.positional.size() != 1 || !a.options.empty()) return Usage("show");
    const auto url = Parse(a.positional[0]);
    auto store = ItemStore::ForThisThread();
    const auto row = store->Require(url.segments, a.positional[0]);
    for (const auto& name : store->PropertyNames(row)) {
        const Variant v = store->Value(row, name, url.scheme);
        std::printf("%s\t%s\t%s\n", name.c_str(), platform::VariantTypeName(v.Type()),
                    Show(v).c_str());
    }
    if (!row.IsFolder()) std::printf("(content)\t%zu bytes\n", store->Content(row.id).size());
    return platform::kExitOk;
}

int Delete(const std::vector<std::string>& in) {
    const Args a = Split(in, {});
    if (a.positional.size() != 1 || !a.options.empty()) return Usage("delete");
    const auto url = Parse(a.positional[0]);
    auto store = ItemStore::ForThisThread();
    const auto row = store->Require(url.segments, a.positional[0]);
    (void)store->DeleteItem(row.id);
    return platform::kExitOk;
}

// A message of about size bytes, the same for the same generator state.
std::string MakeMessage(std::mt19937_64& rng, size_t size, const std::string& to,
                        int64_t received) {
    static const char* const kWords[] = {"offer", "free",   "winner", "account", "urgent",
                                         "click", "price",  "today",  "limited", "deal",
                                         "bonus", "credit", "save",   "now"};
    std::string m = "From: \"Sender " + std::to_string(rng() % 1000) + "\" <sender" +
                    std::to_string(rng() % 1000) + "@spam.example>\r\nTo: <" + to +
                    ">\r\nSubject: ";
    for (int i = 0; i < 4; ++i)
        m += std::string(kWords[rng() % std::size(kWords)]) + (i < 3 ? " " : "\r\n");
    const auto d = localplatform::FromStoreTime(received).Parts();
    char date[64];
    std::snprintf(date, sizeof date, "Date: %04d-%02d-%02dT%02d:%02d:%02dZ\r\n", d.year, d.month,
                  d.day, d.hour, d.minute, d.second);
    m += date;
    m += "Message-ID: <" + std::to_string(rng()) +
         "@spam.example>\r\nMIME-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
    size_t line = 0;
    while (m.size() < size) {
        const std::string w = kWords[rng() % std::size(kWords)];
        m += w;
        line += w.size() + 1;
        if (line > 70) {
            m += "\r\n";
            line = 0;
        } else {
            m += ' ';
        }
    }
    return m + "\r\n";
}

int64_t Number(const Args& a, const std::string& key, int64_t fallback, int64_t min, int64_t max) {
    if (!a.Has(key)) return fallback;
    size_t used = 0;
    int64_t v = 0;
    try {
        v = std::stoll(a.options.at(key), &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != a.options.at(key).size() || v < min || v > max) {
        throw std::invalid_argument("--" + key + " must be a number from " + std::to_string(min) +
                                    " to " + std::to_string(max));
    }
    return v;
}

int GenerateCorpus(const std::vector<std::string>& in) {
    const Args a = Split(in, {});
    if (!a.positional.empty() || !a.Has("namespace")) return Usage("generate-corpus");
    for (const auto& [k, v] : a.options) {
        if (k != "namespace" && k != "mailboxes" && k != "messages" && k != "size" &&
            k != "folder" && k != "days" && k != "seed" && k != "until" && k != "prefix") {
            return Usage("generate-corpus");
        }
    }
    const std::string ns = a.options.at("namespace");
    const int64_t mailboxes = Number(a, "mailboxes", 10, 1, 10'000'000);
    const int64_t messages = Number(a, "messages", 100, 0, 10'000'000);
    const int64_t size = Number(a, "size", 2048, 64, 64 << 20);
    const int64_t days = Number(a, "days", 60, 1, 36500);
    const int64_t seed = Number(a, "seed", 1, 0, INT64_MAX);
    const std::string folderPath = a.options.count("folder") ? a.options.at("folder") : "Junk Mail";
    const std::string prefix = a.options.count("prefix") ? a.options.at("prefix") : "user";
    int64_t until = localplatform::ToStoreTime(platform::Date::NowUtc());
    if (a.Has("until")) {
        std::string why;
        const auto d = platform::ParseIsoUtcText(a.options.at("until"), &why);
        if (!d) {
            throw std::invalid_argument(
                "--until \"" + platform::VisibleText(a.options.at("until")) + "\": " + why);
        }
        until = localplatform::ToStoreTime(*d);
    }
    std::vector<std::string> folderNames;
    for (size_t start = 0; start <= folderPath.size();) {
        const size_t slash = folderPath.find('/', start);
        folderNames.push_back(folderPath.substr(
            start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }

    ItemStore::Create();
    auto store = ItemStore::ForThisThread();
    if (!store->Lookup({ns})) store->CreateNamespace(ns);
    std::mt19937_64 rng(static_cast<uint64_t>(seed));
    const int64_t span = days * 86400;
    int64_t written = 0;
    for (int64_t m = 0; m < mailboxes; ++m) {
        char alias[64];
        std::snprintf(alias, sizeof alias, "%s%06lld", prefix.c_str(),
                      static_cast<long long>(m) + 1);
        // One transaction per mailbox: fast, and a crash leaves whole mailboxes.
        store->BeginTransaction();
        try {
            int64_t folder = store->CreateMailbox(ns, alias, false);
            for (const auto& name : folderNames) {
                const auto existing = store->Lookup([&] {
                    auto p = store->PathOf(folder);
                    p.push_back(name);
                    return p;
                }());
                folder = existing ? existing->id : store->CreateFolder(folder, name);
            }
            for (int64_t i = 0; i < messages; ++i) {
                const int64_t received =
                    until - static_cast<int64_t>(rng() % static_cast<uint64_t>(span));
                char name[48];
                std::snprintf(name, sizeof name, "%016llX%08llX.EML",
                              static_cast<unsigned long long>(rng()),
                              static_cast<unsigned long long>(i));
                store->SaveMessage(folder,
                                   MakeMessage(rng, static_cast<size_t>(size),
                                               std::string(alias) + "@" + ns, received),
                                   received, name);
                ++written;
            }
            store->CommitTransaction();
        } catch (...) {
            store->RollbackTransaction();
            throw;
        }
        if ((m + 1) % 100 == 0 || m + 1 == mailboxes) {
            std::fprintf(stderr, "\rgenerate-corpus: %lld/%lld mailboxes, %lld messages",
                         static_cast<long long>(m) + 1, static_cast<long long>(mailboxes),
                         static_cast<long long>(written));
            std::fflush(stderr);
        }
    }
    std::fprintf(stderr, "\n");
    return platform::kExitOk;
}

const std::vector<Verb>& Verbs() {
    static const std::vector<Verb> verbs = {
        {"create-namespace", "create-namespace NS",
         "Creates the namespace (domain folder) NS with its MBX container.", CreateNamespace},
        {"create-mailbox", "create-mailbox NS ALIAS [--system] [--inbox NAME]",
         "Creates mailbox ALIAS in namespace NS with the standard folders (Inbox, Outbox, Sent "
         "Items,\n"
         "Deleted Items, Drafts, Calendar, Contacts, Tasks, Notes, Journal); --system also makes\n"
         "StoreEvents/GlobalEvents, as in a server's system mailbox. --inbox NAME names the Inbox\n"
         "as a localised mailbox does (e.g. Posteingang); the mailbox's\n"
         "urn:schemas:httpmail:inbox property gives its URL.",
         CreateMailbox},
        {"create-folder", "create-folder URL",
         "Creates the folder at URL; its parent folder must exist.", CreateFolder},
        {"import", "import FOLDER-URL [FILE|-] --received yyyy-mm-ddThh:mm:ssZ",
         "Saves the message in FILE (or standard input) into the folder with the given received "
         "time\n"
         "(UTC); prints the new item's URL.",
         Import},
        {"list", "list URL [--deep]",
         "Lists the folder's items and subfolders (--deep: and those of every folder below):\n"
         "URL, received time (UTC), hidden flag, content class, separated by tabs. An item\n"
         "whose values the store cannot read shows 'unreadable', and standard error says why.",
         List},
        {"show", "show URL", "Shows every property of the item: name, type, value.", ShowItem},
        {"delete", "delete URL", "Deletes the item, a folder with everything below it.", Delete},
        {"generate-corpus",
         "generate-corpus --namespace NS [--mailboxes N] [--messages M] [--size S] [--folder "
         "PATH]\n"
         "                [--days D] [--seed X] [--until yyyy-mm-ddThh:mm:ssZ] [--prefix P]",
         "Creates N mailboxes P000001... (default 10, prefix \"user\") in NS, each with the folder "
         "PATH\n"
         "(default \"Junk Mail\", \"/\" between levels) holding M messages (default 100) of about "
         "S bytes\n"
         "(default 2048) received over the D days (default 60) before --until (default now).\n"
         "The same seed gives the same corpus. Shows progress on standard error.",
         GenerateCorpus},
    };
    return verbs;
}

void GroupHelp(FILE* out) {
    std::fprintf(
        out,
        "usage: quellix-admin store VERB [ARGS...]\n\n"
        "Administers the item store named by the platform configuration. URLs are\n"
        "file://./backofficestorage/NS/MBX/ALIAS/... or http://FQDN/exadmin/NS/mbx/ALIAS/...\n\n"
        "verbs:\n");
    for (const auto& v : Verbs()) std::fprintf(out, "  %s\n", v.synopsis);
    std::fprintf(out,
                 "\n'quellix-admin store VERB --help' describes a verb.\n"
                 "exit codes: 0 success, 1 the operation failed, 2 bad usage\n");
}

}  // namespace

int StoreMain(int argc, char** argv) {
    return RunGroup("store", Verbs(), GroupHelp, argc, argv);
}

}  // namespace admin
