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

    void SetTo(std::string to);
    void SetFrom(std::string from);
    void SetSubject(std::string subject);
    void SetTextBody(std::string body);
    [[nodiscard]] std::string To() const;
    [[nodiscard]] std::string From() const;
    [[nodiscard]] std::string Subject() const;
    [[nodiscard]] std::string TextBody() const;

    // Attaches a file under its own name; raises when it cannot be read.
    void AddAttachment(const std::string& path, const std::string& user = "",
                       const std::string& password = "");
    // Hands the message to the transport; raises when it is not accepted.
    void Send();

    // IDataSource. interfaceName must be "_Stream"; the stream holds RFC 5322 text.
    void OpenObject(const Stream& source, const std::string& interfaceName);
    // Saves the message as a new item with a store-chosen name in the folder
    // at folderUrl. Within a transaction begun on a store connection of this
    // thread it commits or rolls back with that transaction.
    void SaveToContainer(const std::string& folderUrl, Connection* cnn = nullptr,
                         int32_t mode = adModeReadWrite, int32_t createOptions = 0,
                         int32_t options = 0, const std::string& user = "",
                         const std::string& password = "");
    // The full RFC 5322 text of the message as it would be sent or saved.
    [[nodiscard]] std::string Serialize() const;

private:
    std::unique_ptr<MessageImpl> impl_;
};

}  // namespace platform
