// A folder's keyword list is written by the mailbox's owner (or any program
// acting for them): any bytes are a list, and every letter it names maps
// back to that letter.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "localplatform/store/mail_store.h"
#include "localplatform/store/maildir_keywords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto list = localplatform::MaildirKeywords::Parse(text);
    const std::string flags = list.FlagsOf("1.host:2,FSabcdefghijklmnopqrstuvwxyz");
    for (const auto& name : localplatform::SplitFlags(flags).keywords) {
        if (!list.LetterOf(name)) std::abort();
    }
    return 0;
}
