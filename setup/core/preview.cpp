#include "setup/core/preview.h"

#include <sstream>

#include "base/strfuncs.h"
#include "isodate/iso_date.h"
#include "platform/ado.h"
#include "registration/registration.h"
#include "selection/destination.h"
#include "selection/mailbox_selection.h"
#include "selection/server_names.h"

namespace setup {

namespace {

using platform::Date;

void Widen(Date received, Date& oldest, Date& newest, bool first) {
    if (first || received < oldest) oldest = received;
    if (first || newest < received) newest = received;
}

// The folder of one mailbox at the URL forms a run tries, stopping where the
// run would stop, passing over what the run passes over and saying the
// error the run logs.
PreviewFolder SelectFolder(const quellix::MailboxRow& row, const quellix::ServerNames& server,
                           const RunPreview& preview, bool keepMessages) {
    PreviewFolder folder;
    PreviewFolder said;  // the failure that tells why the folder was not reached
    std::vector<std::string> notOwn;
    const auto& p = preview.parameters;
    const std::vector<quellix::FolderUrlTry> tries =
        quellix::FolderUrlTries(row, server, p.folderName);
    if (tries.empty()) said.error = quellix::kNoAddressReason;  // as the run says
    for (const quellix::FolderUrlTry& attempt : tries) {
        if (const auto owner =
                quellix::OtherOwnerOf(attempt, row, p.searchRoot, server.ServerName)) {
            notOwn.push_back(quellix::AnotherOwnersMailboxText(attempt.url, *owner, row));
            continue;
        }
        folder = PreviewFolder{};
        folder.url = attempt.url;
        platform::ErrorState err;
        err.Run([&] {
            (void)quellix::ForEachExpiredMessage(
                attempt.url, preview.cutoff, p.traversal, [&](platform::Recordset& rs) {
                    quellix::SelectedMessage m;
                    try {
                        m = quellix::ReadSelectedMessage(rs);
                    } catch (const platform::Error& e) {
                        // Passed over, as a run passes it over.
                        if (e.Number() != platform::err::kCantConvert) throw;
                        folder.skipped.push_back(e.Description());
                        return;
                    }
                    Widen(m.received, folder.oldest, folder.newest, folder.count == 0);
                    ++folder.count;
                    folder.bytes += m.size;
                    if (keepMessages) folder.messages.push_back(std::move(m));
                });
        });
        if (err.Number() == 0) {
            folder.notOwn = std::move(notOwn);
            return folder;
        }
        // As in a run, what this form found is not what the next one sweeps,
        // and a form by another name that finds nothing says nothing of this
        // mailbox.
        if (quellix::SaysWhyUnreached(attempt, row, !said.url.empty())) {
            said = PreviewFolder{};
            said.url = attempt.url;
            said.error = std::to_string(err.Number()) + " " + err.Description();
        }
    }
    said.notOwn = std::move(notOwn);
    return said;
}

}  // namespace

std::string RegistrationItemUrl(const RegistrationCheck& check) {
    if (check.result != 1 || check.urlsTried.empty()) return {};
    return registration::ItemUrlIn(check.urlsTried.back());
}

RunPreview PreviewRun(const std::string& itemUrl, Date at, bool keepMessages) {
    // A preview changes no byte of the store: not even an older store's
    // version.
    const platform::ReadOnlyStore readOnly;
    RunPreview preview;
    preview.itemUrl = itemUrl;
    preview.at = at;
    quellix::ServerNames server;
    if (auto unreadable = quellix::FindServerNames(server)) throw *unreadable;
    preview.parameters = quellix::ReadRunParametersOf(itemUrl);
    auto& p = preview.parameters;

    if (p.mailboxToMoveUnreadable) {
        preview.noRun = quellix::UnreadableDestinationText(*p.mailboxToMoveUnreadable);
        return preview;
    }
    if (!p.mailboxToMove.empty()) {
        const quellix::MoveDestination move = quellix::ResolveDestination(
            [&](const std::string& line) { preview.notes.push_back(line); }, p.searchRoot,
            p.mailboxToMove, server.StoreHttpBase, server.StoreFileBase, server.ServerFqdn);
        if (!move.Found()) {
            preview.noRun = "Destination folder 'Inbox' is not found in " + move.MoveTarget;
            return preview;
        }
        preview.moveTarget = move.MoveTarget;
    }
    if (!p.Runnable()) {
        preview.noRun = p.run == 0 ? "the registration is set to \"Never run\""
                                   : "the registration lacks a folder, an age limit, a search "
                                     "root or a valid run day";
        return preview;
    }
    preview.decided = true;
    preview.due = quellix::IsRunDay(p.run, at);
    if (!preview.due) preview.noRun = "not a run day: a run at this instant removes nothing";

    platform::ErrorState cutoffErr;
    preview.cutoff = quellix::RunCutoff(at, p.ageLimit, cutoffErr);
    if (cutoffErr.Number() != 0) {
        preview.notes.push_back("cutoff: " + std::to_string(cutoffErr.Number()) + " " +
                                cutoffErr.Description());
    }

    preview.directoryCut = quellix::ForEachTreatedMailbox(
        p.searchRoot, server.ServerName, p.allMailboxes, [&](const quellix::MailboxRow& row) {
            PreviewMailbox mailbox{row.name, row.address,
                                   SelectFolder(row, server, preview, keepMessages)};
            const PreviewFolder& f = mailbox.folder;
            if (f.count > 0) {
                Widen(f.oldest, preview.oldest, preview.newest, preview.messages == 0);
                Widen(f.newest, preview.oldest, preview.newest, false);
            }
            preview.messages += f.count;
            preview.bytes += f.bytes;
            preview.mailboxes.push_back(std::move(mailbox));
        });
    return preview;
}

namespace {

std::string Iso(platform::Date utc) {
    return ISODate::FormatIsoDate(utc);
}

// A received-time range, or nothing when no message was selected.
std::string Range(int64_t count, platform::Date oldest, platform::Date newest) {
    if (count == 0) return {};
    return ", received " + Iso(oldest) + " .. " + Iso(newest);
}

}  // namespace

std::string PreviewText(const RunPreview& p, bool listMessages) {
    using platform::VisibleText;
    std::ostringstream out;
    out << "Preview of a run of " << VisibleText(p.itemUrl) << "\n"
        << "At: " << platform::GeneralDateText(p.at) << " (local)";
    // Whether it is a run day, and the cutoff, only when the selection got
    // so far: nothing made up for a run that cannot select.
    if (p.decided) out << (p.due ? ", a run day" : ", not a run day");
    out << "\n";
    if (p.decided) {
        out << "Cutoff: messages received at or before " << Iso(p.cutoff) << " (age limit "
            << VisibleText(p.parameters.ageLimit) << " days)\n"
            << "Folder: " << VisibleText(p.parameters.folderName)
            << (p.parameters.traversal == "deep" ? " and the folders below it" : "") << "\n";
    }
    out << "Action: "
        << (p.parameters.mailboxToMove.empty()
                ? std::string("delete")
                : "move to " +
                      VisibleText(p.moveTarget.empty() ? p.parameters.mailboxToMove : p.moveTarget))
        << "\n";
    for (const auto& note : p.notes) out << "Note: " << VisibleText(note) << "\n";
    if (!p.noRun.empty()) out << "No run: " << p.noRun << "\n";
    for (const auto& m : p.mailboxes) {
        out << "\nMailbox: " << VisibleText(m.name)
            << (m.address.empty() ? std::string(" (no address)")
                                  : " <" + VisibleText(m.address) + ">")
            << "\n";
        const PreviewFolder& f = m.folder;
        for (const auto& why : f.notOwn) out << "  " << VisibleText(why) << "\n";
        if (!f.error.empty()) {
            out << "  " << (f.url.empty() ? std::string() : VisibleText(f.url) + ": ")
                << "not reached: " << VisibleText(f.error) << "\n";
            continue;
        }
        out << "  " << VisibleText(f.url) << ": " << f.count << " messages, " << f.bytes << " bytes"
            << Range(f.count, f.oldest, f.newest) << "\n";
        for (const auto& why : f.skipped) out << "  skipped: " << VisibleText(why) << "\n";
        if (!listMessages) continue;
        for (const auto& msg : f.messages) {
            out << "    " << VisibleText(msg.href) << "  " << msg.size << " bytes  received "
                << Iso(msg.received) << "\n";
        }
    }
    if (!p.directoryCut.empty()) {
        out << "\nNot every mailbox was listed: " << VisibleText(p.directoryCut) << "\n";
    }
    out << "\nTotal: " << p.mailboxes.size() << " mailboxes, " << p.messages << " messages, "
        << p.bytes << " bytes" << Range(p.messages, p.oldest, p.newest) << "\n";
    return out.str();
}

}  // namespace setup
