// quellix-setup: the setup program's command line, for administrators and
// scripts. It shows the installation state, the registration and its
// parameters and the two mailbox lists; it installs and removes the
// component application, writes the registration's parameters and marks or
// unmarks mailboxes, each through the same CHANGE command, with the same
// checks and texts, as the setup window.
//
// Runs with the privileges of its caller, who must be able to write the
// store, the component catalog and the directory. Untrusted input: the
// command line and the password file (or standard input); the password is
// never taken as an argument and never printed. Addresses and names go into
// directory queries only through the directory layer's quoting helper.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/date.h"
#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"
#include "base/version.h"
#include "isodate/iso_date.h"
#include "platform/ado.h"
#include "platform/run_history.h"
#include "platform/system.h"
#include "selection/destination.h"
#include "selection/server_names.h"
#include "setup/cli/command_line.h"
#include "setup/cli/history_command.h"
#include "setup/cli/json_text.h"
#include "setup/cli/preview_command.h"
#include "setup/cli/undo_command.h"
#include "setup/core/apply_changes.h"
#include "setup/core/environment.h"
#include "setup/core/preview.h"
#include "setup/core/run_health.h"
#include "setup/core/setup_text.h"
#include "setup/core/undo_move.h"

namespace {

using namespace setup;
using platform::kExitFailed;
using platform::kExitOk;
using platform::kExitPartly;
using platform::VisibleText;

constexpr const char* kUsage =
    "usage: quellix-setup [--config FILE] [--module PATH] COMMAND [OPTIONS]\n"
    "       quellix-setup --version\n"
    "\n"
    "--module PATH names the component module; without it the module is the\n"
    "installed one (/usr/lib/quellix/Quellix.so from the packages), or, where\n"
    "none is installed, the file Quellix.so in the current directory.\n"
    "\n"
    "commands:\n"
    "  status [--json]            installation state, registration and its parameters,\n"
    "                             the registered mailboxes and those that can be registered;\n"
    "                             flags mailboxes whose folder failed or was not reached on\n"
    "                             the last two due runs, and a due run that did not happen\n"
    "  history [--last N] [--mailbox ADDRESS] [--json]\n"
    "                             the recorded runs, newest first (the last 10 unless N is\n"
    "                             given; 0: all): start, end, outcome, parameters, totals,\n"
    "                             and per mailbox its folders with count, bytes and error;\n"
    "                             --mailbox keeps the runs and folders of that address\n"
    "  install --identity NAME --password-file FILE|- [PARAMETERS]\n"
    "                             installs the component application Quellix (from\n"
    "                             the module, see --module), running as NAME,\n"
    "                             and writes the registration with the parameters\n"
    "  configure PARAMETERS       rewrites the registration with changed parameters\n"
    "  mark ADDRESS...            registers the mailboxes with these e-mail addresses\n"
    "  unmark ADDRESS...          unregisters them\n"
    "  uninstall [--yes]          removes the registration and the application\n"
    "  preview [--at INSTANT] [--json] [--messages]\n"
    "                             what a run of the registration would delete or move,\n"
    "                             per mailbox and folder, without changing anything;\n"
    "                             INSTANT (local time) gives the run's day and cutoff,\n"
    "                             else now; --messages lists each message. INSTANT is\n"
    "                             yyyy-mm-dd, optionally with a blank (or T) and hh:mm,\n"
    "                             hh:mm:ss or h:mm AM|PM: \"2026-12-24 03:00\",\n"
    "                             \"2026-12-24 3:00 AM\"; a date the calendar lacks is\n"
    "                             refused\n"
    "  undo RUN-ID [--mailbox ADDRESS] [--json]\n"
    "                             puts the messages that move run RUN-ID moved and that\n"
    "                             are still in the destination Inbox back where they came\n"
    "                             from (only those from ADDRESS's mailbox with --mailbox)\n"
    "\n"
    "parameters (unchanged when not given):\n"
    "  --folder NAME              folder to clean in every mailbox (\"Spam\", \"Inbox/Spam\")\n"
    "  --age DAYS                 age limit of the messages, 0 to 32767 days\n"
    "  --delete                   delete expired messages permanently\n"
    "  --move-to MAILBOX          move them into this mailbox's Inbox (an address of the\n"
    "                             register list, or a label \"Name (address)\"); refused\n"
    "                             unless a mailbox of this server has that address and an\n"
    "                             Inbox, as a run looks it up\n"
    "  --report-to RECIPIENT      report recipient (\"a@example.com\" or \"Name "
    "(a@example.com)\")\n"
    "  --run DAY                  \"Never run\", \"Every day\", or a weekday (\"Monday\")\n"
    "  --start \"H:MM AM|PM\"       start time, for example \"7:05 PM\"\n"
    "  --all-mailboxes yes|no     treat every mailbox of this server, marked or not\n"
    "  --subfolders yes|no        include the folders below the named folder\n"
    "\n"
    "The password is read from the first line of FILE, or of standard input for\n"
    "\"-\"; it is never taken from the command line, a FILE others may read is\n"
    "refused, and so is an empty password. NAME is the service account the cleanup\n"
    "runs as: an account that exists, is not locked or expired, and is not root\n"
    "(uid 0). --delete and --move-to exclude each other. uninstall asks for confirmation\n"
    "on a terminal; --yes answers OK.\n"
    "The platform configuration comes from --config, else $QUELLIX_CONFIG, else\n"
    "/etc/quellix/platform.conf.\n"
    "exit codes: 0 done, 1 failed or refused (standard error says why), 2 bad usage,\n"
    "3 (status) read, and a line says Attention: the last run failed or completed\n"
    "with failures, a mailbox failed on the last two due runs, or a due run was missed;\n"
    "(preview) shown, and a run would not reach some mailboxes' folders\n";

// The help of one command: its entry of the usage's command list, and the
// parameters for the commands that take them; the whole usage for a word
// that is no command.
std::string CommandHelp(const std::string& command) {
    const std::string usage = kUsage;
    const size_t list = usage.find("commands:\n");
    const size_t params = usage.find("\nparameters ");
    const std::string head = "  " + command;
    size_t at = list;
    for (; at < params; at = usage.find('\n', at) + 1) {
        if (usage.compare(at, head.size(), head) == 0 &&
            (usage[at + head.size()] == ' ' || usage[at + head.size()] == '\n'))
            break;
    }
    if (at >= params) return kUsage;
    // The entry runs until the next line that starts another command: its
    // synopsis, then its description from the list's second column.
    constexpr size_t kColumn = 29;  // where descriptions start
    size_t end = usage.find('\n', at) + 1;
    while (end < params && usage.compare(end, 4, "    ") == 0) end = usage.find('\n', end) + 1;
    std::string help = "usage: quellix-setup [--config FILE] [--module PATH] ";
    std::string description;
    for (size_t line = at; line < end;) {
        const size_t next = usage.find('\n', line) + 1;
        const std::string text = usage.substr(line, next - line);
        if (line == at) {
            const size_t gap = text.find("  ", 2);
            help += text.substr(2, gap == std::string::npos ? text.size() - 3 : gap - 2) + "\n";
            if (gap != std::string::npos)
                description += text.substr(text.find_first_not_of(' ', gap));
        } else {
            description += text.substr(kColumn);
        }
        line = next;
    }
    if (!description.empty()) help += "\n" + description;
    if (command == "install" || command == "configure") {
        const size_t notes = usage.find("\n\n", params + 1);
        help += usage.substr(params, notes - params + 1);
    }
    return help;
}

// The parameters a command line may change; nothing = as shown.
struct ParameterArgs {
    std::optional<std::string> folder, age, moveTo, reportTo, start;
    std::optional<int16_t> run;
    std::optional<bool> remove, allMailboxes, subfolders;
};

struct Args {
    std::string command;
    bool json = false;
    bool yes = false;
    PreviewOptions preview;
    std::optional<std::string> identity;
    std::optional<std::string> passwordFile;
    ParameterArgs params;
    std::vector<std::string> addresses;
    size_t last = 10;     // history: runs shown, 0 = all
    std::string mailbox;  // history: only this address
};

std::optional<bool> YesNo(const std::string& text) {
    if (platform::EqualsNoCase(text, "yes") || text == "1") return true;
    if (platform::EqualsNoCase(text, "no") || text == "0") return false;
    return std::nullopt;
}

std::optional<int16_t> RunArgument(std::string text) {
    for (char& c : text) {
        if (c == '-' || c == '_') c = ' ';
    }
    if (platform::EqualsNoCase(text, "never")) return 0;
    if (platform::EqualsNoCase(text, "daily")) return 1;
    return RunChoiceIndex(text);
}

// "7:05 PM" into the three list texts; nothing when it names no list item.
struct StartTime {
    std::string hour, minute, amPm;
};
std::optional<StartTime> ParseStartTime(const std::string& text) {
    const size_t colon = text.find(':');
    const size_t blank = text.find(' ', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || blank == std::string::npos) return std::nullopt;
    StartTime t{text.substr(0, colon), text.substr(colon + 1, blank - colon - 1),
                platform::Upper(platform::Trim(text.substr(blank + 1)))};
    const auto digits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(t.hour) || t.hour[0] == '0' || t.hour.size() > 2 || std::stoi(t.hour) > 12)
        return std::nullopt;
    if (!digits(t.minute) || t.minute.size() != 2 || std::stoi(t.minute) > 59) return std::nullopt;
    if (t.amPm != "AM" && t.amPm != "PM") return std::nullopt;
    return t;
}

// Parses argv from first; returns an exit code on bad usage.
std::optional<int> ParseArgs(int argc, char** argv, int first, Args& args) {
    if (first >= argc) return UsageError("no command given");
    args.command = argv[first];
    static const char* const kCommands[] = {"status", "install",   "configure", "mark",
                                            "unmark", "uninstall", "preview",   "history"};
    if (std::find(std::begin(kCommands), std::end(kCommands), args.command) == std::end(kCommands))
        return UsageError("unknown command \"" + args.command + "\"");
    const bool takesParams = args.command == "install" || args.command == "configure";
    bool deleteGiven = false;
    for (int i = first + 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) -> bool {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if ((args.command == "status" || args.command == "history") && a == "--json") {
            args.json = true;
        } else if (args.command == "preview" && a == "--json") {
            args.preview.json = true;
        } else if (args.command == "preview" && a == "--messages") {
            args.preview.messages = true;
        } else if (args.command == "preview" && a == "--at") {
            if (!value(v))
                return UsageError("--at needs a date and time such as \"2026-12-24 03:00\"");
            std::string why;
            // A local time: a trailing Z would say UTC, which it is not.
            args.preview.at = v.ends_with('Z') ? std::nullopt : platform::ParseDateText(v, &why);
            if (!args.preview.at) {
                if (why.empty()) why = "a local time has no Z (it is not UTC)";
                return UsageError("--at \"" + VisibleText(v) + "\": " + why +
                                  "; use a local date and time such as \"2026-12-24 03:00\"");
            }
        } else if (args.command == "history" && a == "--last") {
            if (!value(v) || v.empty() || v.size() > 9 ||
                v.find_first_not_of("0123456789") != std::string::npos) {
                return UsageError("--last needs a number of runs (0 for all)");
            }
            args.last = std::stoul(v);
        } else if (args.command == "history" && a == "--mailbox") {
            if (!value(v) || platform::Trim(v).empty())
                return UsageError("--mailbox needs an e-mail address");
            args.mailbox = platform::Trim(v);
        } else if (args.command == "uninstall" && a == "--yes") {
            args.yes = true;
        } else if (args.command == "install" && a == "--identity") {
            if (!value(v)) return UsageError("--identity needs an account name");
            args.identity = v;
        } else if (args.command == "install" && a == "--password-file") {
            if (!value(v)) return UsageError("--password-file needs a file name or -");
            args.passwordFile = v;
        } else if (args.command == "install" &&
                   (a == "--password" || a.rfind("--password=", 0) == 0)) {
            return UsageError(
                "a password is never taken on the command line; use --password-file FILE or "
                "--password-file - (standard input)");
        } else if (takesParams && a == "--folder") {
            if (!value(v)) return UsageError("--folder needs a folder name");
            args.params.folder = v;
        } else if (takesParams && a == "--age") {
            if (!value(v)) return UsageError("--age needs a number of days");
            args.params.age = v;
        } else if (takesParams && a == "--delete") {
            args.params.remove = true;
            deleteGiven = true;
        } else if (takesParams && a == "--move-to") {
            if (!value(v)) return UsageError("--move-to needs a mailbox");
            args.params.moveTo = v;
            args.params.remove = false;
        } else if (takesParams && a == "--report-to") {
            if (!value(v)) return UsageError("--report-to needs a recipient");
            // A line break or another control character would end the
            // address in the report's header and start something else.
            if (std::any_of(v.begin(), v.end(), [](char c) {
                    return static_cast<unsigned char>(c) < 32 || c == 127;
                })) {
                return UsageError("--report-to \"" + platform::VisibleText(v) +
                                  "\": a recipient holds no control characters");
            }
            if (!ReportRecipientAcceptable(v)) {
                std::string warning = ReportRecipientWarning();
                for (size_t p; (p = warning.find('\r')) != std::string::npos;) warning.erase(p, 1);
                std::string message = "--report-to \"" + v;
                message += "\": ";
                message += warning;
                return UsageError(message);
            }
            args.params.reportTo = v;
        } else if (takesParams && a == "--run") {
            if (!value(v)) return UsageError("--run needs a day");
            args.params.run = RunArgument(v);
            if (!args.params.run) {
                return UsageError("--run \"" + v +
                                  "\": use \"Never run\", \"Every day\" or a weekday such as "
                                  "\"Monday\"");
            }
        } else if (takesParams && a == "--start") {
            if (!value(v)) return UsageError("--start needs a time such as \"7:05 PM\"");
            if (!ParseStartTime(v)) {
                return UsageError("--start \"" + v +
                                  "\": use an hour from 1 to 12, a minute from 00 to 59 and AM "
                                  "or PM, for example \"7:05 PM\"");
            }
            args.params.start = v;
        } else if (takesParams && (a == "--all-mailboxes" || a == "--subfolders")) {
            if (!value(v) || !YesNo(v)) return UsageError(a + " needs yes or no");
            (a == "--all-mailboxes" ? args.params.allMailboxes : args.params.subfolders) = YesNo(v);
        } else if ((args.command == "mark" || args.command == "unmark") && a.rfind("--", 0) != 0) {
            if (platform::Trim(a).empty())
                return UsageError(args.command + ": an empty e-mail address names no mailbox");
            args.addresses.push_back(a);
        } else if (a.starts_with('-') && a != "-") {
            return UsageError("unknown option " + a + " for " + args.command);
        } else {
            return UsageError("unexpected argument \"" + a + "\" for " + args.command);
        }
    }
    if (deleteGiven && args.params.moveTo) {
        return UsageError(
            "--delete and --move-to each say what becomes of expired messages; give one");
    }
    if (args.command == "install" && (!args.identity || !args.passwordFile)) {
        return UsageError("install needs --identity NAME and --password-file FILE|-");
    }
    if ((args.command == "mark" || args.command == "unmark") && args.addresses.empty()) {
        return UsageError(args.command + " needs at least one e-mail address");
    }
    return std::nullopt;
}

// The first line of the file (or standard input), without its line break;
// nothing, with *why set, when it cannot be read or others may read the
// file (a password there is no secret any more).
std::optional<std::string> ReadPassword(const std::string& file, std::string* why) {
    std::string line;
    if (file == "-") {
        if (!std::getline(std::cin, line)) {
            *why = "cannot read a password line from standard input";
            return std::nullopt;
        }
    } else {
        const platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!fd.IsOpen() || ::fstat(fd.Get(), &st) != 0) {
            *why = "cannot read " + file + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
            *why = "refusing the password file " + file +
                   (S_ISREG(st.st_mode) ? ": others may read or write it (chmod o-rw it)"
                                        : ": not a regular file");
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n <= 0) {
            *why = "cannot read a password line from " + file;
            return std::nullopt;
        }
        line.assign(buffer, static_cast<size_t>(n));
        line = line.substr(0, line.find('\n'));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// One part of status that could not be read: which, and why. The rest is
// still shown, and the exit status says that a part failed.
struct PartFailure {
    std::string part;
    std::string why;
};

// The health part of status: text lines, or the members of the JSON object.
struct HealthReport {
    std::string text;
    std::string json;
    std::vector<PartFailure> failures;
    // An Attention line was written: the last run failed or completed with
    // failures, a mailbox failed on the last two due runs, or a due run was
    // missed.
    bool attention = false;
};

// The start time the lists show: "7:05 PM", or nothing when a list has
// nothing picked (a stored time that names no item of the lists).
std::optional<std::string> StartTimeShown(const WindowValues& w) {
    if (w.ComboStartHour.empty() || w.ComboStartMin.empty() || w.ComboStartAmPm.empty())
        return std::nullopt;
    return w.ComboStartHour + ":" + w.ComboStartMin + " " + w.ComboStartAmPm;
}

// "yyyy-mm-dd hh:mm:ss UTC", or what stands for an instant that is not.
std::string InstantText(const std::optional<int64_t>& instant, const std::string& none) {
    return instant ? UtcText(*instant) : none;
}

// The members of the history object after its path when nothing can be
// judged, with why.
std::string UnjudgedHistoryJson(const std::string& why) {
    return "    \"lastRun\": null,\n    \"nextRun\": null,\n    \"flaggedMailboxes\": [],\n"
           "    \"missedRun\": null,\n    \"error\": " +
           JsonString(why) + "\n  },\n";
}

// The runs of this registration: the last, the next, the mailboxes the last
// two due runs failed or did not reach, a due run that did not happen. The
// history, the start time and the bias the run would use are each needed;
// a part that cannot be read is said in the part, and the rest is shown.
HealthReport Health(const SetupStatus& status, const WindowValues& w,
                    const std::optional<std::string>& start, bool registrationUnknown) {
    HealthReport report;
    std::ostringstream text, json;
    json << "  \"history\": {\n";
    std::optional<platform::RunHistoryReader> history;
    try {
        history.emplace(platform::RunHistoryReader::OpenCurrent());
    } catch (const std::exception& e) {
        report.failures.push_back({"run history", e.what()});
        text << "Run history: cannot be read: " << VisibleText(e.what()) << "\n";
        json << "    \"path\": null,\n"
             << UnjudgedHistoryJson(std::string("run history: ") + e.what());
        report.text = text.str();
        report.json = json.str();
        return report;
    }
    text << "Run history: " << history->Path() << "\n";
    json << "    \"path\": " << JsonString(history->Path()) << ",\n";
    if (registrationUnknown) {
        // Whose runs to judge, and when the next is, the registration says.
        text << "  Last run and next run: unknown (the registration cannot be read)\n";
        json << UnjudgedHistoryJson("the registration cannot be read");
        report.text = text.str();
        report.json = json.str();
        return report;
    }
    try {
        const int64_t now = platform::Date::NowUtc().UnixSeconds();
        const bool found = status.registration.result == 1;
        const int run = found ? w.ComboRun : 0;
        const std::string startText = start.value_or("");
        const double bias = ISODate::GetUsableTimeZoneBias();
        const auto health = CheckRunHealth(*history, RegistrationItemUrl(status.registration), run,
                                           startText, now, bias);
        // The next run: when the registration's timer next fires on a run day.
        std::optional<int64_t> next;
        if (found) next = NextDueInstant(run, startText, now, bias);
        const std::string noNext = !found     ? "none (no registration)"
                                   : run == 0 ? "none (Never run)"
                                              : "unknown (the start time cannot be read)";
        json << "    \"lastRun\": ";
        if (!health.lastRun) {
            text << "  Last run: none recorded; next run: " << InstantText(next, noNext) << "\n";
            json << "null";
        } else {
            const auto& r = *health.lastRun;
            text << "  Last run: " << r.id << ", " << r.outcome << ", started "
                 << UtcText(r.started)
                 << (r.detail.empty() ? std::string() : " (" + VisibleText(r.detail) + ")")
                 << "; next run: " << InstantText(next, noNext) << "\n";
            if (r.outcome == "failed" || r.outcome == "completed with failures") {
                text << "  Attention: the last run " << r.outcome << "\n";
                report.attention = true;
            }
            json << "{\"id\": " << r.id << ", \"outcome\": " << JsonString(r.outcome)
                 << ", \"started\": " << JsonString(UtcText(r.started))
                 << ", \"detail\": " << JsonString(r.detail) << "}";
        }
        json << ",\n    \"nextRun\": " << (next ? JsonString(InstantText(next, "")) : "null");
        json << ",\n    \"flaggedMailboxes\": [";
        for (size_t i = 0; i < health.mailboxes.size(); ++i) {
            const auto& flag = health.mailboxes[i];
            report.attention = true;
            text << "  Attention: " << RunMailboxName(flag.address, flag.name)
                 << " failed or was not reached on the last two due runs (";
            for (size_t j = 0; j < flag.reasons.size(); ++j)
                text << (j ? "; " : "") << VisibleText(flag.reasons[j]);
            text << ")\n";
            json << (i ? ", " : "") << "{\"mailbox\": " << JsonString(flag.address)
                 << ", \"name\": " << JsonString(flag.name)
                 << ", \"reasons\": " << JsonList(flag.reasons) << "}";
        }
        json << "],\n    \"missedRun\": ";
        if (health.missedRun) {
            report.attention = true;
            text << "  Attention: the run due at " << UtcText(*health.missedRun)
                 << " did not happen\n";
            json << JsonString(UtcText(*health.missedRun));
        } else {
            json << "null";
        }
        json << ",\n    \"error\": null\n  },\n";
    } catch (const std::exception& e) {
        const auto* error = dynamic_cast<const platform::Error*>(&e);
        const std::string why = error && !error->Source().empty()
                                    ? error->Source() + ": " + error->Description()
                                    : std::string(error ? error->Description() : e.what());
        report.failures.push_back({"run health", why});
        text << "  Health cannot be judged: " << VisibleText(why) << "\n";
        json << UnjudgedHistoryJson("run health: " + why);
    }
    report.text = text.str();
    report.json = json.str();
    return report;
}

// Why the registration could not be read (the store, or its folder), from
// the read's own error entries, or from the failure to list the store
// (storeFailure); empty when it was read or there was none.
std::string RegistrationFailure(const SetupStatus& status, const std::string& storeFailure) {
    if (status.registration.result == 1) return {};
    if (status.registration.result == 0) return storeFailure;
    std::string why;
    for (const auto& e : status.registration.errors) {
        why += (why.empty() ? "" : "; ") + e.description +
               (e.where.empty() ? "" : " (" + e.where + ")");
    }
    return why.empty() ? std::string("the store could not be read") : why;
}

int Status(const SetupStatus& status, const ErrorLog& log, bool json,
           const std::string& storeFailure) {
    const WindowValues w = WindowAfterRefresh(status);
    const bool found = status.registration.result == 1;
    // A part that cannot be read is said in that part; the others are shown.
    const std::string registrationFailure = RegistrationFailure(status, storeFailure);
    std::vector<PartFailure> failures;
    if (!registrationFailure.empty()) failures.push_back({"registration", registrationFailure});
    // A stored time that names no item of the lists is shown as it stands,
    // never as a time the lists would invent.
    const std::optional<std::string> start = StartTimeShown(w);
    std::string startText = start.value_or("(not set)");
    std::optional<std::string> startError;
    if (!start && found) {
        startError = "\"" + status.registration.storedTimeToRun +
                     "\" names no hour, minute and AM or PM of the lists; 'quellix-setup "
                     "configure --start \"H:MM AM|PM\"' sets one";
        startText = status.registration.storedTimeToRun + " (unreadable: " + *startError + ")";
        failures.push_back({"start time", *startError});
    }
    const HealthReport health = Health(status, w, start, !registrationFailure.empty());
    failures.insert(failures.end(), health.failures.begin(), health.failures.end());
    if (json) {
        std::ostringstream out;
        out << "{\n  \"state\": " << JsonString(InstallStateName(status.state)) << ",\n"
            << "  \"identity\": " << JsonString(status.identity) << ",\n"
            << "  \"componentFile\": " << JsonString(status.componentFile) << ",\n"
            << "  \"systemMailbox\": "
            << JsonString(w.SysMbxList.empty() ? "" : w.SysMbxList.front()) << ",\n";
        if (!registrationFailure.empty()) {
            out << "  \"registration\": null,\n"
                << "  \"parameters\": {\"error\": " << JsonString(registrationFailure) << "},\n";
        } else {
            out << "  \"registration\": " << (found ? "true" : "false") << ",\n"
                << "  \"parameters\": {\n"
                << "    \"folder\": " << JsonString(w.txtSpamFolder) << ",\n"
                << "    \"ageLimit\": " << JsonString(w.txtAgeLimit) << ",\n"
                << "    \"run\": " << w.ComboRun << ",\n"
                << "    \"runText\": " << JsonString(RunChoiceText(w.ComboRun)) << ",\n"
                << "    \"startTime\": " << (start ? JsonString(*start) : std::string("null"))
                << ",\n"
                << "    \"storedStartTime\": " << JsonString(status.registration.storedTimeToRun)
                << ",\n"
                << "    \"moveTo\": " << JsonString(w.OptMove ? w.txtDestFolder : "") << ",\n"
                << "    \"reportRecipient\": " << JsonString(w.txtReportRecipient) << ",\n"
                << "    \"allMailboxes\": " << (w.CheckAllMbx == 1 ? "true" : "false") << ",\n"
                << "    \"subfolders\": " << (w.CheckDeep > 0 ? "true" : "false") << ",\n"
                << "    \"error\": " << (startError ? JsonString(*startError) : std::string("null"))
                << "\n  },\n";
        }
        out << "  \"registered\": " << JsonList(status.lists.unregisterList) << ",\n"
            << "  \"notRegistered\": " << JsonList(status.lists.registerList) << ",\n"
            << health.json << "  \"errorLog\": " << JsonString(log.Text()) << "\n}\n";
        std::cout << out.str();
    } else {
        // Values from the directory and the store are shown with their
        // control characters made visible, as the run log shows them: a name
        // cannot clear the terminal or forge a line of this report.
        std::cout << "State: " << InstallStateName(status.state) << "\n"
                  << "Identity: " << VisibleText(status.identity) << "\n"
                  << "Component file: " << VisibleText(status.componentFile) << "\n"
                  << "System mailbox: "
                  << (w.SysMbxList.empty()
                          ? std::string("(none found)")
                          : VisibleText(SplitSystemMailboxEntry(w.SysMbxList.front()).address))
                  << "\n";
        if (!registrationFailure.empty()) {
            std::cout << "Registration: cannot be read: " << VisibleText(registrationFailure)
                      << "\n";
        } else {
            std::cout << "Registration: " << (found ? "present" : "none") << "\n"
                      << "  Folder: " << VisibleText(w.txtSpamFolder) << "\n"
                      << "  Age limit (days): " << VisibleText(w.txtAgeLimit) << "\n"
                      << "  Run: " << RunChoiceText(w.ComboRun) << "\n"
                      << "  Start time: " << VisibleText(startText) << "\n"
                      << "  Expired messages: "
                      << (w.OptMove ? "move to " + VisibleText(w.txtDestFolder)
                                    : std::string("delete"))
                      << "\n"
                      << "  Report recipient: " << VisibleText(w.txtReportRecipient) << "\n"
                      << "  All mailboxes: " << (w.CheckAllMbx == 1 ? "yes" : "no") << "\n"
                      << "  Subfolders: " << (w.CheckDeep > 0 ? "yes" : "no") << "\n";
        }
        std::cout << "Registered mailboxes (" << status.lists.unregisterList.size() << "):\n";
        for (const auto& e : status.lists.unregisterList)
            std::cout << "  " << VisibleText(e) << "\n";
        std::cout << "Mailboxes that can be registered (" << status.lists.registerList.size()
                  << "):\n";
        for (const auto& e : status.lists.registerList) std::cout << "  " << VisibleText(e) << "\n";
        std::cout << health.text;
        PrintLog(log);
    }
    for (const auto& f : failures) {
        std::cerr << "quellix-setup: status: the " << f.part
                  << " cannot be read: " << VisibleText(f.why) << "\n";
    }
    if (!failures.empty()) return kExitFailed;
    return health.attention ? kExitPartly : kExitOk;
}

// Applies the parameter options to what the window shows.
void ApplyParameters(const ParameterArgs& p, const SetupStatus& status, WindowValues& w) {
    if (p.folder) w.txtSpamFolder = *p.folder;
    if (p.age) w.txtAgeLimit = *p.age;
    if (p.remove) w.OptMove = !*p.remove;
    if (p.moveTo) {
        // An address of the register list becomes that mailbox's label, as
        // the browser writes it; anything else is taken as written.
        w.txtDestFolder = *p.moveTo;
        for (const auto& entry : status.lists.registerList) {
            if (platform::EqualsNoCase(EntryEmailAddress(entry), *p.moveTo)) {
                w.txtDestFolder = GetMbxMameAndEmail(entry);
                break;
            }
        }
    }
    if (p.reportTo) w.txtReportRecipient = *p.reportTo;
    if (p.run) w.ComboRun = *p.run;
    if (p.start) {
        const StartTime t = *ParseStartTime(*p.start);
        w.ComboStartHour = t.hour;
        w.ComboStartMin = t.minute;
        w.ComboStartAmPm = t.amPm;
    }
    if (p.allMailboxes) w.CheckAllMbx = *p.allMailboxes ? 1 : 0;
    if (p.subfolders) w.CheckDeep = *p.subfolders ? 1 : 0;
}

// The destination of moves, checked against the directory and the store
// when it is written, as a run will resolve it: a mailbox of this server
// with that address and an Inbox. An exit code (with why on standard error)
// when it is not one.
std::optional<int> CheckDestination(const SetupContext& context, const std::string& moveTo) {
    quellix::ServerNames server;
    if (const auto unreadable = quellix::FindServerNames(server)) {
        std::cerr << "quellix-setup: --move-to: the store cannot be read to find the destination: "
                  << VisibleText(unreadable->Description()) << "\n";
        return kExitFailed;
    }
    std::vector<std::string> said;
    quellix::MoveDestination found;
    try {
        found = quellix::ResolveDestination([&](const std::string& line) { said.push_back(line); },
                                            context.strSearchRoot, moveTo, server.StoreHttpBase,
                                            server.StoreFileBase, server.ServerFqdn);
    } catch (const platform::Error& e) {
        std::cerr << "quellix-setup: --move-to: the directory could not be asked for "
                  << VisibleText(moveTo) << ": " << VisibleText(e.Description()) << "\n";
        return kExitFailed;
    }
    if (found.Found()) return std::nullopt;
    std::cerr << "quellix-setup: --move-to \"" << VisibleText(moveTo)
              << "\": no mailbox of this server has that address with an Inbox a run can move "
                 "to ("
              << VisibleText(said.empty() ? std::string() : said.back())
              << "); give an address of the register list (see 'quellix-setup status'); nothing "
                 "was changed\n";
    return kExitFailed;
}

bool AskConfirmation(const std::string& text, bool yes) {
    std::cout << text << "\n";
    if (yes) {
        std::cout << "OK (--yes)\n";
        return true;
    }
    if (!isatty(STDIN_FILENO)) {
        std::cerr << "quellix-setup: no terminal to confirm on; pass --yes to answer OK\n";
        return false;
    }
    std::cout << "Type OK to continue, anything else to cancel: " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    answer = platform::Trim(answer);
    return platform::EqualsNoCase(answer, "ok") || platform::EqualsNoCase(answer, "yes") ||
           platform::EqualsNoCase(answer, "y");
}

const char* OutcomeText(MarkOutcome::Kind kind) {
    switch (kind) {
        case MarkOutcome::Kind::Written:
            return "done";
        case MarkOutcome::Kind::NoSuchUser:
            return "no directory user has this address";
        case MarkOutcome::Kind::Failed:
            return "failed";
    }
    return "";
}

int Run(const Args& args) {
    if (args.command == "history") return HistoryCommand(args.last, args.mailbox, args.json);
    // A preview looks and changes nothing: the store is reached read-only
    // from the first look on.
    std::optional<platform::ReadOnlyStore> readOnly;
    if (args.command == "preview") readOnly.emplace();
    SetupContext context;
    std::vector<ErrorEntry> discovery = DiscoverEnvironment(context);
    // status shows what it can: a store that cannot be listed is said in the
    // registration's part, and the rest is still shown.
    std::string storeFailure;
    if (args.command == "status") {
        std::erase_if(discovery, [&](const ErrorEntry& e) {
            if (e.where != kStoreShare) return false;
            storeFailure = e.description;
            return true;
        });
    }
    if (!discovery.empty()) {
        ErrorLog log;
        for (const auto& e : discovery) log.Prepend(e);
        std::cerr << "quellix-setup: this server's environment could not be established; check "
                     "the platform configuration\n";
        PrintLog(log);
        return kExitFailed;
    }

    ErrorLog log;
    const SetupStatus status = RefreshLists(context, "", "", "", log);
    // A list the directory cut short is not the whole server: say so, as
    // the window does.
    if (!status.lists.cut.empty())
        log.Prepend(MailboxListCutEntry(status.lists.cut, context.strSearchRoot));
    if (args.command == "status") return Status(status, log, args.json, storeFailure);
    if (args.command == "preview") {
        PrintLog(log);  // what the status check could not read
        // A registration that cannot be read is not "no registration".
        if (const std::string why = RegistrationFailure(status, ""); !why.empty()) {
            std::cerr << "quellix-setup: preview: the registration cannot be read: "
                      << VisibleText(why) << "\n";
            return kExitFailed;
        }
        return PreviewCommand(RegistrationItemUrl(status.registration), args.preview);
    }

    const auto notInstalled = [&]() {
        std::cerr << "quellix-setup: Quellix is not installed on this server; install it first "
                     "with 'quellix-setup install --identity NAME --password-file FILE'\n";
        return kExitFailed;
    };

    WindowValues w = WindowAfterRefresh(status);
    w.Check1 = false;
    if (args.command == "install") {
        if (status.state == InstallState::Installed) {
            std::cerr << "quellix-setup: Quellix is already installed (running as "
                      << status.identity
                      << "); use 'quellix-setup configure' to change its parameters, or "
                         "'quellix-setup uninstall' first\n";
            return kExitFailed;
        }
        if (status.state == InstallState::DllMissing) {
            std::cerr << "quellix-setup: " << status.componentFile
                      << " not found; run quellix-setup in the folder that holds Quellix.so\n";
            return kExitFailed;
        }
        std::string why;
        const auto password = ReadPassword(*args.passwordFile, &why);
        if (!password) {
            std::cerr << "quellix-setup: " << why << "\n";
            return kExitFailed;
        }
        if (platform::EqualsNoCase(platform::Trim(*args.identity), "Interactive User")) {
            std::cerr << "quellix-setup: --identity 'Interactive User' names no account: the "
                         "component would run as the event service's own account, root; give "
                         "the service account\n";
            return kExitFailed;
        }
        // Without a password the catalog keeps its default identity, the
        // service's own account, which a component never runs as.
        if (platform::Trim(*password).empty()) {
            std::cerr << "quellix-setup: the password line is empty; the application would not "
                         "get the identity "
                      << *args.identity << "\n";
            return kExitFailed;
        }
        w.Check1 = true;
        w.txtIdent = *args.identity;
        w.txtPwd = *password;
        ApplyParameters(args.params, status, w);
        if (args.params.moveTo) {
            if (auto code = CheckDestination(context, w.txtDestFolder)) return *code;
        }
    } else if (args.command == "configure") {
        if (status.state != InstallState::Installed) return notInstalled();
        w.Check2 = true;
        ApplyParameters(args.params, status, w);
        if (args.params.moveTo) {
            if (auto code = CheckDestination(context, w.txtDestFolder)) return *code;
        }
    } else if (args.command == "mark" || args.command == "unmark") {
        if (status.state != InstallState::Installed) return notInstalled();
        const bool mark = args.command == "mark";
        const auto& list = mark ? w.MbxInstList : w.MbxUninstList;
        auto& selected = mark ? w.MbxInstSelected : w.MbxUninstSelected;
        const auto& other = mark ? w.MbxUninstList : w.MbxInstList;
        bool refused = false;
        for (const auto& address : args.addresses) {
            bool found = false;
            for (size_t i = 0; i < list.size(); ++i) {
                if (platform::EqualsNoCase(EntryEmailAddress(list[i]), address)) {
                    selected[i] = true;
                    found = true;
                }
            }
            if (found) continue;
            bool inOther = false;
            for (const auto& entry : other) {
                inOther = inOther || platform::EqualsNoCase(EntryEmailAddress(entry), address);
            }
            if (inOther) {
                std::cout << address << ": already " << (mark ? "registered" : "not registered")
                          << "\n";
            } else {
                std::cerr << "quellix-setup: " << address
                          << " is not a mailbox of this server that can be "
                          << (mark ? "registered" : "unregistered")
                          << " (system mailboxes, mailboxes of other servers and the "
                             "destination mailbox are not listed); see 'quellix-setup status'\n";
                refused = true;
            }
        }
        if (refused) return kExitFailed;
        (mark ? w.Check3 : w.Check4) = true;
    } else if (args.command == "uninstall") {
        if (status.state != InstallState::Installed) return notInstalled();
        w.Check6 = true;
    } else {
        return UsageError("unknown command \"" + args.command + "\"");
    }

    const ChangeResult result = ApplyChanges(
        context, w, [&](const std::string& text) { return AskConfirmation(text, args.yes); }, log);
    if (result.warning) {
        std::cerr << "quellix-setup: " << *result.warning << "\n";
        if (*result.warning == std::string(kStartTimeWarning) && !args.params.start &&
            !status.registration.storedTimeToRun.empty()) {
            std::cerr << "quellix-setup: the registration's start time \""
                      << platform::VisibleText(status.registration.storedTimeToRun)
                      << "\" names no item of the lists; give --start \"H:MM AM|PM\" to "
                         "choose one\n";
        }
        PrintLog(log);
        return kExitFailed;
    }
    int code = kExitOk;
    for (const auto& step : result.steps) std::cout << "step: " << step << "\n";
    if (result.registrationAttempted) {
        if (result.registrationFolderUrl.empty()) {
            if (!result.registrationRestoredAt.empty()) {
                std::cerr << "quellix-setup: the registration could not be written; the previous "
                             "registration was put back unchanged in "
                          << result.registrationRestoredAt << "\n";
            } else if (!result.registrationLostAt.empty()) {
                std::cerr << "quellix-setup: the registration could not be written, and the "
                             "previous one, removed from "
                          << result.registrationLostAt
                          << ", could not be put back: no registration exists now\n";
            } else {
                std::cerr << "quellix-setup: the registration could not be written; there was "
                             "none before, and none exists now\n";
            }
            code = kExitFailed;
        } else {
            std::cout << "Registration written in " << result.registrationFolderUrl << "\n";
        }
    } else if ((w.Check1 || w.Check2) && w.SysMbxList.empty()) {
        std::cerr << "quellix-setup: no system mailbox of this server was found in the "
                     "directory; the registration was not written\n";
        code = kExitFailed;
    }
    for (const auto* done : {&result.marked, &result.unmarked}) {
        for (const auto& [address, outcome] : *done) {
            std::cout << (done == &result.marked ? "Register " : "Unregister ") << address << ": "
                      << OutcomeText(outcome.kind)
                      << (outcome.failure.empty() ? "" : " (" + outcome.failure + ")") << "\n";
            if (outcome.kind != MarkOutcome::Kind::Written) code = kExitFailed;
        }
    }
    if (result.uninstallConfirmed && !*result.uninstallConfirmed) {
        std::cout << "Cancelled: the application and the registration are kept.\n";
        code = kExitFailed;
    }
    if (result.status) {
        if (args.command == "install" && result.status->state != InstallState::Installed)
            code = kExitFailed;
        if (args.command == "uninstall" && *result.uninstallConfirmed &&
            result.status->state == InstallState::Installed)
            code = kExitFailed;
        std::cout << "State: " << InstallStateName(result.status->state) << "\n";
    }
    if (!log.Empty() && result.status && result.status->state != InstallState::DllMissing)
        code = kExitFailed;
    PrintLog(log);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    int first = platform::TakeConfigOption(argc, argv, 1);
    if (first < argc && std::string(argv[first]) == "--module") {
        if (first + 1 >= argc || argv[first + 1][0] == '\0')
            return UsageError("--module needs the path of Quellix.so");
        SetComponentFile(argv[first + 1]);
        first = platform::TakeConfigOption(argc, argv, first + 2);
    }
    if (first < argc && std::string(argv[first]) == "--config") {
        return UsageError("--config needs a file name");
    }
    for (int i = first; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h" || a == "help") {
            // After a command, that command's help; before one, all of it.
            std::cout << (i > first ? CommandHelp(argv[first]) : std::string(kUsage));
            return kExitOk;
        }
    }
    if (first < argc && platform::IsVersionOption(argv[first]))
        return platform::PrintVersion("quellix-setup");
    if (first < argc && std::string(argv[first]) == "undo")
        return UndoCommand(argc, argv, first + 1);
    Args args;
    if (auto code = ParseArgs(argc, argv, first, args)) return *code;
    try {
        return Run(args);
    } catch (const std::exception& e) {
        std::cerr << "quellix-setup: " << args.command << " failed: " << e.what() << "\n";
        return kExitFailed;
    }
}
