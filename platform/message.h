// The messaging library's message object: build and send a report, or load a
// message from an item's content stream and save it into a store folder.
// Sending goes through the platform's mail transport (a pickup directory by
// default, or an SMTP relay named in the platform configuration).
#pragma once

#include <memory>
#include <string>

#include "platform/ado.h"

namespace platform {

struct MessageImpl;

class Message {
public:
    Message();
    ~Message();
    Message(Message&&) noexcept;
    Message& operator=(Message&&) noexcept;

    void SetTo(const std::string& to);
    void SetFrom(const std::string& from);
    void SetSubject(const std::string& subject);
    void SetTextBody(const std::string& body);
    [[nodiscard]] std::string To() const;
    [[nodiscard]] std::string From() const;
    [[nodiscard]] std::string Subject() const;
    [[nodiscard]] std::string TextBody() const;

    // Attaches a file under its own name (the text after the last "/" or
    // "\\"), as application/octet-stream in base64. Raises 0x800C0005 (the
    // library's "resource not found") when path is not a readable file. The
    // file is opened here and read when the message is sent or serialized,
    // so that none of it is held in memory.
    void AddAttachment(const std::string& path, const std::string& user = "",
                       const std::string& password = "");
    // Adds Date and Message-ID when missing and hands the message to the
    // transport of the platform configuration ("mail.transport"), the
    // envelope sender being the From address (none for "Name <>": the null
    // sender "<>") and the recipients those of To, Cc and Bcc. Returns once the
    // message is accepted. Raises err::kCdoNoRecipients without a recipient,
    // err::kCdoSendFailed when the relay is unreachable or refuses (with its
    // reply) or the pickup directory cannot take the file.
    void Send();

    // IDataSource. interfaceName must be "_Stream" (else err::kInvalidArg);
    // the stream holds RFC 5322 text, which is read as it stands: any bytes
    // give a message, and an unchanged message is saved byte for byte.
    void OpenObject(const Stream& source, const std::string& interfaceName);
    // Saves the message as a new item with a store-chosen name in the folder
    // at folderUrl. Within a transaction begun on a store connection of this
    // thread it commits or rolls back with that transaction. The item's
    // "urn:schemas:httpmail:datereceived" is when the message was received:
    // the date of its topmost Received field, else its Date field, else now.
    // cnn, mode and the options are accepted and not needed. Raises the
    // store's platform::Error (err::kNotFound for no folder at folderUrl).
    void SaveToContainer(const std::string& folderUrl, Connection* cnn = nullptr,
                         int32_t mode = adModeReadWrite, int32_t createOptions = 0,
                         int32_t options = 0, const std::string& user = "",
                         const std::string& password = "");
    // The full RFC 5322 text of the message (CRLF line ends) as it would be
    // saved; Send adds Date and Message-ID first.
    [[nodiscard]] std::string Serialize() const;

private:
    std::unique_ptr<MessageImpl> impl_;
};

}  // namespace platform
