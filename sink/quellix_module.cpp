#include "sink/quellix_module.h"

#include "base/date.h"
#include "isodate/iso_date.h"
#include "platform/ado.h"
#include "platform/ads.h"
#include "platform/system.h"
#include "registration/registration.h"
#include "sink/destination.h"
#include "sink/mailboxes.h"
#include "sink/run_log.h"
#include "sink/run_text.h"

namespace quellix {

bool IsMailboxItemUrl(const std::string& itemUrl) {
    const size_t p = FindNoCase(itemUrl, "/MBX/");
    if (p == std::string::npos) return false;
    if (FindNoCase(itemUrl, "/", p + 5) == std::string::npos) return false;
    return itemUrl.rfind('/') != std::string::npos;
}

namespace {

constexpr double kMaxBiasMinutes = 24 * 60;

std::string Property(const char* suffix) {
    return registration::CustomProperty(suffix);
}

}  // namespace

std::optional<platform::Error> RunCleanup(ThreadState& thread, RunLog& log,
                                          const std::string& itemUrl, int32_t /*flags*/) {
    using namespace platform;
    RunState state{log, thread, {}};
    // The first failure that stops the run; the run goes on past it where it
    // can, as it always has, so that its log says what it did.
    std::optional<Error> failure;
    const auto fail = [&](int32_t number, const std::string& description) {
        if (!failure) failure.emplace(number, description, "RunCleanup");
    };
    ServerNames& server = thread.server;
    StartStoreBusyBudget();  // this run's waits for a busy store are bounded afresh
    // Skip-and-continue: each step runs under err; a failing step leaves what
    // it would have set at the value it had, and the next step runs.
    ErrorState err;
    std::string traversal = "shallow";
    // A failing lookup leaves these empty, not at an earlier run's value.
    server.StoreDomain.clear();
    server.ServerName.clear();

    err.Run([&] { server.StoreDomain = Lower(AdSystemInfo().DomainDNSName()); });
    err.Run([&] { server.ServerName = Lower(WinNtSystemInfo().ComputerName()); });
    server.ServerFqdn = server.ServerName + "." + server.StoreDomain;
    server.StoreFileBase = "file://./backofficestorage/" + server.StoreDomain + "/mbx";
    server.StoreHttpBase =
        "http://" + server.ServerFqdn + "/exadmin/" + server.StoreDomain + "/mbx";

    // The store's own name for its namespace, when it lists one, is what its
    // URLs use (it may be a mail domain other than the directory's).
    const char* const share = "\\\\.\\backofficestorage\\";
    if (!err.Run([&] {
            const std::vector<std::string> names = ListDirectory(share);
            const std::string name = names.empty() ? std::string() : names.front();
            if (!name.empty()) {
                server.StoreHttpBase = "http://" + server.ServerFqdn + "/exadmin/" + name + "/mbx";
                server.StoreFileBase = "file://./backofficestorage/" + name + "/mbx";
            }
        })) {
        // The store cannot be read.
        fail(err.Number(), err.Description());
        err.Run([&] { WriteLog(log, ErrorEntry(err.Number(), err.Description()) + " " + share); });
    }

    if (!IsMailboxItemUrl(itemUrl)) {
        fail(err::kInvalidArg,
             Describe("OnTimer", itemUrl, "not the URL of an item in a mailbox", 0));
        return failure;
    }

    Connection cnn;
    Record rec;
    err.Clear();
    err.Run([&] {
        cnn.SetProvider("exoledb.datasource");
        cnn.SetConnectionString(itemUrl);
        cnn.Open(itemUrl, "", "", -1);
    });
    err.Run([&] {
        rec.Open(itemUrl, nullptr, adModeUnknown, adFailIfNotExists, adOpenRecordUnspecified, "",
                 "");
    });

    if (err.Number() != 0) {
        // No registration item, no parameters: no run.
        fail(err.Number(), err.Description());
        WriteLog(log, ErrorEntry(err.Number(), err.Description()) + " " + VisibleText(itemUrl));
    }

    std::string searchRoot;
    std::string folderName;
    std::string mailboxToMove;
    std::string ageLimit;
    int16_t run = -1;
    int16_t allMailboxes = -1;
    if (err.Number() == 0) {
        // A read that fails (absent, Null, not convertible) keeps the value
        // the parameter had.
        const auto value = [&](const char* suffix) { return rec.Fields(Property(suffix)).Value(); };
        err.Run([&] { searchRoot = Trim(value(registration::kSearchRoot).ToString()); });
        err.Run([&] { folderName = Trim(value(registration::kFolderName).ToString()); });
        err.Run([&] { mailboxToMove = Trim(value(registration::kMailboxToMove).ToString()); });
        state.move.MoveTarget = mailboxToMove;
        if (!state.move.MoveTarget.empty()) {
            const bool searched = err.Run([&] {
                state.move =
                    ResolveDestination(log, searchRoot, state.move.MoveTarget, server.StoreHttpBase,
                                       server.StoreFileBase, server.ServerFqdn);
            });
            if (!searched) {
                // The directory failed: there is no destination, so no run.
                fail(err.Number(), err.Description());
                WriteLog(log, ErrorEntry(err.Number(), err.Description()) + " " +
                                  VisibleText(searchRoot));
            } else if (!state.move.Found()) {
                fail(err::kNotFound,
                     "Destination folder 'Inbox' is not found in " + state.move.MoveTarget);
            }
            if (!state.move.Found()) searchRoot.clear();
        }
        err.Run([&] { ageLimit = Trim(value(registration::kExpirationPeriod).ToString()); });
        err.Run([&] { run = value(registration::kRun).ToInt16(); });
        err.Run([&] {
            thread.ReportRecipient = Trim(value(registration::kReportRecipient).ToString());
        });
        err.Run([&] {
            allMailboxes =
                Variant(Trim(value(registration::kAffectAllMailboxes).ToString())).ToInt16();
        });
        err.Run([&] {
            if (Variant(Trim(value(registration::kIncludeSubfolders).ToString())).ToInt16() > 0) {
                traversal = "deep";
            }
        });
    }
    {
        ErrorState ignored;
        if (rec.State() == adStateOpen) ignored.Run([&] { rec.Close(); });
        if (cnn.State() == adStateOpen) ignored.Run([&] { cnn.Close(); });
    }

    int32_t count = 0;
    if (!searchRoot.empty() && !folderName.empty() && !ageLimit.empty() && run >= 0 && run <= 8) {
        const Date now = Date::NowLocal();
        // Run 1: every day; 2..8: Sunday..Saturday (weekday 1..7); 0: never.
        const bool due = run == 1 || now.Weekday() == run - 1;
        if (due) {
            Date cutoff;  // the zero date: an unusable age limit selects nothing
            err.Run([&] {
                const double days = Variant(ageLimit).ToDouble();
                // A negative age would select messages that have not expired
                // (every one), and an age reaching before the zero date selects
                // nothing anyway: both keep the zero date, like an age that is
                // no number.
                if (days >= 0 && days <= now.Serial()) cutoff = now.AddDays(-days);
            });
            err.Run([&] {
                const double bias = ISODate::GetTimeZoneBias();
                // Real zones lie within a day of UTC. A larger value (four
                // bytes read as an unsigned sum, say) would push the cutoff
                // centuries ahead and select every message: it is refused like
                // a value that cannot be read, and the cutoff stays local.
                if (!(bias >= -kMaxBiasMinutes && bias <= kMaxBiasMinutes)) {
                    throw Error(err::kUnrecognizedData,
                                "ActiveTimeBias out of range: " + std::to_string(bias));
                }
                cutoff = cutoff.AddMinutes(bias);
            });
            err.Run([&] {
                MailboxesTreated treated = ProcessMailboxes(state, searchRoot, folderName, cutoff,
                                                            allMailboxes, traversal);
                count = treated.count;
                if (treated.failure) {
                    fail(treated.failure->Number(),
                         treated.failure->Description() + " " + searchRoot);
                }
            });
        }
    }
    WriteLog(log, std::string(kCrLf) + "Mailboxes processed: " + std::to_string(count));
    return failure;
}

}  // namespace quellix
