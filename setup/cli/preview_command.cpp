#include "setup/cli/preview_command.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "isodate/iso_date.h"
#include "setup/cli/json_text.h"
#include "setup/core/preview.h"

namespace setup {

namespace {

std::string Iso(platform::Date utc) {
    return ISODate::FormatIsoDate(utc);
}

void PrintJson(const RunPreview& p) {
    std::ostringstream out;
    const auto date = [](int64_t count, platform::Date d) {
        return count == 0 ? std::string("null") : JsonString(Iso(d));
    };
    out << "{\n  \"item\": " << JsonString(p.itemUrl) << ",\n"
        << "  \"at\": " << JsonString(platform::GeneralDateText(p.at)) << ",\n"
        << "  \"due\": "
        << (!p.decided ? "null"
            : p.due    ? "true"
                       : "false")
        << ",\n"
        << "  \"cutoff\": " << (p.decided ? JsonString(Iso(p.cutoff)) : std::string("null"))
        << ",\n"
        << "  \"action\": " << JsonString(p.parameters.mailboxToMove.empty() ? "delete" : "move")
        << ",\n"
        << "  \"moveTarget\": " << JsonString(p.moveTarget) << ",\n"
        << "  \"traversal\": " << JsonString(p.parameters.traversal) << ",\n"
        << "  \"noRun\": " << JsonString(p.noRun) << ",\n"
        << "  \"notes\": " << JsonList(p.notes) << ",\n"
        << "  \"directoryCut\": " << JsonString(p.directoryCut) << ",\n"
        << "  \"mailboxes\": [";
    for (size_t i = 0; i < p.mailboxes.size(); ++i) {
        const PreviewMailbox& m = p.mailboxes[i];
        const PreviewFolder& f = m.folder;
        const int64_t count = f.count;
        out << (i ? ",\n" : "\n") << "    {\"name\": " << JsonString(m.name)
            << ", \"address\": " << JsonString(m.address) << ", \"url\": " << JsonString(f.url)
            << ", \"error\": " << JsonString(f.error) << ", \"skipped\": " << JsonList(f.skipped)
            << ", \"notOwn\": " << JsonList(f.notOwn) << ", \"count\": " << count
            << ", \"bytes\": " << f.bytes << ", \"oldest\": " << date(count, f.oldest)
            << ", \"newest\": " << date(count, f.newest) << ",\n     \"messages\": [";
        for (size_t j = 0; j < f.messages.size(); ++j) {
            const auto& msg = f.messages[j];
            out << (j ? ",\n       " : "\n       ") << "{\"href\": " << JsonString(msg.href)
                << ", \"size\": " << msg.size << ", \"received\": " << JsonString(Iso(msg.received))
                << "}";
        }
        out << "]}";
    }
    out << "\n  ],\n  \"totals\": {\"mailboxes\": " << p.mailboxes.size()
        << ", \"messages\": " << p.messages << ", \"bytes\": " << p.bytes
        << ", \"oldest\": " << date(p.messages, p.oldest)
        << ", \"newest\": " << date(p.messages, p.newest) << "}\n}\n";
    std::cout << out.str();
}

}  // namespace

int PreviewCommand(const std::string& itemUrl, const PreviewOptions& options) {
    if (itemUrl.empty()) {
        std::cerr << "quellix-setup: no registration was found on this server; nothing would "
                     "run (write one with 'quellix-setup install' or 'configure')\n";
        return platform::kExitFailed;
    }
    RunPreview preview;
    try {
        // Each message is kept only when it is to be shown.
        preview = PreviewRun(itemUrl, options.at ? *options.at : platform::Date::NowLocal(),
                             options.json || options.messages);
    } catch (const platform::Error& e) {
        std::cerr << "quellix-setup: preview of " << platform::VisibleText(itemUrl)
                  << " failed: " << e.Number() << " " << platform::VisibleText(e.Description())
                  << "\n";
        return platform::kExitFailed;
    }
    if (options.json) {
        PrintJson(preview);
    } else {
        std::cout << PreviewText(preview, options.messages);
    }
    // A folder the run could not reach is a run that completes with
    // failures: the preview says so in its exit status too.
    const bool unreached =
        std::any_of(preview.mailboxes.begin(), preview.mailboxes.end(),
                    [](const PreviewMailbox& m) { return !m.folder.error.empty(); });
    if (unreached) {
        std::cerr << "quellix-setup: preview: a run would not reach the folder of some mailboxes "
                     "(\"not reached\" above)\n";
        return platform::kExitPartly;
    }
    return platform::kExitOk;
}

}  // namespace setup
