// An Internet message (RFC 5322 with MIME) as the local messaging library
// holds it: the top-level header fields exactly as written, and the MIME body
// (a text part, or a multipart/mixed of the text and its attachments). Built
// and read on GMime, which stays inside mail_message.cpp.
//
// Parsing never fails on content: text that holds no header block is a
// message with a body only, and damaged MIME structure reads as plain text.
// The header fields are kept as written, so a parsed message serializes with
// its headers unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace localplatform {

struct MailAttachment {
    std::string fileName;     // the name it is presented under
    std::string contentType;  // "type/subtype"
    std::string bytes;        // decoded content
};

class MailMessage {
public:
    // A new message: no header fields, an empty text body.
    MailMessage();
    ~MailMessage();
    MailMessage(MailMessage&&) noexcept;
    MailMessage& operator=(MailMessage&&) noexcept;
    MailMessage(const MailMessage&) = delete;
    MailMessage& operator=(const MailMessage&) = delete;

    // Reads RFC 5322 text (CRLF or LF line ends). Never raises for content;
    // see above.
    static MailMessage Parse(std::string_view text);

    // The first field of that name (compared without regard to case),
    // unfolded and with encoded words decoded; empty when absent.
    [[nodiscard]] std::string Header(std::string_view name) const;
    // Every field of that name, top first, unfolded but not decoded.
    [[nodiscard]] std::vector<std::string> RawHeaders(std::string_view name) const;
    // Replaces every field of that name with one field holding value (or
    // adds it at the end). Line breaks in value become blanks, so a value can
    // never add a field; text outside ASCII is written as encoded words.
    void SetHeader(const std::string& name, const std::string& value);
    void RemoveHeader(std::string_view name);

    // The text of the first text/plain part (decoded); empty when none.
    [[nodiscard]] std::string TextBody() const;
    // Sets the text of the message's text part, making one when needed.
    void SetTextBody(const std::string& text);
    // Adds an attachment (sent in base64) under fileName; the body becomes
    // multipart/mixed with the text part first.
    void AddAttachment(const std::string& fileName, const std::string& bytes,
                       const std::string& contentType = "application/octet-stream");
    // As AddAttachment, with the content of the file open at fd (taken over,
    // closed with the message), read from its start each time the message
    // is written: an attachment of any size is never held in memory.
    void AddAttachmentFile(const std::string& fileName, int fd,
                           const std::string& contentType = "application/octet-stream");
    // Every part that is not the message's text body, in order, decoded.
    [[nodiscard]] std::vector<MailAttachment> Attachments() const;

    // The whole message with CRLF line ends: the header fields as set or as
    // read, then the MIME body with its own header fields.
    [[nodiscard]] std::string Serialize() const;
    // Writes Serialize's text to fd as it is made, never holding it whole.
    // Raises platform::Error err::kCdoSendFailed naming path (what fd is)
    // and the cause when a write or an attachment's read fails.
    void WriteTo(int fd, const std::string& path) const;

    // The envelope sender: the address of the first From mailbox, empty for a
    // null sender ("Name <>") or no From at all.
    [[nodiscard]] std::string EnvelopeSender() const;
    // The envelope recipients: every address in To, Cc and Bcc (group members
    // included), in order, without duplicates.
    [[nodiscard]] std::vector<std::string> EnvelopeRecipients() const;
    // When the message was received, as Unix seconds (UTC): the date of the
    // topmost Received field (the text after its last ";"), else the Date
    // field; nothing when neither holds a readable date.
    [[nodiscard]] std::optional<int64_t> ReceivedTime() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A new, globally unique message identifier "<...@domain>".
std::string NewMessageId(const std::string& domain);
// The current time as an RFC 5322 date ("Sun, 06 Dec 2026 19:46:11 +0100").
std::string Rfc5322DateNow();

}  // namespace localplatform
