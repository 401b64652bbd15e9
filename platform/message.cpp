// The messaging library's message object over the local messaging library
// (lp_mail): the message itself is a MailMessage; sending picks the transport
// named by the platform configuration; saving goes into the item store.
#include "platform/message.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/error.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/mail/mail_message.h"
#include "localplatform/mail/mail_transport.h"
#include "localplatform/mail/sendmail_transport.h"
#include "localplatform/store/store_messages.h"

namespace platform {

struct MessageImpl {
    localplatform::MailMessage mail;
};

namespace {

// What the messaging library reports for an attachment it cannot read
// (INET_E_RESOURCE_NOT_FOUND).
constexpr int32_t kResourceNotFound = err::Hr(0x800C0005);

// The name this server announces and puts into message identifiers.
std::string ServerName(const localplatform::PlatformConfig& cfg) {
    if (auto helo = cfg.Get("mail.helo"); helo && !helo->empty()) return *helo;
    const std::string domain = cfg.DomainDnsName();
    return domain.empty() ? cfg.ComputerName() : cfg.ComputerName() + "." + domain;
}

// A whole number of seconds from 1 to a day; any other value is an error
// naming the key, not the default in disguise.
long Seconds(const localplatform::PlatformConfig& cfg, const std::string& key, long fallback) {
    return static_cast<long>(cfg.GetWholeNumber(key, fallback, 86400, "seconds", 1));
}

localplatform::SmtpSettings SmtpSettingsFrom(const localplatform::PlatformConfig& cfg,
                                             const std::string& url) {
    localplatform::SmtpSettings s;
    s.url = url;
    s.helo = ServerName(cfg);
    s.user = cfg.GetOr("mail.smtp_user", "");
    s.password = cfg.GetOr("mail.smtp_password", "");
    s.caFile = cfg.GetOr("mail.ca_file", "");
    s.connectTimeoutSeconds = Seconds(cfg, "mail.connect_timeout", s.connectTimeoutSeconds);
    s.timeoutSeconds = Seconds(cfg, "mail.timeout", s.timeoutSeconds);
    // "required": no delivery without TLS; "yes": TLS whenever the relay offers it.
    const std::string tls = cfg.GetChoice("mail.starttls", "no", {"no", "yes", "required"});
    if (tls == "required")
        s.startTls = localplatform::SmtpSettings::StartTls::kRequired;
    else if (tls == "yes")
        s.startTls = localplatform::SmtpSettings::StartTls::kTry;
    return s;
}

// The message written out into a nameless file in the temporary folder dir
// (or, where the folder cannot take one, a file in memory), at its start,
// for a transport to read as it sends: never whole in this process's
// memory. The second is what names it in errors.
std::pair<UniqueFd, std::string> Spooled(localplatform::MailMessage& mail, const std::string& dir) {
    const std::string path = dir + " (the message being sent)";
    UniqueFd spool(open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (spool.Get() < 0) spool = UniqueFd(memfd_create("quellix-message", MFD_CLOEXEC));
    if (spool.Get() < 0)
        throw Error(err::kCdoSendFailed, Describe("create", path, std::strerror(errno), errno));
    mail.WriteTo(spool.Get(), path);
    if (lseek(spool.Get(), 0, SEEK_SET) != 0)
        throw Error(err::kCdoSendFailed, Describe("seek", path, std::strerror(errno), errno));
    return {std::move(spool), path};
}

}  // namespace

Message::Message() : impl_(std::make_unique<MessageImpl>()) {
    impl_->mail.SetHeader("MIME-Version", "1.0");
}
Message::~Message() = default;
Message::Message(Message&&) noexcept = default;
Message& Message::operator=(Message&&) noexcept = default;

void Message::SetTo(const std::string& to) {
    // A line break would end the address and start another (a recipient the
    // sender never named): refused, not folded into a blank.
    if (std::any_of(to.begin(), to.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; })) {
        throw Error(err::kInvalidArg,
                    platform::Describe("Message.To", platform::VisibleText(to),
                                       "an address holds no control characters", err::kInvalidArg));
    }
    impl_->mail.SetHeader("To", to);
}
void Message::SetFrom(const std::string& from) {
    impl_->mail.SetHeader("From", from);
}
void Message::SetSubject(const std::string& subject) {
    impl_->mail.SetHeader("Subject", subject);
}
void Message::SetTextBody(const std::string& body) {
    impl_->mail.SetTextBody(body);
}
std::string Message::To() const {
    return impl_->mail.Header("To");
}
std::string Message::From() const {
    return impl_->mail.Header("From");
}
std::string Message::Subject() const {
    return impl_->mail.Header("Subject");
}
std::string Message::TextBody() const {
    return impl_->mail.TextBody();
}

void Message::AddAttachment(const std::string& path, const std::string&, const std::string&) {
    // Opened now, read when the message is sent: a log of any length goes
    // out without being held in memory.
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        throw Error(kResourceNotFound,
                    Describe("AddAttachment", path, std::strerror(errno), errno));
    }
    struct stat st {};
    if (fstat(file.Get(), &st) != 0) {
        throw Error(kResourceNotFound,
                    Describe("AddAttachment", path, std::strerror(errno), errno));
    }
    if (!S_ISREG(st.st_mode)) {
        throw Error(kResourceNotFound, Describe("AddAttachment", path, "not a file", EISDIR));
    }
    const size_t slash = path.find_last_of("/\\");
    impl_->mail.AddAttachmentFile(slash == std::string::npos ? path : path.substr(slash + 1),
                                  file.Release());
}

void Message::Send() {
    const auto& cfg = localplatform::PlatformConfig::Current();
    auto& mail = impl_->mail;
    const auto recipients = mail.EnvelopeRecipients();
    if (recipients.empty()) {
        throw Error(
            err::kCdoNoRecipients,
            Describe("Send", "message", "At least one recipient is required, but none were found",
                     err::kCdoNoRecipients));
    }
    // Fields the library adds at sending time.
    if (mail.RawHeaders("Date").empty()) mail.SetHeader("Date", localplatform::Rfc5322DateNow());
    if (mail.RawHeaders("Message-ID").empty())
        mail.SetHeader("Message-ID", localplatform::NewMessageId(ServerName(cfg)));

    const std::string transport = cfg.MailTransport();
    const std::string scheme = Lower(transport.substr(0, transport.find(':')));
    if (Lower(transport) == "pickup") {
        // Written into the file as it is made: never whole in memory.
        (void)localplatform::DropInPickup(
            cfg.PickupDir(), [&](int fd, const std::string& path) { mail.WriteTo(fd, path); });
    } else if (Lower(transport) == "sendmail") {
        const auto [spool, path] = Spooled(mail, cfg.TempDir());
        localplatform::SendmailSettings s;
        s.program = cfg.GetOr("mail.sendmail", s.program);
        s.timeoutSeconds = Seconds(cfg, "mail.timeout", s.timeoutSeconds);
        localplatform::SendWithSendmail(s, mail.EnvelopeSender(), recipients, spool.Get(), path);
    } else if (scheme == "smtp" || scheme == "smtps") {
        const auto [spool, path] = Spooled(mail, cfg.TempDir());
        localplatform::SendSmtp(SmtpSettingsFrom(cfg, transport), mail.EnvelopeSender(), recipients,
                                spool.Get(), path);
    } else {
        throw Error(err::kCdoSendFailed,
                    Describe("Send", transport,
                             "mail.transport is none of \"pickup\", \"sendmail\" and an smtp:// or "
                             "smtps:// URL",
                             err::kCdoSendFailed));
    }
}

void Message::OpenObject(const Stream& source, const std::string& interfaceName) {
    if (interfaceName != "_Stream") {
        throw Error(err::kInvalidArg,
                    Describe("OpenObject", interfaceName,
                             "only the \"_Stream\" interface can be opened", err::kInvalidArg));
    }
    impl_->mail = localplatform::MailMessage::Parse(source.Bytes());
}

void Message::SaveToContainer(const std::string& folderUrl, Connection*, int32_t, int32_t, int32_t,
                              const std::string&, const std::string&) {
    // The copy keeps the instant the original was received; a message that
    // names none was received now.
    const auto received = impl_->mail.ReceivedTime();
    const Date receivedUtc = received ? Date::FromUnixSeconds(*received) : Date::NowUtc();
    (void)localplatform::SaveNewMessage(folderUrl, Serialize(), receivedUtc);
}

std::string Message::Serialize() const {
    return impl_->mail.Serialize();
}

}  // namespace platform
