// Fuzzes the setup program's text rules and the decoders of values it reads
// back from the store and the component catalog (anyone who can write the
// item controls them): the folder name, mailbox and system mailbox entries,
// the report recipient, the time to run, the construction string and the age
// limit. They must neither crash nor pick a list index outside its list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "setup/core/com_plus.h"
#include "setup/core/registration_management.h"
#include "setup/core/setup_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const setup::TimeToRunIndexes t = setup::DecodeTimeToRun(text);
    if ((t.hour && (*t.hour < 0 || *t.hour > 11)) ||
        (t.minute && (*t.minute < 0 || *t.minute > 59)) ||
        (t.amPm && *t.amPm != 0 && *t.amPm != 1)) {
        std::abort();
    }
    setup::StoredParameters values;
    values.run = std::string(text);
    values.timeToRun = std::string(text);
    values.allMailboxes = std::string(text);
    const setup::ParameterControls shown = setup::ShowParameters(values);
    if (shown.ComboRun && (*shown.ComboRun < 0 || *shown.ComboRun > 8)) std::abort();
    (void)setup::SplitSystemMailboxEntry(text);
    (void)setup::SplitConstructionString(text);
    if (auto age = setup::AgeLimitValue(text); age && *age < 0) std::abort();

    (void)setup::NormalizeFolderName(text);
    (void)setup::IsMarkableAddress(setup::EntryEmailAddress(text));
    (void)setup::GetMbxMameAndEmail(text);
    (void)setup::ValidateEmailAddress(text);
    (void)setup::ReportRecipientAcceptable(text);
    (void)setup::RunChoiceIndex(text);
    (void)setup::FirstFiringInstant(platform::Date::FromParts(2026, 12, 7), text, -60);
    return 0;
}
