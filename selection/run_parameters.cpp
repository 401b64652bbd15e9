#include "selection/run_parameters.h"

#include "isodate/iso_date.h"
#include "registration/registration.h"
#include "selection/run_text.h"

namespace quellix {

RunParameters ReadRunParameters(platform::Record& rec, platform::ErrorState& err) {
    using platform::Variant;
    RunParameters p;
    const auto value = [&](const char* suffix) {
        return rec.Fields(registration::CustomProperty(suffix)).Value();
    };
    err.Run([&] { p.searchRoot = Trim(value(registration::kSearchRoot).ToString()); });
    err.Run([&] { p.folderName = Trim(value(registration::kFolderName).ToString()); });
    err.Run([&] {
        // Absent (Null) means delete; anything else must be the destination's
        // text: a date or a number names no mailbox, and a value the store
        // cannot read is no "delete".
        platform::Variant v;
        try {
            v = value(registration::kMailboxToMove);
            if (!v.IsNull() && v.Type() != platform::VariantType::String) {
                throw platform::Error(
                    platform::err::kTypeMismatch,
                    platform::Describe(
                        "read " + registration::CustomProperty(registration::kMailboxToMove),
                        platform::VariantTypeName(v.Type()),
                        "a destination is text, not a value of this type",
                        platform::err::kTypeMismatch));
            }
        } catch (const platform::Error& e) {
            p.mailboxToMoveUnreadable = e;
            throw;
        }
        p.mailboxToMove = Trim(v.ToString());
    });
    err.Run([&] { p.ageLimit = Trim(value(registration::kExpirationPeriod).ToString()); });
    err.Run([&] { p.run = value(registration::kRun).ToInt16(); });
    err.Run([&] { p.reportRecipient = Trim(value(registration::kReportRecipient).ToString()); });
    err.Run([&] {
        p.allMailboxes =
            Variant(Trim(value(registration::kAffectAllMailboxes).ToString())).ToInt16();
    });
    err.Run([&] {
        if (Variant(Trim(value(registration::kIncludeSubfolders).ToString())).ToInt16() > 0) {
            p.traversal = "deep";
        }
    });
    return p;
}

std::string ParametersText(const RunParameters& p) {
    using namespace registration;
    std::string text;
    const auto line = [&](const char* suffix, const std::string& value) {
        text += std::string(suffix) + "=" + VisibleText(value) + "\n";
    };
    line(kSearchRoot, p.searchRoot);
    line(kFolderName, p.folderName);
    line(kMailboxToMove, p.mailboxToMove);
    line(kExpirationPeriod, p.ageLimit);
    line(kRun, std::to_string(p.run));
    line(kReportRecipient, p.reportRecipient.value_or(""));
    line(kAffectAllMailboxes, std::to_string(p.allMailboxes));
    line(kIncludeSubfolders, p.traversal == "deep" ? "1" : "0");
    return text;
}

std::string UnreadableDestinationText(const platform::Error& unreadable) {
    return "the destination (" + registration::CustomProperty(registration::kMailboxToMove) +
           ") cannot be read, so nothing is moved or deleted: " + unreadable.Description();
}

RunParameters ReadRunParametersOf(const std::string& itemUrl) {
    using namespace platform;
    Connection cnn;
    Record rec;
    cnn.SetProvider("exoledb.datasource");
    cnn.SetConnectionString(itemUrl);
    cnn.Open(itemUrl, "", "", -1);
    rec.Open(itemUrl, nullptr, adModeUnknown, adFailIfNotExists, adOpenRecordUnspecified, "", "");
    ErrorState unread;
    RunParameters p = ReadRunParameters(rec, unread);
    rec.Close();
    cnn.Close();
    return p;
}

bool IsRunDay(int16_t run, platform::Date now) {
    // Weekday 1..7 is Sunday..Saturday.
    return run == 1 || now.Weekday() == run - 1;
}

platform::Date RunCutoff(platform::Date now, const std::string& ageLimit,
                         platform::ErrorState& err) {
    using namespace platform;
    Date cutoff;  // the zero date: an unusable age limit selects nothing
    err.Run([&] {
        const double days = Variant(ageLimit).ToDouble();
        // A negative age would select messages that have not expired (every
        // one), and an age reaching before the zero date selects nothing
        // anyway: both keep the zero date, like an age that is no number.
        if (days >= 0 && days <= now.Serial()) cutoff = now.AddDays(-days);
    });
    err.Run([&] {
        // A bias beyond a day is refused like one that cannot be read: the
        // cutoff stays local rather than moving years ahead.
        const double bias = ISODate::GetUsableTimeZoneBias();
        cutoff = cutoff.AddMinutes(bias);
    });
    return cutoff;
}

}  // namespace quellix
