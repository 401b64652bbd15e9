#include "localplatform/mail/mail_message.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/mail/gmime_support.h"

namespace localplatform {

namespace mailsupport {
void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}
}  // namespace mailsupport

namespace {

using platform::EqualsNoCase;
using platform::StartsWithNoCase;

using mailsupport::GFree;
using mailsupport::GPtr;

struct HeaderField {
    std::string name;
    std::string value;  // as written after the colon; folds kept as CRLF + blank
};

bool IsContentField(std::string_view name) {
    return StartsWithNoCase(name, "Content-");
}

// Joins folded lines: a line break followed by blanks is one blank run.
std::string Unfold(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c != '\r' && c != '\n') out += c;
    }
    return platform::TrimSpace(out);
}

bool IsAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A field name: printable ASCII without the colon (RFC 5322 ftext).
bool IsFieldName(std::string_view s) {
    if (s.empty()) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 33 && u <= 126 && c != ':';
    });
}

// Folds a field at blanks so that no line is longer than 78 characters where
// a blank allows it.
std::string Fold(const std::string& name, const std::string& value) {
    std::string out;
    size_t lineLength = name.size() + 1;
    size_t i = 0;
    while (i < value.size()) {
        size_t next = value.find(' ', i + 1);
        if (next == std::string::npos) next = value.size();
        const size_t word = next - i;
        if (lineLength + word > 78 && lineLength > name.size() + 1 && value[i] == ' ') {
            out += "\r\n";
            lineLength = 0;
        }
        out.append(value, i, word);
        lineLength += word;
        i = next;
    }
    return out;
}

std::string ToString(GPtr<char, GFree> s) {
    return s ? std::string(s.get()) : std::string();
}

GMimeFormatOptions* CrlfFormat() {
    // Made once and never changed: safe to share between threads.
    static GMimeFormatOptions* options = [] {
        mailsupport::EnsureGMime();
        GMimeFormatOptions* o = g_mime_format_options_new();
        g_mime_format_options_set_newline_format(o, GMIME_NEWLINE_FORMAT_DOS);
        return o;
    }();
    return options;
}

std::string Decode(GMimeDataWrapper* content) {
    if (content == nullptr) return {};
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, mem.get());
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return bytes != nullptr ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->len)
                            : std::string();
}

bool IsAttachment(GMimeObject* part) {
    const char* disposition = g_mime_object_get_disposition(part);
    return disposition != nullptr && EqualsNoCase(disposition, "attachment");
}

bool IsBodyText(GMimeObject* part) {
    return GMIME_IS_TEXT_PART(part) && !IsAttachment(part) &&
           g_mime_content_type_is_type(g_mime_object_get_content_type(part), "text", "plain");
}

// The first text/plain part that is not an attachment, depth first.
GMimeObject* FindBodyText(GMimeObject* entity) {
    if (entity == nullptr) return nullptr;
    if (IsBodyText(entity)) return entity;
    if (GMIME_IS_MULTIPART(entity)) {
        GMimeMultipart* mp = GMIME_MULTIPART(entity);
        const int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i) {
            if (GMimeObject* found = FindBodyText(g_mime_multipart_get_part(mp, i))) return found;
        }
    }
    return nullptr;
}

void CollectLeaves(GMimeObject* entity, std::vector<GMimeObject*>& out) {
    if (GMIME_IS_MULTIPART(entity)) {
        GMimeMultipart* mp = GMIME_MULTIPART(entity);
        const int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i) CollectLeaves(g_mime_multipart_get_part(mp, i), out);
    } else if (GMIME_IS_PART(entity)) {
        out.push_back(entity);
    }
}

GPtr<GMimeObject> NewTextPart(const std::string& text) {
    GMimeTextPart* part = g_mime_text_part_new_with_subtype("plain");
    g_mime_text_part_set_text(part, text.c_str());
    // Bytes outside ASCII travel quoted-printable or base64, never raw.
    g_mime_object_encode(GMIME_OBJECT(part), GMIME_ENCODING_CONSTRAINT_7BIT);
    return GPtr<GMimeObject>(GMIME_OBJECT(part));
}

// Addresses of a list, group members included; mailbox addresses only.
void CollectAddresses(InternetAddressList* list, std::vector<std::string>& out) {
    if (list == nullptr) return;
    const int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
            const char* addr = internet_address_mailbox_get_idn_addr(INTERNET_ADDRESS_MAILBOX(a));
            if (addr != nullptr && *addr != '\0') out.emplace_back(addr);
        } else if (INTERNET_ADDRESS_IS_GROUP(a)) {
            CollectAddresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), out);
        }
    }
}

// An address as the envelope may carry it: no blanks, controls or angle
// brackets that would change the SMTP command it goes into.
bool IsEnvelopeSafe(const std::string& a) {
    return !a.empty() && std::none_of(a.begin(), a.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 32 || u == 127 || c == '<' || c == '>';
    });
}

// Addresses of a field: GMime's reading, else a plain split for text it
// cannot read ("Name <>" among them, which names no address).
std::vector<std::string> AddressesOf(const std::string& value) {
    std::vector<std::string> found;
    GPtr<InternetAddressList> list(internet_address_list_parse(nullptr, value.c_str()));
    if (list) {
        CollectAddresses(list.get(), found);
    } else {
        size_t start = 0;
        while (start <= value.size()) {
            size_t end = value.find_first_of(",;", start);
            if (end == std::string::npos) end = value.size();
            std::string item =
                platform::TrimSpace(std::string_view(value).substr(start, end - start));
            const size_t lt = item.rfind('<');
            if (lt != std::string::npos) {
                const size_t gt = item.find('>', lt);
                item = platform::TrimSpace(
                    item.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1));
            } else if (item.find('@') == std::string::npos) {
                item.clear();
            }
            if (!item.empty()) found.push_back(item);
            start = end + 1;
        }
    }
    std::vector<std::string> safe;
    for (auto& a : found) {
        if (IsEnvelopeSafe(a)) safe.push_back(std::move(a));
    }
    return safe;
}

std::optional<int64_t> ParseDate(const std::string& text) {
    if (text.empty()) return std::nullopt;
    GDateTime* dt = g_mime_utils_header_decode_date(text.c_str());
    if (dt == nullptr) return std::nullopt;
    const int64_t t = g_date_time_to_unix(dt);
    g_date_time_unref(dt);
    // GMime reads an unreadable date as the epoch; that is no date.
    if (t == 0) return std::nullopt;
    return t;
}

}  // namespace

struct MailMessage::Impl {
    std::vector<HeaderField> fields;      // top-level fields except Content-*
    GPtr<GMimeObject> body;               // the MIME entity with its Content-* fields
    std::optional<std::string> original;  // the text read, while nothing changed

    // Adds content as an attachment (base64) under fileName.
    void Attach(const std::string& fileName, GMimeStream* content, const std::string& contentType);
};

MailMessage::MailMessage() : impl_(std::make_unique<Impl>()) {
    mailsupport::EnsureGMime();
    impl_->body = NewTextPart("");
}
MailMessage::~MailMessage() = default;
MailMessage::MailMessage(MailMessage&&) noexcept = default;
MailMessage& MailMessage::operator=(MailMessage&&) noexcept = default;

MailMessage MailMessage::Parse(std::string_view text) {
    MailMessage m;
    Impl& im = *m.impl_;
    im.original = std::string(text);

    // Header block: fields up to the first empty line; a line that is
    // neither a field nor a continuation ends it (the rest is body).
    std::vector<HeaderField> all;
    size_t pos = 0;
    // An mbox separator line ("From sender date") is not part of the message.
    if (text.substr(0, 5) == "From ") {
        const size_t nl = text.find('\n');
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
    }
    size_t bodyStart = pos;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        const size_t lineEnd = nl == std::string_view::npos ? text.size() : nl;
        std::string_view line = text.substr(pos, lineEnd - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
        if (line.empty()) {
            bodyStart = next;
            break;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !all.empty()) {
            all.back().value += "\r\n";
            all.back().value += line;
        } else {
            const size_t colon = line.find(':');
            std::string_view name =
                colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
                name.remove_suffix(1);
            if (!IsFieldName(name)) {
                bodyStart = pos;
                break;
            }
            all.push_back({std::string(name), std::string(line.substr(colon + 1))});
        }
        pos = next;
        bodyStart = pos;
    }

    // The MIME entity: its Content-* fields and the body, parsed by GMime.
    std::string entity;
    for (auto& f : all) {
        if (IsContentField(f.name)) {
            entity += f.name + ":" + f.value + "\r\n";
        } else {
            im.fields.push_back(std::move(f));
        }
    }
    entity += "\r\n";
    entity.append(text.substr(std::min(bodyStart, text.size())));
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(entity.data(), entity.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GMimeObject* parsed = g_mime_parser_construct_part(parser.get(), nullptr);
    if (parsed != nullptr) {
        im.body.reset(parsed);
    } else {
        // Structure beyond repair: the body is kept as plain text.
        im.body = NewTextPart(std::string(text.substr(std::min(bodyStart, text.size()))));
    }
    return m;
}

std::string MailMessage::Header(std::string_view name) const {
    for (const auto& f : impl_->fields) {
        if (EqualsNoCase(f.name, name)) {
            const std::string raw = Unfold(f.value);
            return ToString(
                GPtr<char, GFree>(g_mime_utils_header_decode_text(nullptr, raw.c_str())));
        }
    }
    if (IsContentField(name) && impl_->body) {
        const char* v = g_mime_object_get_header(impl_->body.get(), std::string(name).c_str());
        return v != nullptr ? platform::TrimSpace(v) : std::string();
    }
    return {};
}

std::vector<std::string> MailMessage::RawHeaders(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& f : impl_->fields) {
        if (EqualsNoCase(f.name, name)) out.push_back(Unfold(f.value));
    }
    return out;
}

void MailMessage::SetHeader(const std::string& name, const std::string& value) {
    std::string v = value;
    std::replace(v.begin(), v.end(), '\r', ' ');
    std::replace(v.begin(), v.end(), '\n', ' ');
    if (!IsAscii(v)) {
        const bool isAddress = EqualsNoCase(name, "From") || EqualsNoCase(name, "To") ||
                               EqualsNoCase(name, "Cc") || EqualsNoCase(name, "Bcc") ||
                               EqualsNoCase(name, "Reply-To") || EqualsNoCase(name, "Sender");
        GPtr<InternetAddressList> list(isAddress ? internet_address_list_parse(nullptr, v.c_str())
                                                 : nullptr);
        GPtr<char, GFree> encoded(
            list ? internet_address_list_to_string(list.get(), nullptr, TRUE)
                 : g_mime_utils_header_encode_text(nullptr, v.c_str(), "utf-8"));
        if (encoded) v = encoded.get();
    }
    const std::string written = " " + Fold(name, v);
    impl_->original.reset();
    if (IsContentField(name)) {
        g_mime_object_set_header(impl_->body.get(), name.c_str(), v.c_str(), "utf-8");
        return;
    }
    auto& fields = impl_->fields;
    auto it = std::find_if(fields.begin(), fields.end(),
                           [&](const HeaderField& f) { return EqualsNoCase(f.name, name); });
    if (it == fields.end()) {
        fields.push_back({name, written});
        return;
    }
    it->value = written;
    fields.erase(std::remove_if(std::next(it), fields.end(),
                                [&](const HeaderField& f) { return EqualsNoCase(f.name, name); }),
                 fields.end());
}

void MailMessage::RemoveHeader(std::string_view name) {
    auto& fields = impl_->fields;
    fields.erase(std::remove_if(fields.begin(), fields.end(),
                                [&](const HeaderField& f) { return EqualsNoCase(f.name, name); }),
                 fields.end());
    impl_->original.reset();
}

std::string MailMessage::TextBody() const {
    GMimeObject* text = FindBodyText(impl_->body.get());
    if (text == nullptr) return {};
    return ToString(GPtr<char, GFree>(g_mime_text_part_get_text(GMIME_TEXT_PART(text))));
}

void MailMessage::SetTextBody(const std::string& text) {
    impl_->original.reset();
    GMimeObject* body = impl_->body.get();
    if (GMimeObject* existing = FindBodyText(body)) {
        g_mime_text_part_set_text(GMIME_TEXT_PART(existing), text.c_str());
        g_mime_object_encode(existing, GMIME_ENCODING_CONSTRAINT_7BIT);
        return;
    }
    GPtr<GMimeObject> part = NewTextPart(text);
    if (GMIME_IS_MULTIPART(body)) {
        g_mime_multipart_insert(GMIME_MULTIPART(body), 0, part.get());
        return;
    }
    // A body of another kind becomes the second part after the text.
    GPtr<GMimeObject> mixed(GMIME_OBJECT(g_mime_multipart_new_with_subtype("mixed")));
    g_mime_multipart_add(GMIME_MULTIPART(mixed.get()), part.get());
    g_mime_multipart_add(GMIME_MULTIPART(mixed.get()), body);
    impl_->body = std::move(mixed);
}

void MailMessage::AddAttachment(const std::string& fileName, const std::string& bytes,
                                const std::string& contentType) {
    GPtr<GMimeStream> content(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    impl_->Attach(fileName, content.get(), contentType);
}

void MailMessage::AddAttachmentFile(const std::string& fileName, int fd,
                                    const std::string& contentType) {
    GPtr<GMimeStream> content(g_mime_stream_fs_new(fd));
    impl_->Attach(fileName, content.get(), contentType);
}

void MailMessage::Impl::Attach(const std::string& fileName, GMimeStream* content,
                               const std::string& contentType) {
    original.reset();
    const size_t slash = contentType.find('/');
    const std::string type =
        slash == std::string::npos ? "application" : contentType.substr(0, slash);
    const std::string subtype =
        slash == std::string::npos ? "octet-stream" : contentType.substr(slash + 1);
    GPtr<GMimePart> part(g_mime_part_new_with_type(type.c_str(), subtype.c_str()));
    GPtr<GMimeDataWrapper> wrapper(
        g_mime_data_wrapper_new_with_stream(content, GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part.get(), wrapper.get());
    g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
    g_mime_object_set_disposition(GMIME_OBJECT(part.get()), "attachment");
    g_mime_part_set_filename(part.get(), fileName.c_str());

    GMimeObject* top = body.get();
    if (!(GMIME_IS_MULTIPART(top) &&
          g_mime_content_type_is_type(g_mime_object_get_content_type(top), "multipart", "mixed"))) {
        GPtr<GMimeObject> mixed(GMIME_OBJECT(g_mime_multipart_new_with_subtype("mixed")));
        g_mime_multipart_add(GMIME_MULTIPART(mixed.get()), top);
        body = std::move(mixed);
    }
    g_mime_multipart_add(GMIME_MULTIPART(body.get()), GMIME_OBJECT(part.get()));
}

std::vector<MailAttachment> MailMessage::Attachments() const {
    std::vector<GMimeObject*> leaves;
    CollectLeaves(impl_->body.get(), leaves);
    GMimeObject* text = FindBodyText(impl_->body.get());
    std::vector<MailAttachment> out;
    for (GMimeObject* leaf : leaves) {
        if (leaf == text) continue;
        MailAttachment a;
        const char* name = g_mime_part_get_filename(GMIME_PART(leaf));
        a.fileName = name != nullptr ? name : "";
        a.contentType = ToString(GPtr<char, GFree>(
            g_mime_content_type_get_mime_type(g_mime_object_get_content_type(leaf))));
        a.bytes = Decode(g_mime_part_get_content(GMIME_PART(leaf)));
        out.push_back(std::move(a));
    }
    return out;
}

std::string MailMessage::Serialize() const {
    if (impl_->original) return *impl_->original;
    std::string out;
    for (const auto& f : impl_->fields) out += f.name + ":" + f.value + "\r\n";
    out += ToString(GPtr<char, GFree>(g_mime_object_to_string(impl_->body.get(), CrlfFormat())));
    return out;
}

void MailMessage::WriteTo(int fd, const std::string& path) const {
    GPtr<GMimeStream> file(g_mime_stream_fs_new(fd));
    g_mime_stream_fs_set_owner(GMIME_STREAM_FS(file.get()), FALSE);  // the caller's
    GPtr<GMimeStream> out(g_mime_stream_buffer_new(file.get(), GMIME_STREAM_BUFFER_BLOCK_WRITE));
    auto failed = [&](const char* what) {
        const int e = errno;
        return platform::Error(
            platform::err::kCdoSendFailed,
            platform::Describe(what, path, e != 0 ? std::strerror(e) : "the stream failed", e));
    };
    auto put = [&](std::string_view text) {
        if (g_mime_stream_write(out.get(), text.data(), text.size()) !=
            static_cast<ssize_t>(text.size()))
            throw failed("write message");
    };
    errno = 0;
    if (impl_->original) {
        put(*impl_->original);
    } else {
        for (const auto& f : impl_->fields) put(f.name + ":" + f.value + "\r\n");
        // A failed read of an attachment's file fails the write as well.
        if (g_mime_object_write_to_stream(impl_->body.get(), CrlfFormat(), out.get()) < 0)
            throw failed("write message");
    }
    if (g_mime_stream_flush(out.get()) != 0) throw failed("write message");
}

std::string MailMessage::EnvelopeSender() const {
    const auto from = RawHeaders("From");
    if (from.empty()) return {};
    const auto addresses = AddressesOf(from.front());
    return addresses.empty() ? std::string() : addresses.front();
}

std::vector<std::string> MailMessage::EnvelopeRecipients() const {
    std::vector<std::string> out;
    for (const char* name : {"To", "Cc", "Bcc"}) {
        for (const auto& value : RawHeaders(name)) {
            for (auto& a : AddressesOf(value)) {
                const bool seen = std::any_of(out.begin(), out.end(), [&](const std::string& o) {
                    return EqualsNoCase(o, a);
                });
                if (!seen) out.push_back(std::move(a));
            }
        }
    }
    return out;
}

std::optional<int64_t> MailMessage::ReceivedTime() const {
    const auto received = RawHeaders("Received");
    if (!received.empty()) {
        const size_t semi = received.front().rfind(';');
        if (semi != std::string::npos) {
            if (auto t = ParseDate(platform::TrimSpace(received.front().substr(semi + 1))))
                return t;
        }
    }
    const auto date = RawHeaders("Date");
    if (!date.empty()) return ParseDate(date.front());
    return std::nullopt;
}

std::string NewMessageId(const std::string& domain) {
    mailsupport::EnsureGMime();
    const std::string d = domain.empty() ? "localhost" : domain;
    return "<" + ToString(GPtr<char, GFree>(g_mime_utils_generate_message_id(d.c_str()))) + ">";
}

std::string Rfc5322DateNow() {
    mailsupport::EnsureGMime();
    GDateTime* now = g_date_time_new_now_local();
    std::string text = ToString(GPtr<char, GFree>(g_mime_utils_header_format_date(now)));
    g_date_time_unref(now);
    return text;
}

}  // namespace localplatform
