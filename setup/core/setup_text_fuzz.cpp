// Fuzz target: the setup program's text rules over arbitrary field texts and
// list entries (the report recipient, the folder name, mailbox and system
// mailbox entries).
#include <cstddef>
#include <cstdint>
#include <string>

#include "setup/core/setup_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)setup::NormalizeFolderName(text);
    (void)setup::SplitSystemMailboxEntry(text);
    (void)setup::IsMarkableAddress(setup::EntryEmailAddress(text));
    (void)setup::GetMbxMameAndEmail(text);
    (void)setup::ValidateEmailAddress(text);
    (void)setup::ReportRecipientAcceptable(text);
    (void)setup::RunChoiceIndex(text);
    (void)setup::FirstFiringInstant(platform::Date::FromParts(2026, 12, 7), text, -60);
    return 0;
}
