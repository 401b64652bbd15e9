#include "localplatform/store/imap/imap_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <libetpan/libetpan.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <set>

#include "base/error.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"
#include "localplatform/store/imap/host_lookup.h"
#include "localplatform/store/imap/imap_session_faults.h"
#include "localplatform/store/mail_folder_name.h"

namespace localplatform::imap {
namespace {

using Clock = std::chrono::steady_clock;

// A server's answer goes into our messages cut short and made harmless.
std::string ServerText(const mailimap* imap) {
    if (imap == nullptr || imap->imap_response == nullptr) return "no answer";
    std::string text = imap->imap_response;
    if (text.size() > 300) text = text.substr(0, 300) + "...";
    return "\"" + platform::VisibleText(text) + "\"";
}

// Writing to a connection the server has closed raises SIGPIPE, which would
// end the host process. The signal is held back in this thread while a call
// runs, and one it caused is taken before the thread's mask is restored.
class SigpipeHold {
public:
    SigpipeHold() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~SigpipeHold() {
        if (!wasPending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                const timespec none{0, 0};
                sigtimedwait(&pipe, nullptr, &none);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeHold(const SigpipeHold&) = delete;
    SigpipeHold& operator=(const SigpipeHold&) = delete;

private:
    sigset_t old_{};
    bool wasPending_ = false;
};

time_t WholeSeconds(int ms) {
    return std::max<time_t>(1, (static_cast<time_t>(ms) + 999) / 1000);
}

bool IsIpLiteral(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// "N ms (the connect bound, mailstore.NS.connect_timeout_ms)", for messages.
std::string ConnectBound(const ImapServer& server) {
    return std::to_string(server.connectTimeoutMs) + " ms (the connect bound" +
           (server.settingsKey.empty() ? std::string()
                                       : ", " + server.settingsKey + ".connect_timeout_ms") +
           ")";
}

// Opens a TCP connection to server within its connect bound, which takes
// in the host name's lookup: the address is connected to here, the name
// kept for the certificate's check.
platform::UniqueFd ConnectSocket(const ImapServer& server) {
    const std::string where = server.Url();
    const auto deadline = Clock::now() + std::chrono::milliseconds(server.connectTimeoutMs);
    const HostAddresses found = LookUpHost(server.host, server.port, deadline);
    const std::string host = "host name \"" + platform::VisibleText(server.host) + "\"";
    if (found.timedOut) {
        throw ServerSilent(
            platform::err::kFail,
            platform::Describe("connect", where,
                               host + " not resolved within " + ConnectBound(server), ETIMEDOUT));
    }
    if (found.error != 0) {
        throw platform::Error(
            platform::err::kFail,
            platform::Describe("connect", where, host + ": " + gai_strerror(found.error),
                               found.error));
    }
    std::string why = "no address";
    int code = 0;
    for (const addrinfo* a = found.list.get(); a != nullptr; a = a->ai_next) {
        platform::UniqueFd fd(
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (!fd.IsOpen()) {
            code = errno;
            why = std::strerror(code);
            continue;
        }
        if (connect(fd.Get(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                code = errno;
                why = std::strerror(code);
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd.Get(), POLLOUT, 0};
            const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (ready == 0) {
                code = ETIMEDOUT;
                why = "no connection within " + ConnectBound(server);
                break;
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            if (ready < 0 || getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0 ||
                soError != 0) {
                code = ready < 0 ? errno : soError;
                why = std::strerror(code);
                continue;
            }
        }
        // libetpan's streams expect a blocking descriptor and poll it themselves.
        fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    const std::string described = platform::Describe("connect", where, why, code);
    if (code == ETIMEDOUT) throw ServerSilent(platform::err::kFail, described);
    throw platform::Error(platform::err::kFail, described);
}

void SetServerName(mailstream_ssl_context* context, void* data) {
    auto* host = static_cast<std::string*>(data);
    if (!IsIpLiteral(*host)) mailstream_ssl_set_server_name(context, host->data());
}

// Checks the certificate chain the server sent against the trusted
// certificates and the name we connected to. libetpan's GnuTLS build accepts
// any certificate, so this is done here, before anything secret is sent.
void VerifyServerCertificate(mailstream* stream, const ImapServer& server) {
    const std::string where = server.Url();
    carray* chain = mailstream_low_get_certificate_chain(mailstream_get_low(stream));
    std::vector<gnutls_x509_crt_t> certs;
    auto release = [&] {
        for (gnutls_x509_crt_t c : certs) gnutls_x509_crt_deinit(c);
        if (chain == nullptr) return;
        for (unsigned i = 0; i < carray_count(chain); ++i) {
            mmap_string_free(static_cast<MMAPString*>(carray_get(chain, i)));
        }
        carray_free(chain);
    };
    gnutls_x509_trust_list_t trust = nullptr;
    auto fail = [&](const std::string& why, long code) {
        if (trust != nullptr) gnutls_x509_trust_list_deinit(trust, 1);
        release();
        throw platform::Error(platform::err::kAccessDenied,
                              platform::Describe("verify certificate", where, why, code));
    };
    if (chain == nullptr || carray_count(chain) == 0) fail("the server sent no certificate", 0);
    for (unsigned i = 0; i < carray_count(chain); ++i) {
        auto* der = static_cast<MMAPString*>(carray_get(chain, i));
        gnutls_x509_crt_t cert = nullptr;
        gnutls_x509_crt_init(&cert);
        certs.push_back(cert);
        const gnutls_datum_t datum{reinterpret_cast<unsigned char*>(der->str),
                                   static_cast<unsigned>(der->len)};
        const int r = gnutls_x509_crt_import(cert, &datum, GNUTLS_X509_FMT_DER);
        if (r < 0) fail(gnutls_strerror(r), r);
    }
    gnutls_x509_trust_list_init(&trust, 0);
    const int added = server.caFile.empty()
                          ? gnutls_x509_trust_list_add_system_trust(trust, 0, 0)
                          : gnutls_x509_trust_list_add_trust_file(
                                trust, server.caFile.c_str(), nullptr, GNUTLS_X509_FMT_PEM, 0, 0);
    if (added <= 0) {
        fail("no trusted certificate could be read from " +
                 (server.caFile.empty() ? std::string("the system's store")
                                        : platform::VisibleText(server.caFile)),
             added);
    }
    gnutls_typed_vdata_st checks[2] = {
        {GNUTLS_DT_DNS_HOSTNAME,
         reinterpret_cast<unsigned char*>(const_cast<char*>(server.host.c_str())), 0},
        {GNUTLS_DT_KEY_PURPOSE_OID,
         reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER)), 0}};
    unsigned status = 0;
    const int r = gnutls_x509_trust_list_verify_crt2(
        trust, certs.data(), static_cast<unsigned>(certs.size()), checks, 2, 0, &status, nullptr);
    if (r < 0) fail(gnutls_strerror(r), r);
    if (status != 0) {
        gnutls_datum_t text{};
        gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0);
        const std::string why = text.data != nullptr
                                    ? std::string(reinterpret_cast<char*>(text.data), text.size)
                                    : "not trusted";
        gnutls_free(text.data);
        fail(why + " (host " + platform::VisibleText(server.host) + ")", static_cast<long>(status));
    }
    gnutls_x509_trust_list_deinit(trust, 1);
    release();
}

std::string FlagText(const mailimap_flag* flag) {
    switch (flag->fl_type) {
        case MAILIMAP_FLAG_ANSWERED:
            return "\\Answered";
        case MAILIMAP_FLAG_FLAGGED:
            return "\\Flagged";
        case MAILIMAP_FLAG_DELETED:
            return "\\Deleted";
        case MAILIMAP_FLAG_SEEN:
            return "\\Seen";
        case MAILIMAP_FLAG_DRAFT:
            return "\\Draft";
        case MAILIMAP_FLAG_KEYWORD:
            return flag->fl_data.fl_keyword;
        case MAILIMAP_FLAG_EXTENSION:
            return std::string("\\") + flag->fl_data.fl_extension;
        default:
            return {};
    }
}

// A flag for APPEND; nothing for \Recent, which only the server sets.
mailimap_flag* NewFlag(const std::string& text) {
    if (platform::EqualsNoCase(text, "\\Recent") || text.empty()) return nullptr;
    if (platform::EqualsNoCase(text, "\\Answered")) return mailimap_flag_new_answered();
    if (platform::EqualsNoCase(text, "\\Flagged")) return mailimap_flag_new_flagged();
    if (platform::EqualsNoCase(text, "\\Deleted")) return mailimap_flag_new_deleted();
    if (platform::EqualsNoCase(text, "\\Seen")) return mailimap_flag_new_seen();
    if (platform::EqualsNoCase(text, "\\Draft")) return mailimap_flag_new_draft();
    // The flag owns the copy once made; when it cannot be made, the copy is
    // freed here.
    const bool extension = text[0] == '\\';
    char* copy = strdup(text.c_str() + (extension ? 1 : 0));
    if (copy == nullptr) return nullptr;
    mailimap_flag* flag =
        extension ? mailimap_flag_new_flag_extension(copy) : mailimap_flag_new_flag_keyword(copy);
    // libetpan did not take the copy: it is strdup's, freed with free().
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory,cppcoreguidelines-no-malloc)
    if (flag == nullptr) free(copy);
    return flag;  // NOLINT(clang-analyzer-unix.Malloc): the flag owns the copy
}

int64_t UnixSeconds(const mailimap_date_time* d) {
    tm t{};
    t.tm_year = d->dt_year - 1900;
    t.tm_mon = d->dt_month - 1;
    t.tm_mday = d->dt_day;
    t.tm_hour = d->dt_hour;
    t.tm_min = d->dt_min;
    t.tm_sec = d->dt_sec;
    // The zone is written as hours and minutes, "-0130" read as -130.
    const int zone = d->dt_zone;
    const int offset = (zone / 100) * 3600 + (zone % 100) * 60;
    return static_cast<int64_t>(timegm(&t)) - offset;
}

// UID sets sent in one command: a few hundred ranges keep a command line
// well inside what servers accept.
constexpr size_t kUidsPerCommand = 500;

struct SetDeleter {
    void operator()(mailimap_set* s) const { mailimap_set_free(s); }
};
using SetPtr = std::unique_ptr<mailimap_set, SetDeleter>;

// The runs of consecutive UIDs among sorted[from, to).
std::vector<std::pair<uint32_t, uint32_t>> Runs(const std::vector<uint32_t>& sorted, size_t from,
                                                size_t to) {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    size_t i = from;
    while (i < to) {
        size_t j = i;
        while (j + 1 < to && sorted[j + 1] == sorted[j] + 1) ++j;
        runs.emplace_back(sorted[i], sorted[j]);
        i = j + 1;
    }
    return runs;
}

SetPtr NewSet(const std::vector<uint32_t>& sorted, size_t from, size_t to) {
    SetPtr set(mailimap_set_new_empty());
    for (const auto& [first, last] : Runs(sorted, from, to)) {
        mailimap_set_add_interval(set.get(), first, last);
    }
    return set;
}

// The same set as command text: "3:7,9".
std::string SetText(const std::vector<uint32_t>& sorted, size_t from, size_t to) {
    std::string text;
    for (const auto& [first, last] : Runs(sorted, from, to)) {
        if (!text.empty()) text += ',';
        text += std::to_string(first);
        if (last != first) text += ':' + std::to_string(last);
    }
    return text;
}

// The UIDs of a set the server sent, in its order; nothing when the set
// names more than most of them: an answer about more messages than were
// asked about is no answer, and "1:4294967295" would take 16 GiB to spell.
std::optional<std::vector<uint32_t>> Expand(const mailimap_set* set, size_t most) {
    std::vector<uint32_t> out;
    if (set == nullptr) return out;
    uint64_t count = 0;
    for (clistiter* it = clist_begin(set->set_list); it != nullptr; it = clist_next(it)) {
        const auto* item = static_cast<const mailimap_set_item*>(clist_content(it));
        if (item->set_first != 0 && item->set_first <= item->set_last)
            count += uint64_t{item->set_last} - item->set_first + 1;
        if (count > most) return std::nullopt;
    }
    for (clistiter* it = clist_begin(set->set_list); it != nullptr; it = clist_next(it)) {
        const auto* item = static_cast<const mailimap_set_item*>(clist_content(it));
        for (uint32_t u = item->set_first; u != 0 && u <= item->set_last; ++u) {
            out.push_back(u);
            if (u == item->set_last) break;
        }
    }
    return out;
}

// The messages of a UID FETCH's answer.
std::vector<ImapMessage> ToMessages(const clist* result) {
    std::vector<ImapMessage> messages;
    for (clistiter* it = clist_begin(result); it != nullptr; it = clist_next(it)) {
        const auto* att = static_cast<const mailimap_msg_att*>(clist_content(it));
        ImapMessage m;
        for (clistiter* i = clist_begin(att->att_list); i != nullptr; i = clist_next(i)) {
            const auto* item = static_cast<const mailimap_msg_att_item*>(clist_content(i));
            if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC) {
                // "FLAGS ()" (no flag, not even \Recent) comes as no list.
                const clist* flags =
                    item->att_data.att_dyn != nullptr ? item->att_data.att_dyn->att_list : nullptr;
                for (clistiter* f = flags != nullptr ? clist_begin(flags) : nullptr; f != nullptr;
                     f = clist_next(f)) {
                    const auto* ff = static_cast<const mailimap_flag_fetch*>(clist_content(f));
                    if (ff->fl_type != MAILIMAP_FLAG_FETCH_OTHER || ff->fl_flag == nullptr)
                        continue;
                    std::string text = FlagText(ff->fl_flag);
                    if (!text.empty()) m.flags.push_back(std::move(text));
                }
                continue;
            }
            const mailimap_msg_att_static* st = item->att_data.att_static;
            switch (st->att_type) {
                case MAILIMAP_MSG_ATT_UID:
                    m.uid = st->att_data.att_uid;
                    break;
                case MAILIMAP_MSG_ATT_RFC822_SIZE:
                    m.size = st->att_data.att_rfc822_size;
                    break;
                case MAILIMAP_MSG_ATT_INTERNALDATE:
                    m.internalDate = UnixSeconds(st->att_data.att_internal_date);
                    break;
                default:
                    break;
            }
        }
        // A FETCH the server sent on its own (a flag changed elsewhere)
        // carries no UID and is no answer to ours.
        if (m.uid != 0) messages.push_back(std::move(m));
    }
    return messages;
}

}  // namespace

std::string ImapServer::Url() const {
    return (implicitTls ? "imaps://" : "imap://") + host + ":" + std::to_string(port);
}

struct ImapSession::Impl {
    ImapServer server;
    std::string describe;
    mailimap* imap = nullptr;
    char delimiter = '/';
    // The user's own folders are named below personalPrefix ("INBOX." on a
    // Cyrus without its alternate namespace, mostly ""); names below
    // otherPrefixes are other users' or shared folders.
    std::string personalPrefix;
    std::vector<std::string> otherPrefixes;
    // LIST "" "*"'s answer, sent with NAMESPACE, for a ListFolders before
    // any other call.
    std::unique_ptr<clist, decltype(&mailimap_list_result_free)> prefetched{
        nullptr, &mailimap_list_result_free};
    bool hasMove = false;
    bool broken = false;
    std::string selectedName;  // for messages
    bool selectedForWriting = false;

    // Says LOGOUT and closes without waiting for the server's goodbye:
    // every command before it was answered, and nothing the server could
    // still say changes anything (a run opens one session per mailbox, and
    // the wait was a round trip of each). The stream is closed here, since
    // mailimap_free would log out and wait; a broken connection, or a
    // server not trusted, is told nothing.
    ~Impl() {
        if (imap == nullptr) return;
        const SigpipeHold hold;
        if (imap->imap_stream != nullptr) {
            if (!broken) {
                static constexpr char kLogout[] = "Z LOGOUT\r\n";
                if (mailstream_write(imap->imap_stream, kLogout, sizeof kLogout - 1) ==
                    static_cast<ssize_t>(sizeof kLogout - 1)) {
                    (void)mailstream_flush(imap->imap_stream);
                }
            }
            mailstream_close(imap->imap_stream);
            imap->imap_stream = nullptr;
        }
        mailimap_free(imap);
    }

    [[noreturn]] void Fail(const std::string& operation, const std::string& object, int code,
                           Clock::time_point started, int32_t number = platform::err::kFail) {
        std::string why;
        if (Lost(code)) {
            broken = true;
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
            if (waited.count() + 50 >= WholeSeconds(server.replyTimeoutMs) * 1000) {
                why =
                    "no reply within " + std::to_string(WholeSeconds(server.replyTimeoutMs)) +
                    " s (the reply bound" +
                    (server.settingsKey.empty() ? std::string()
                                                : ", " + server.settingsKey + ".reply_timeout_ms") +
                    ")";
                throw ServerSilent(platform::err::kFail,
                                   platform::Describe(operation, describe + object, why, code));
            }
            if (code == MAILIMAP_ERROR_PARSE) {
                why = "the server's reply could not be read";
            } else {
                why = "the connection was lost";
            }
            number = platform::err::kFail;
        } else {
            why = "the server answered " + ServerText(imap);
        }
        throw platform::Error(number, platform::Describe(operation, describe + object, why, code));
    }

    // Raises when the connection was lost. Every call but ListFolders's
    // lets go of the listing taken at the session's start: once anything
    // else was done, a listing must be taken afresh.
    void CheckUsable(const std::string& operation, bool keepListing = false) {
        if (!keepListing) prefetched.reset();
        if (!broken) return;
        throw platform::Error(
            platform::err::kFail,
            platform::Describe(operation, describe, "the connection was lost earlier", 0));
    }

    std::string Wire(const std::vector<std::string>& folder) const {
        std::string wire;
        for (size_t i = 0; i < folder.size(); ++i) {
            const std::string& name = folder[i];
            if (i == 0 && platform::EqualsNoCase(name, "INBOX")) {
                wire = "INBOX";
                continue;
            }
            const auto encoded = EncodeMailFolderName(name);
            const bool control = std::any_of(name.begin(), name.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
            });
            if (name.empty() || !encoded || control ||
                (delimiter != '\0' && name.find(delimiter) != std::string::npos)) {
                throw platform::Error(
                    platform::err::kInvalidArg,
                    platform::Describe("name folder",
                                       describe + " \"" + platform::VisibleText(name) + "\"",
                                       std::string("the server cannot hold this name (its "
                                                   "hierarchy delimiter is '") +
                                           delimiter + "')",
                                       0));
            }
            wire += i > 0 ? std::string(1, delimiter) : personalPrefix;
            wire += *encoded;
        }
        return wire;
    }

    // The part of a listed name below the user's own namespace ("INBOX"
    // itself stays); nothing for another namespace's folder.
    [[nodiscard]] std::optional<std::string> Personal(const std::string& wire) const {
        if (platform::EqualsNoCase(wire, "INBOX")) return wire;
        if (!personalPrefix.empty()) {
            if (wire.size() <= personalPrefix.size() || wire.rfind(personalPrefix, 0) != 0)
                return std::nullopt;
            return wire.substr(personalPrefix.size());
        }
        for (const std::string& other : otherPrefixes) {
            if (wire.rfind(other, 0) == 0) return std::nullopt;
        }
        return wire;
    }

    // Takes the personal namespace's prefix and delimiter, and the other
    // namespaces' prefixes, from a NAMESPACE answer just read. False when
    // the server gave no personal namespace.
    bool TakeNamespaces() {
        const mailimap_namespace_data* data = nullptr;
        if (imap->imap_response_info != nullptr) {
            for (clistiter* it = clist_begin(imap->imap_response_info->rsp_extension_list);
                 it != nullptr; it = clist_next(it)) {
                const auto* ext = static_cast<const mailimap_extension_data*>(clist_content(it));
                if (ext->ext_extension->ext_id == MAILIMAP_EXTENSION_NAMESPACE &&
                    ext->ext_type == MAILIMAP_NAMESPACE_TYPE_NAMESPACE) {
                    data = static_cast<const mailimap_namespace_data*>(ext->ext_data);
                }
            }
        }
        if (data == nullptr) return false;
        auto each = [](const mailimap_namespace_item* item, auto&& f) {
            if (item == nullptr) return;
            for (clistiter* it = clist_begin(item->ns_data_list); it != nullptr;
                 it = clist_next(it)) {
                f(*static_cast<const mailimap_namespace_info*>(clist_content(it)));
            }
        };
        bool first = true;
        each(data->ns_personal, [&](const mailimap_namespace_info& ns) {
            if (first) {
                personalPrefix = ns.ns_prefix;
                delimiter = ns.ns_delimiter;
                first = false;
            }
        });
        auto other = [&](const mailimap_namespace_info& ns) {
            if (*ns.ns_prefix != '\0') otherPrefixes.emplace_back(ns.ns_prefix);
        };
        each(data->ns_other, other);
        each(data->ns_shared, other);
        return !first;
    }

    // The personal namespace's prefix and delimiter (NAMESPACE), or without
    // that extension the hierarchy delimiter alone (LIST "" ""). Every
    // folder's listing goes with NAMESPACE: a session lists the folders
    // before it opens one, and the listing does not wait on the answer.
    void ReadNamespaces(bool hasNamespace) {
        auto started = Clock::now();
        if (hasNamespace) {
            const int namespaceTag = Send("NAMESPACE", "NAMESPACE", started);
            const int listTag = Send("LIST \"\" \"*\"", "LIST", started);
            if (mailstream_flush(imap->imap_stream) == -1) {
                Fail("NAMESPACE", "", MAILIMAP_ERROR_STREAM, started);
            }
            const Answer spaces = ReadAnswer(namespaceTag, MAILIMAP_ERROR_EXTENSION);
            if (Lost(spaces.code)) Fail("NAMESPACE", "", spaces.code, started);
            const bool personal = spaces.code == MAILIMAP_NO_ERROR && TakeNamespaces();
            const Answer listed = ReadAnswer(listTag, MAILIMAP_ERROR_LIST);
            if (Lost(listed.code)) Fail("LIST", "", listed.code, started);
            if (spaces.code != MAILIMAP_NO_ERROR) {
                throw platform::Error(
                    platform::err::kFail,
                    platform::Describe("NAMESPACE", describe, "the server answered " + spaces.text,
                                       spaces.code));
            }
            // Kept for the first ListFolders; one that failed is asked again there.
            if (personal && listed.code == MAILIMAP_NO_ERROR &&
                imap->imap_response_info != nullptr) {
                prefetched.reset(imap->imap_response_info->rsp_mailbox_list);
                imap->imap_response_info->rsp_mailbox_list = clist_new();
            }
            if (personal) return;
        }
        started = Clock::now();
        clist* list = nullptr;
        const int r = mailimap_list(imap, "", "", &list);
        if (r != MAILIMAP_NO_ERROR) Fail("LIST", "", r, started);
        if (list != nullptr && clist_begin(list) != nullptr) {
            const auto* mb =
                static_cast<const mailimap_mailbox_list*>(clist_content(clist_begin(list)));
            delimiter = mb->mb_delimiter;
        }
        if (list != nullptr) mailimap_list_result_free(list);
    }

    static std::string Shown(const std::vector<std::string>& folder) {
        std::string shown;
        for (const std::string& s : folder) shown += (shown.empty() ? "" : "/") + s;
        return " \"" + platform::VisibleText(shown) + "\"";
    }

    std::vector<ImapMessage> Fetch(const SetPtr& uids);

    // Sends command without waiting for its answer, which ReadAnswer takes
    // later (the server answers in order); returns its tag.
    int Send(const std::string& command, const std::string& operation, Clock::time_point started) {
        const std::string line = command + "\r\n";
        int r = mailimap_send_current_tag(imap);
        if (r == MAILIMAP_NO_ERROR &&
            mailstream_write(imap->imap_stream, line.data(), line.size()) !=
                static_cast<ssize_t>(line.size())) {
            r = MAILIMAP_ERROR_STREAM;
        }
        if (r != MAILIMAP_NO_ERROR) Fail(operation, selectedName, r, started);
        return imap->imap_tag;
    }

    // The answer to the command of tag: MAILIMAP_NO_ERROR for OK, refused
    // (the server's NO) or libetpan's error; the server's words with it.
    struct Answer {
        int code = MAILIMAP_NO_ERROR;
        std::string text;
    };
    Answer ReadAnswer(int tag, int refused) {
        // libetpan takes the tagged answer to be the session's current tag's.
        imap->imap_tag = tag;
        mailimap_response* response = nullptr;
        Answer answer;
        answer.code = mailimap_read_line(imap) == nullptr
                          ? MAILIMAP_ERROR_STREAM
                          : mailimap_parse_response(imap, &response);
        if (answer.code == MAILIMAP_NO_ERROR) {
            const int state =
                response->rsp_resp_done->rsp_data.rsp_tagged->rsp_cond_state->rsp_type;
            mailimap_response_free(response);
            if (state != MAILIMAP_RESP_COND_STATE_OK) answer.code = refused;
        }
        answer.text = ServerText(imap);
        return answer;
    }

    // Whether code says the connection cannot be used any more.
    static bool Lost(int code) {
        return code == MAILIMAP_ERROR_STREAM || code == MAILIMAP_ERROR_PARSE ||
               code == MAILIMAP_ERROR_FATAL || code == MAILIMAP_ERROR_MEMORY;
    }

    // Forgets the capabilities the server announced before the login, so
    // that those it announces with its answer to the login can be told
    // from them.
    void ForgetCapabilities() const {
        mailimap_connection_info* info = imap->imap_connection_info;
        if (info == nullptr || info->imap_capability == nullptr) return;
        mailimap_capability_data_free(info->imap_capability);
        info->imap_capability = nullptr;
    }

    // The capabilities after the login: those the server announced with its
    // answer (most do), else what CAPABILITY says.
    std::set<std::string> Capabilities() {
        mailimap_capability_data* data = nullptr;
        const mailimap_connection_info* info = imap->imap_connection_info;
        const bool announced = info != nullptr && info->imap_capability != nullptr;
        if (announced) {
            data = info->imap_capability;
        } else {
            const auto started = Clock::now();
            const int r = mailimap_capability(imap, &data);
            if (r != MAILIMAP_NO_ERROR) Fail("CAPABILITY", "", r, started);
        }
        std::set<std::string> names;
        for (clistiter* it = clist_begin(data->cap_list); it != nullptr; it = clist_next(it)) {
            const auto* cap = static_cast<const struct mailimap_capability*>(clist_content(it));
            if (cap->cap_type == MAILIMAP_CAPABILITY_NAME && cap->cap_data.cap_name != nullptr) {
                names.insert(platform::Upper(cap->cap_data.cap_name));
            }
        }
        if (!announced) mailimap_capability_data_free(data);
#ifdef QUELLIX_IMAP_FAULTS
        for (const std::string& hidden : faults::hiddenCapabilities) names.erase(hidden);
#endif
        return names;
    }
};

ImapSession::ImapSession(const ImapServer& server, const ImapLogin& login)
    : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.server = server;
    s.describe = server.Url() + " " + platform::VisibleText(login.user);
    const SigpipeHold hold;
    const time_t replySeconds = WholeSeconds(server.replyTimeoutMs);

    platform::UniqueFd fd = ConnectSocket(server);
    std::string host = server.host;
    mailstream* stream = server.implicitTls
                             ? mailstream_ssl_open_with_callback_timeout(fd.Get(), replySeconds,
                                                                         SetServerName, &host)
                             : mailstream_socket_open_timeout(fd.Get(), replySeconds);
    if (stream == nullptr) {
        throw platform::Error(
            platform::err::kFail,
            platform::Describe(server.implicitTls ? "TLS handshake" : "open stream", server.Url(),
                               "no secure connection within the reply bound or refused", 0));
    }
    (void)fd.Release();  // the stream closes it now
    s.imap = mailimap_new(0, nullptr);
    if (s.imap == nullptr) {
        mailstream_close(stream);
        throw platform::Error(platform::err::kOutOfMemory, "mailimap_new failed");
    }
    mailimap_set_timeout(s.imap, replySeconds);
    if (server.implicitTls) {
        try {
            VerifyServerCertificate(stream, server);
        } catch (...) {
            mailstream_close(stream);
            throw;
        }
    }
    auto started = Clock::now();
    int r = mailimap_connect(s.imap, stream);
    if (r != MAILIMAP_NO_ERROR_NON_AUTHENTICATED && r != MAILIMAP_NO_ERROR_AUTHENTICATED) {
        s.Fail("greeting", "", r, started);
    }
    if (server.startTls && !server.implicitTls) {
        started = Clock::now();
        r = mailimap_socket_starttls_with_callback(s.imap, SetServerName, &host);
        if (r != MAILIMAP_NO_ERROR) s.Fail("STARTTLS", "", r, started);
        try {
            VerifyServerCertificate(s.imap->imap_stream, server);
        } catch (...) {
            s.broken = true;  // nothing more is said to a server we do not trust
            throw;
        }
    }

    s.ForgetCapabilities();
    started = Clock::now();
    switch (login.mode) {
        case LoginMode::kMaster:
            r = mailimap_login(s.imap, (login.user + "*" + login.admin).c_str(),
                               login.password.c_str());
            break;
        case LoginMode::kProxy:
            r = mailimap_authenticate(s.imap, "PLAIN", server.host.c_str(), nullptr, nullptr,
                                      login.user.c_str(), login.admin.c_str(),
                                      login.password.c_str(), nullptr);
            break;
        case LoginMode::kPlain:
            r = mailimap_authenticate(s.imap, "PLAIN", server.host.c_str(), nullptr, nullptr,
                                      login.user.c_str(), login.user.c_str(),
                                      login.password.c_str(), nullptr);
            break;
    }
    if (r != MAILIMAP_NO_ERROR) {
        const std::string as = login.mode == LoginMode::kPlain
                                   ? std::string()
                                   : " as " + platform::VisibleText(login.admin);
        s.Fail(login.mode == LoginMode::kMaster ? "LOGIN" : "AUTHENTICATE PLAIN", as, r, started,
               platform::err::kPermissionDeniedDb);
    }

    const std::set<std::string> caps = s.Capabilities();
    if (caps.count("UIDPLUS") == 0) {
        throw platform::Error(
            platform::err::kAdoFeatureNotAvailable,
            platform::Describe("CAPABILITY", s.describe,
                               "the server lacks UIDPLUS, without which a removal cannot be "
                               "limited to the chosen messages; nothing is removed",
                               0));
    }
    s.hasMove = caps.count("MOVE") != 0;
    s.ReadNamespaces(caps.count("NAMESPACE") != 0);
}

ImapSession::~ImapSession() = default;

char ImapSession::Delimiter() const {
    return impl_->delimiter;
}

bool ImapSession::HasMove() const {
    return impl_->hasMove;
}

const std::string& ImapSession::Describe() const {
    return impl_->describe;
}

std::vector<ImapFolder> ImapSession::ListFolders() {
    Impl& s = *impl_;
    s.CheckUsable("LIST", true);
    std::unique_ptr<clist, decltype(&mailimap_list_result_free)> owned = std::move(s.prefetched);
    if (owned == nullptr) {
        const SigpipeHold hold;
        const auto started = Clock::now();
        clist* fresh = nullptr;
        const int r = mailimap_list(s.imap, "", "*", &fresh);
        if (r != MAILIMAP_NO_ERROR) s.Fail("LIST", "", r, started);
        owned.reset(fresh);
    }
    const clist* list = owned.get();
    std::vector<ImapFolder> folders;
    for (clistiter* it = clist_begin(list); it != nullptr; it = clist_next(it)) {
        const auto* mb = static_cast<const mailimap_mailbox_list*>(clist_content(it));
        if (mb->mb_name == nullptr) continue;
        ImapFolder folder;
        const std::optional<std::string> personal = s.Personal(mb->mb_name);
        if (!personal) continue;
        const std::string& wire = *personal;
        size_t from = 0;
        bool readable = true;
        while (true) {
            const size_t at =
                mb->mb_delimiter != '\0' ? wire.find(mb->mb_delimiter, from) : std::string::npos;
            const std::string part = wire.substr(from, at == std::string::npos ? at : at - from);
            const auto decoded = folder.path.empty() && platform::EqualsNoCase(part, "INBOX")
                                     ? std::optional<std::string>("INBOX")
                                     : DecodeMailFolderName(part);
            if (!decoded) {
                readable = false;
                break;
            }
            folder.path.push_back(*decoded);
            if (at == std::string::npos) break;
            from = at + 1;
        }
        if (!readable) {
            throw platform::Error(
                platform::err::kUnrecognizedData,
                platform::Describe("LIST", s.describe,
                                   "the server sent a folder name that is not modified UTF-7: \"" +
                                       platform::VisibleText(wire) + "\"",
                                   0));
        }
        if (mb->mb_flag != nullptr) {
            if (mb->mb_flag->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG &&
                mb->mb_flag->mbf_sflag == MAILIMAP_MBX_LIST_SFLAG_NOSELECT) {
                folder.selectable = false;
            }
            for (clistiter* o = clist_begin(mb->mb_flag->mbf_oflags); o != nullptr;
                 o = clist_next(o)) {
                const auto* flag = static_cast<const mailimap_mbx_list_oflag*>(clist_content(o));
                if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT &&
                    flag->of_flag_ext != nullptr &&
                    (platform::EqualsNoCase(flag->of_flag_ext, "NonExistent") ||
                     platform::EqualsNoCase(flag->of_flag_ext, "Noselect"))) {
                    folder.selectable = false;
                }
            }
        }
        folders.push_back(std::move(folder));
    }
    return folders;
}

uint32_t ImapSession::Select(const std::vector<std::string>& folder, bool forWriting) {
    Impl& s = *impl_;
    s.CheckUsable("SELECT");
    const std::string wire = s.Wire(folder);
    const SigpipeHold hold;
    const auto started = Clock::now();
    s.selectedName = Impl::Shown(folder);
    const int r =
        forWriting ? mailimap_select(s.imap, wire.c_str()) : mailimap_examine(s.imap, wire.c_str());
    if (r != MAILIMAP_NO_ERROR) {
        s.selectedName.clear();
        s.Fail(forWriting ? "SELECT" : "EXAMINE", Impl::Shown(folder), r, started,
               platform::err::kTableNotFound);
    }
    s.selectedForWriting = forWriting;
    return s.imap->imap_selection_info != nullptr ? s.imap->imap_selection_info->sel_uidvalidity
                                                  : 0;
}

ImapSession::Listing ImapSession::ListMessages(const std::vector<std::string>& folder) {
    Impl& s = *impl_;
    s.CheckUsable("EXAMINE");
    std::string quoted = "\"";
    for (const char c : s.Wire(folder)) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    const SigpipeHold hold;
    const auto started = Clock::now();
    // Both go at once: a folder the server cannot open leaves none
    // selected, and the fetch fails with it.
    s.selectedName = Impl::Shown(folder);
    s.selectedForWriting = false;
    const int examineTag = s.Send("EXAMINE " + quoted, "EXAMINE", started);
    const int fetchTag =
        s.Send("UID FETCH 1:* (UID INTERNALDATE RFC822.SIZE FLAGS)", "UID FETCH", started);
    if (mailstream_flush(s.imap->imap_stream) == -1) {
        s.Fail("EXAMINE", s.selectedName, MAILIMAP_ERROR_STREAM, started);
    }
    // The answer's UIDVALIDITY and counts go into a fresh selection record,
    // as libetpan's own EXAMINE does.
    if (s.imap->imap_selection_info != nullptr) {
        mailimap_selection_info_free(s.imap->imap_selection_info);
    }
    s.imap->imap_selection_info = mailimap_selection_info_new();
    const Impl::Answer examined = s.ReadAnswer(examineTag, MAILIMAP_ERROR_EXAMINE);
    if (Impl::Lost(examined.code)) s.Fail("EXAMINE", s.selectedName, examined.code, started);
    Listing listing;
    if (examined.code == MAILIMAP_NO_ERROR && s.imap->imap_selection_info != nullptr) {
        listing.validity = s.imap->imap_selection_info->sel_uidvalidity;
    }
    s.imap->imap_state =
        examined.code == MAILIMAP_NO_ERROR ? MAILIMAP_STATE_SELECTED : MAILIMAP_STATE_AUTHENTICATED;
    const Impl::Answer fetched = s.ReadAnswer(fetchTag, MAILIMAP_ERROR_UID_FETCH);
    if (Impl::Lost(fetched.code)) s.Fail("UID FETCH", s.selectedName, fetched.code, started);
    if (examined.code != MAILIMAP_NO_ERROR) {
        s.selectedName.clear();
        throw platform::Error(
            platform::err::kTableNotFound,
            platform::Describe("EXAMINE", s.describe + Impl::Shown(folder),
                               "the server answered " + examined.text, examined.code));
    }
    if (fetched.code != MAILIMAP_NO_ERROR) {
        throw platform::Error(
            platform::err::kFail,
            platform::Describe("UID FETCH", s.describe + s.selectedName,
                               "the server answered " + fetched.text, fetched.code));
    }
    if (s.imap->imap_response_info != nullptr) {
        listing.messages = ToMessages(s.imap->imap_response_info->rsp_fetch_list);
    }
    return listing;
}

std::vector<ImapMessage> ImapSession::FetchMessages() {
    Impl& s = *impl_;
    s.CheckUsable("UID FETCH");
    if (s.imap->imap_selection_info == nullptr || s.imap->imap_selection_info->sel_exists == 0) {
        return {};
    }
    return s.Fetch(SetPtr(mailimap_set_new_interval(1, 0)));
}

uint32_t ImapSession::UidNext() const {
    const Impl& s = *impl_;
    const uint32_t next =
        s.imap->imap_selection_info != nullptr ? s.imap->imap_selection_info->sel_uidnext : 0;
    return next == 0 ? 1 : next;
}

std::vector<ImapMessage> ImapSession::FetchMessagesFrom(uint32_t first) {
    Impl& s = *impl_;
    s.CheckUsable("UID FETCH");
    if (s.imap->imap_selection_info == nullptr || s.imap->imap_selection_info->sel_exists == 0) {
        return {};
    }
    // "first:*" names the highest UID too when it is below first.
    auto messages = s.Fetch(SetPtr(mailimap_set_new_interval(first, 0)));
    std::erase_if(messages, [&](const ImapMessage& m) { return m.uid < first; });
    return messages;
}

std::optional<ImapMessage> ImapSession::FetchMessage(uint32_t uid) {
    Impl& s = *impl_;
    s.CheckUsable("UID FETCH");
    for (ImapMessage& m : s.Fetch(SetPtr(mailimap_set_new_single(uid)))) {
        if (m.uid == uid) return std::move(m);
    }
    return std::nullopt;
}

bool ImapSession::Usable() const {
    return !impl_->broken;
}

std::vector<ImapMessage> ImapSession::Impl::Fetch(const SetPtr& uids) {
    Impl& s = *this;
    const SigpipeHold hold;
    mailimap_fetch_type* type = mailimap_fetch_type_new_fetch_att_list_empty();
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_internaldate());
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_rfc822_size());
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_flags());
    clist* result = nullptr;
    const auto started = Clock::now();
    const int r = mailimap_uid_fetch(s.imap, uids.get(), type, &result);
    mailimap_fetch_type_free(type);
    if (r != MAILIMAP_NO_ERROR) s.Fail("UID FETCH", s.selectedName, r, started);
    std::unique_ptr<clist, decltype(&mailimap_fetch_list_free)> owned(result,
                                                                      &mailimap_fetch_list_free);
    return ToMessages(result);
}

std::string ImapSession::FetchContent(uint32_t uid) {
    std::string bytes;
    FetchBody(uid, std::nullopt, [&](const char* data, size_t n) { bytes.append(data, n); });
    return bytes;
}

void ImapSession::FetchContentInto(uint32_t uid, size_t piece,
                                   const std::function<void(const char*, size_t)>& take) {
    // A piece shorter than asked for is the last; past the end the server
    // answers with an empty one.
    for (uint32_t offset = 0;;) {
        size_t got = 0;
        FetchBody(uid, std::pair{offset, static_cast<uint32_t>(piece)},
                  [&](const char* data, size_t n) {
                      got = n;
                      take(data, n);
                  });
        if (got < piece) return;
        if (offset > UINT32_MAX - piece) {
            throw platform::Error(
                platform::err::kFileTooLarge,
                platform::Describe("UID FETCH BODY.PEEK[]", impl_->describe + impl_->selectedName,
                                   "the message is larger than IMAP's "
                                   "partial fetch can address",
                                   0));
        }
        offset += static_cast<uint32_t>(piece);
    }
}

void ImapSession::FetchBody(uint32_t uid, std::optional<std::pair<uint32_t, uint32_t>> partial,
                            const std::function<void(const char*, size_t)>& take) {
    Impl& s = *impl_;
    s.CheckUsable("UID FETCH");
    const SigpipeHold hold;
    mailimap_fetch_type* type = mailimap_fetch_type_new_fetch_att_list_empty();
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(
        type, partial ? mailimap_fetch_att_new_body_peek_section_partial(
                            mailimap_section_new(nullptr), partial->first, partial->second)
                      : mailimap_fetch_att_new_body_peek_section(mailimap_section_new(nullptr)));
    const SetPtr one(mailimap_set_new_single(uid));
    clist* result = nullptr;
    const auto started = Clock::now();
    const int r = mailimap_uid_fetch(s.imap, one.get(), type, &result);
    mailimap_fetch_type_free(type);
    const std::string object = s.selectedName + " UID " + std::to_string(uid);
    if (r != MAILIMAP_NO_ERROR) s.Fail("UID FETCH BODY.PEEK[]", object, r, started);
    std::unique_ptr<clist, decltype(&mailimap_fetch_list_free)> owned(result,
                                                                      &mailimap_fetch_list_free);
    for (clistiter* it = clist_begin(result); it != nullptr; it = clist_next(it)) {
        const auto* att = static_cast<const mailimap_msg_att*>(clist_content(it));
        uint32_t got = 0;
        const mailimap_msg_att_body_section* body = nullptr;
        for (clistiter* i = clist_begin(att->att_list); i != nullptr; i = clist_next(i)) {
            const auto* item = static_cast<const mailimap_msg_att_item*>(clist_content(i));
            if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC) continue;
            const mailimap_msg_att_static* st = item->att_data.att_static;
            if (st->att_type == MAILIMAP_MSG_ATT_UID) got = st->att_data.att_uid;
            if (st->att_type == MAILIMAP_MSG_ATT_BODY_SECTION) body = st->att_data.att_body_section;
        }
        // A piece past the end may come as NIL: nothing more.
        if (got == uid && body != nullptr && (body->sec_body_part != nullptr || partial)) {
            if (body->sec_body_part != nullptr && body->sec_length > 0)
                take(body->sec_body_part, body->sec_length);
            return;
        }
    }
    throw platform::Error(
        platform::err::kNotFound,
        platform::Describe("UID FETCH BODY.PEEK[]", s.describe + object, "no such message", 0));
}

size_t ImapSession::Delete(const std::vector<uint32_t>& uids) {
    Impl& s = *impl_;
    s.CheckUsable("UID STORE");
    if (uids.empty()) return 0;
    if (!s.selectedForWriting) {
        throw platform::Error(platform::err::kAdoObjectClosed,
                              platform::Describe("UID EXPUNGE", s.describe + s.selectedName,
                                                 "the folder is not selected for writing", 0));
    }
    std::vector<uint32_t> sorted = uids;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    const SigpipeHold hold;
    static const std::string kStore = "UID STORE +FLAGS.SILENT (\\Deleted)";
    size_t gone = 0;
    for (size_t from = 0; from < sorted.size(); from += kUidsPerCommand) {
        const size_t to = std::min(sorted.size(), from + kUidsPerCommand);
        const std::string set = SetText(sorted, from, to);
        // The three commands go at once: the fetch tells which of the UIDs
        // are there still; the expunge names the same UIDs as the store, so
        // whatever the store did, it removes none but the chosen messages.
        const auto started = Clock::now();
        const int fetchTag = s.Send("UID FETCH " + set + " (UID)", "UID FETCH", started);
        const int storeTag =
            s.Send("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)", kStore, started);
        const int expungeTag = s.Send("UID EXPUNGE " + set, "UID EXPUNGE", started);
        if (mailstream_flush(s.imap->imap_stream) == -1) {
            s.Fail(kStore, s.selectedName, MAILIMAP_ERROR_STREAM, started);
        }
        const Impl::Answer fetched = s.ReadAnswer(fetchTag, MAILIMAP_ERROR_UID_FETCH);
        if (Impl::Lost(fetched.code)) s.Fail("UID FETCH", s.selectedName, fetched.code, started);
        // (A fetch the server refused tells nothing: none is counted gone.)
        if (fetched.code == MAILIMAP_NO_ERROR && s.imap->imap_response_info != nullptr) {
            std::set<uint32_t> there;
            for (const ImapMessage& m : ToMessages(s.imap->imap_response_info->rsp_fetch_list))
                there.insert(m.uid);
            for (size_t i = from; i < to; ++i) {
                if (there.count(sorted[i]) == 0) ++gone;
            }
        }
        const Impl::Answer stored = s.ReadAnswer(storeTag, MAILIMAP_ERROR_UID_STORE);
        if (Impl::Lost(stored.code)) s.Fail(kStore, s.selectedName, stored.code, started);
        const Impl::Answer expunged = s.ReadAnswer(expungeTag, MAILIMAP_ERROR_EXPUNGE);
        if (Impl::Lost(expunged.code))
            s.Fail("UID EXPUNGE", s.selectedName, expunged.code, started);
        for (const auto& [operation, answer] :
             {std::pair{kStore, stored}, {"UID EXPUNGE", expunged}}) {
            if (answer.code == MAILIMAP_NO_ERROR) continue;
            throw platform::Error(
                platform::err::kFail,
                platform::Describe(operation, s.describe + s.selectedName,
                                   "the server answered " + answer.text, answer.code));
        }
    }
    return gone;
}

ImapSession::Moved ImapSession::Move(const std::vector<uint32_t>& uids,
                                     const std::vector<std::string>& target) {
    Impl& s = *impl_;
    s.CheckUsable(s.hasMove ? "UID MOVE" : "UID COPY");
    Moved moved;
    if (uids.empty()) return moved;
    const std::string wire = s.Wire(target);
    std::vector<uint32_t> sorted = uids;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (size_t from = 0; from < sorted.size(); from += kUidsPerCommand) {
        const size_t to = std::min(sorted.size(), from + kUidsPerCommand);
        const SetPtr set = NewSet(sorted, from, to);
        uint32_t validity = 0;
        mailimap_set* source = nullptr;
        mailimap_set* dest = nullptr;
        std::optional<std::vector<uint32_t>> src, dst;
        {
            const SigpipeHold hold;
            const auto started = Clock::now();
            const int r = s.hasMove ? mailimap_uidplus_uid_move(s.imap, set.get(), wire.c_str(),
                                                                &validity, &source, &dest)
                                    : mailimap_uidplus_uid_copy(s.imap, set.get(), wire.c_str(),
                                                                &validity, &source, &dest);
#ifdef QUELLIX_IMAP_FAULTS
            if (faults::noCopyUid) {
                for (mailimap_set** set : {&source, &dest}) {
                    if (*set != nullptr) mailimap_set_free(*set);
                    *set = nullptr;
                }
            }
            if (faults::copyUid) {
                for (mailimap_set** set : {&source, &dest}) {
                    if (*set != nullptr) mailimap_set_free(*set);
                    *set =
                        mailimap_set_new_interval(faults::copyUid->first, faults::copyUid->second);
                }
            }
#endif
            src = Expand(source, to - from);
            dst = Expand(dest, to - from);
            // MOVE expunges what it moved: more expunged than COPYUID
            // named moved without a name in the target.
            const clist* expunged = s.imap->imap_response_info != nullptr
                                        ? s.imap->imap_response_info->rsp_expunged
                                        : nullptr;
            const size_t gone = expunged != nullptr ? clist_count(expunged) : 0;
            const size_t named = src ? src->size() : 0;
            if (s.hasMove && r == MAILIMAP_NO_ERROR && gone > named) moved.unnamed += gone - named;
            if (source != nullptr) mailimap_set_free(source);
            if (dest != nullptr) mailimap_set_free(dest);
            if (r != MAILIMAP_NO_ERROR) {
                s.Fail(s.hasMove ? "UID MOVE" : "UID COPY",
                       s.selectedName + " to" + Impl::Shown(target), r, started,
                       platform::err::kTableNotFound);
            }
        }
        if (!src || !dst) {
            // Nothing is removed: what the server did is unknown.
            throw platform::Error(
                platform::err::kFail,
                platform::Describe(s.hasMove ? "UID MOVE" : "UID COPY",
                                   s.describe + s.selectedName + " to" + Impl::Shown(target),
                                   "the server's COPYUID names more messages than the " +
                                       std::to_string(to - from) + " moved",
                                   0));
        }
        std::vector<uint32_t> copied;
        moved.validity = validity;
        for (size_t i = 0; i < src->size() && i < dst->size(); ++i) {
            moved.uids[(*src)[i]] = (*dst)[i];
            copied.push_back((*src)[i]);
        }
        // Without MOVE the copies exist now; only the messages copied are removed.
        if (!s.hasMove) Delete(copied);
    }
    return moved;
}

ImapSession::Appended ImapSession::Append(const std::vector<std::string>& folder,
                                          std::string_view content, int64_t internalDate,
                                          const std::vector<std::string>& flags) {
    Impl& s = *impl_;
    s.CheckUsable("APPEND");
    const std::string wire = s.Wire(folder);
    mailimap_flag_list* list = mailimap_flag_list_new_empty();
    for (const std::string& f : flags) {
        if (mailimap_flag* flag = NewFlag(f)) mailimap_flag_list_add(list, flag);
    }
    const auto when = static_cast<time_t>(internalDate);
    tm t{};
    gmtime_r(&when, &t);
    mailimap_date_time* date = mailimap_date_time_new(t.tm_mday, t.tm_mon + 1, t.tm_year + 1900,
                                                      t.tm_hour, t.tm_min, t.tm_sec, 0);
    uint32_t validity = 0;
    uint32_t uid = 0;
    const SigpipeHold hold;
    const auto started = Clock::now();
    const int r = mailimap_uidplus_append(s.imap, wire.c_str(), list, date, content.data(),
                                          content.size(), &validity, &uid);
    mailimap_flag_list_free(list);
    mailimap_date_time_free(date);
    if (r != MAILIMAP_NO_ERROR) {
        s.Fail("APPEND", Impl::Shown(folder), r, started, platform::err::kTableNotFound);
    }
    if (uid == 0) {
        throw platform::Error(platform::err::kUnrecognizedData,
                              platform::Describe("APPEND", s.describe + Impl::Shown(folder),
                                                 "the server gave no APPENDUID", 0));
    }
    return {validity, uid};
}

}  // namespace localplatform::imap
