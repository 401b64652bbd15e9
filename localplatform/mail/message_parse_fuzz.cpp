// Fuzzes the reading of message text from a store item's stream: parsing,
// every reader of the parsed message, and writing it back.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "localplatform/mail/mail_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    localplatform::MailMessage m = localplatform::MailMessage::Parse(text);
    (void)m.Header("Subject");
    (void)m.TextBody();
    (void)m.Attachments();
    (void)m.EnvelopeSender();
    (void)m.EnvelopeRecipients();
    (void)m.ReceivedTime();
    if (m.Serialize() != text) __builtin_trap();  // an unchanged message is written as read
    // A changed message is written by the library and must read back.
    m.SetHeader("X-Fuzz", "1");
    const localplatform::MailMessage again = localplatform::MailMessage::Parse(m.Serialize());
    (void)again.TextBody();
    (void)again.Attachments();
    return 0;
}
