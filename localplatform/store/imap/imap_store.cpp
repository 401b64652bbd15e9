#include "localplatform/store/imap/imap_store.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/store/imap/imap_session.h"

namespace localplatform {
namespace {

namespace err = platform::err;
using imap::ImapLogin;
using imap::ImapMessage;
using imap::ImapServer;
using imap::ImapSession;
using imap::LoginMode;

// Maildir's letters for IMAP's flags, in letter order.
constexpr std::pair<char, const char*> kLetters[] = {
    {'D', "\\Draft"},    {'F', "\\Flagged"}, {'P', "$Forwarded"},
    {'R', "\\Answered"}, {'S', "\\Seen"},    {'T', "\\Deleted"},
};

// The flags text of a message's IMAP flags: the system flags as letters,
// the keywords as they are. (\Recent and other server flags go.)
std::string Letters(const std::vector<std::string>& flags) {
    std::string letters;
    std::vector<std::string> keywords;
    for (const auto& f : flags) {
        const auto* letter =
            std::find_if(std::begin(kLetters), std::end(kLetters),
                         [&](const auto& l) { return platform::EqualsNoCase(f, l.second); });
        if (letter != std::end(kLetters)) {
            letters += letter->first;
        } else if (!f.empty() && f[0] != '\\') {
            keywords.push_back(f);
        }
    }
    return JoinFlags(std::move(letters), std::move(keywords));
}

// The IMAP flags of a flags text: the system flags, then the keywords.
std::vector<std::string> FlagsOf(const std::string& text) {
    const FlagParts parts = SplitFlags(text);
    std::vector<std::string> out;
    for (const auto& [letter, flag] : kLetters) {
        if (parts.letters.find(letter) != std::string::npos) out.emplace_back(flag);
    }
    for (const auto& k : parts.keywords) out.push_back(k);
    return out;
}

// A message's key is "<UIDVALIDITY>.<UID>": a UID names one message only
// while its folder's UIDVALIDITY stays, so a key kept (by the move
// manifest, by a run that listed the folder) never names another message
// after the folder was made anew.
struct Key {
    uint32_t validity = 0;
    uint32_t uid = 0;
};

std::string KeyText(uint32_t validity, uint32_t uid) {
    return std::to_string(validity) + "." + std::to_string(uid);
}

std::optional<Key> KeyOf(const std::string& text) {
    const size_t dot = text.find('.');
    if (dot == std::string::npos) return std::nullopt;
    Key key;
    const char* end = text.data() + text.size();
    const auto v = std::from_chars(text.data(), text.data() + dot, key.validity);
    const auto u = std::from_chars(text.data() + dot + 1, end, key.uid);
    if (v.ec != std::errc() || v.ptr != text.data() + dot || u.ec != std::errc() || u.ptr != end ||
        key.uid == 0)
        return std::nullopt;
    return key;
}

MailStoreMessage ToMessage(uint32_t validity, const ImapMessage& m) {
    return {KeyText(validity, m.uid), m.internalDate, m.size, Letters(m.flags)};
}

// The folder's path for the session: the Inbox is INBOX.
std::vector<std::string> PathOf(const MailFolder& folder) {
    return folder.path.empty() ? std::vector<std::string>{"INBOX"} : folder.path;
}

// A session a store keeps open, counted with those of every other store
// of the process.
class KeptSession {
public:
    explicit KeptSession(std::unique_ptr<ImapSession> session) : session_(std::move(session)) {
        ++kept;
    }
    ~KeptSession() { --kept; }
    KeptSession(const KeptSession&) = delete;
    KeptSession& operator=(const KeptSession&) = delete;
    ImapSession* operator->() const { return session_.get(); }
    ImapSession& operator*() const { return *session_; }
    static size_t Count() { return kept.load(); }

private:
    std::unique_ptr<ImapSession> session_;
    static inline std::atomic<size_t> kept{0};
};

class ImapStore final : public MailStore {
public:
    ImapStore(MailStoreSettings settings, ImapServer server, LoginMode mode)
        : settings_(std::move(settings)), server_(std::move(server)), mode_(mode) {}

    [[nodiscard]] std::string Describe() const override { return server_.Url(); }

    std::optional<std::string> FindMailbox(const std::string& alias) override {
        // A login that works and holds an Inbox is a mailbox. IMAP does not
        // tell a user it does not know from a wrong password: a refused
        // login counts as no mailbox, and the error that opening it then
        // raises carries the server's words, as a mailbox not reached, so a
        // wrong password is seen where the run logs the folder. An
        // administrator acting for a user may log in as anyone, known or not
        // (Cyrus lets it): such a login lists no Inbox, and is no mailbox.
        FollowRun();
        const std::string login = LoginOf(alias);
        if (refused_.count(login) != 0) return std::nullopt;
        try {
            (void)Session(alias);
        } catch (const platform::Error& e) {
            if (e.Number() != err::kPermissionDeniedDb) throw;
            refused_.emplace(login, e);
            return std::nullopt;
        }
        const auto& all = Folders(alias);
        const bool hasInbox = std::any_of(all.begin(), all.end(), [](const imap::ImapFolder& f) {
            return f.path.size() == 1 && platform::EqualsNoCase(f.path[0], "INBOX");
        });
        if (!hasInbox) {
            refused_.emplace(
                login,
                platform::Error(err::kNotFound,
                                platform::Describe("find mailbox", platform::VisibleText(login),
                                                   "the server lists no Inbox for this login",
                                                   err::kNotFound)));
            Drop(login);
            return std::nullopt;
        }
        return alias;
    }

    std::vector<std::string> Mailboxes() override { return {}; }

    std::optional<platform::Error> WhyNoMailbox(const std::string& alias) const override {
        const auto it = refused_.find(LoginOf(alias));
        if (it == refused_.end()) return std::nullopt;
        return it->second;
    }

    bool HasFolder(const MailFolder& folder) override {
        if (folder.path.empty()) return true;
        for (const auto& f : Folders(folder.alias)) {
            if (f.path == folder.path) return true;
        }
        return false;
    }

    std::vector<std::string> Subfolders(const MailFolder& folder) override {
        const auto& all = Folders(folder.alias);
        std::set<std::string> names;
        bool found = folder.path.empty();
        for (const auto& f : all) {
            std::vector<std::string> path = f.path;
            if (path == folder.path) found = true;
            // The Inbox's subfolders are the top level but INBOX, and INBOX's own children.
            if (folder.path.empty() && !path.empty() && path[0] == "INBOX") {
                path.erase(path.begin());
                if (path.empty()) continue;
            }
            if (path.size() > folder.path.size() &&
                std::equal(folder.path.begin(), folder.path.end(), path.begin())) {
                names.insert(path[folder.path.size()]);
            }
        }
        if (!found) Fail(err::kNotFound, "list subfolders", folder, "no such folder");
        return {names.begin(), names.end()};
    }

    std::vector<MailStoreMessage> Messages(const MailFolder& folder) override {
        ImapSession::Listing listing;
        try {
            ImapSession& s = Session(folder.alias);
            listing = Guard(folder, [&] { return s.ListMessages(PathOf(folder)); });
        } catch (const platform::Error& e) {
            // A level that only holds folders (\Noselect) holds no messages.
            if (e.Number() != err::kTableNotFound || !IsLevelOnly(folder)) throw;
            return {};
        }
        selectedValidity_ = listing.validity;
        std::vector<MailStoreMessage> out;
        for (const auto& m : listing.messages) out.push_back(ToMessage(selectedValidity_, m));
        // Keys compare as text, the order the interface promises.
        std::sort(out.begin(), out.end(), [](const MailStoreMessage& a, const MailStoreMessage& b) {
            return a.key < b.key;
        });
        return out;
    }

    std::optional<MailStoreMessage> Message(const MailFolder& folder,
                                            const std::string& key) override {
        const auto k = KeyOf(key);
        if (!k) return std::nullopt;
        ImapSession& s = Select(folder, false);
        if (k->validity != selectedValidity_) return std::nullopt;
        const auto m = Guard(folder, [&] { return s.FetchMessage(k->uid); });
        if (!m) return std::nullopt;
        return ToMessage(selectedValidity_, *m);
    }

    std::string Content(const MailFolder& folder, const std::string& key) override {
        const auto k = KeyOf(key);
        if (!k) Fail(err::kNotFound, "read message", folder, "no message " + Quoted(key));
        ImapSession& s = Select(folder, false);
        if (k->validity != selectedValidity_) Gone("read message", folder, key);
        return Guard(folder, [&] { return s.FetchContent(k->uid); });
    }

    void ContentInto(const MailFolder& folder, const std::string& key,
                     MessageSpool& spool) override {
        const auto k = KeyOf(key);
        if (!k) Fail(err::kNotFound, "read message", folder, "no message " + Quoted(key));
        ImapSession& s = Select(folder, false);
        if (k->validity != selectedValidity_) Gone("read message", folder, key);
        (void)Guard(folder, [&] {
            s.FetchContentInto(k->uid, MessageSpool::kPiece,
                               [&](const char* data, size_t n) { spool.Append(data, n); });
            return 0;
        });
    }

    bool Delete(const MailFolder& folder, const std::string& key) override {
        const auto k = KeyOf(key);
        if (!k) return false;
        pending_[{folder.alias, folder.path}].push_back(*k);
        return true;
    }

    void ForgetListings() override { folders_.clear(); }

    size_t Flush() override {
        auto pending = std::move(pending_);
        pending_.clear();
        std::optional<platform::Error> first;
        size_t gone = 0;
        for (const auto& entry : pending) {
            const MailFolder folder{entry.first.first, entry.first.second};
            try {
                ImapSession& s = Select(folder, true);
                std::vector<uint32_t> uids;
                size_t stale = 0;
                for (const Key& k : entry.second) {
                    if (k.validity == selectedValidity_) {
                        uids.push_back(k.uid);
                    } else {
                        ++stale;
                    }
                }
                gone += Guard(folder, [&] { return s.Delete(uids); });
                if (stale > 0) {
                    Fail(err::kResourceLocked, "delete messages", folder,
                         std::to_string(stale) +
                             " of them were listed under another UIDVALIDITY than the folder's "
                             "now (" +
                             std::to_string(selectedValidity_) +
                             "): the folder was made anew, and they are left alone");
                }
            } catch (const platform::Error& e) {
                // The other folders' deletes still go ahead.
                if (!first) first = e;
            }
        }
        if (first) throw *first;
        return gone;
    }

    std::optional<std::string> Move(const MailFolder& from, const std::string& key,
                                    const MailFolder& to) override {
        const auto k = KeyOf(key);
        if (!k) Fail(err::kNotFound, "move message", from, "no message " + Quoted(key));
        // Another login's mailbox is out of this session's reach.
        if (LoginOf(from.alias) != LoginOf(to.alias)) return std::nullopt;
        ImapSession& s = Select(from, true);
        if (k->validity != selectedValidity_) Gone("move message", from, key);
        const auto moved = Guard(from, [&] { return s.Move({k->uid}, PathOf(to)); });
        const auto it = moved.uids.find(k->uid);
        if (it == moved.uids.end()) {
            if (moved.unnamed > 0) {
                // It left the folder, but the server named no COPYUID for
                // it: where it went is settled from the two folders.
                Fail(err::kFail, "move message", from,
                     Quoted(key) + " was moved into " + Shown(to) +
                         ", but the server named no COPYUID for it (it breaks UIDPLUS)");
            }
            // A UIDPLUS server (no other is taken) names in COPYUID what it
            // moved; OK naming nothing is its answer for a UID gone already.
            Fail(
                err::kNotFound, "move message", from,
                "no message " + Quoted(key) + " (the server moved nothing into " + Shown(to) + ")");
        }
        return KeyText(moved.validity, it->second);
    }

    std::string Append(const MailFolder& folder, const std::string& bytes, int64_t received,
                       const std::string& flags) override {
        ImapSession& s = Session(folder.alias);
        const auto added = Guard(
            folder, [&] { return s.Append(PathOf(folder), bytes, received, FlagsOf(flags)); });
        return KeyText(added.validity, added.uid);
    }

    std::string AppendPlannedFrom(const MailFolder& folder, const std::string& /*planned*/,
                                  const MessageSpool& spool, int64_t received,
                                  const std::string& flags) override {
        // APPEND sends the message as one literal: it goes from the spool
        // file's mapped pages, never copied whole into memory.
        const MessageSpool::Mapping mapped = spool.Map();
        ImapSession& s = Session(folder.alias);
        const auto added = Guard(folder, [&] {
            return s.Append(PathOf(folder), mapped.Bytes(), received, FlagsOf(flags));
        });
        return KeyText(added.validity, added.uid);
    }

    std::string PlanAppend(const MailFolder& folder, const std::string& /*wanted*/,
                           const MessageSpool& /*bytes*/) override {
        // The server names the message: the lowest name it can give it.
        ImapSession& s = Select(folder, false);
        return KeyText(selectedValidity_, s.UidNext());
    }

    std::string AppendPlanned(const MailFolder& folder, const std::string& /*planned*/,
                              const std::string& bytes, int64_t received,
                              const std::string& flags) override {
        return Append(folder, bytes, received, flags);
    }

    std::vector<MailStoreMessage> AppendedSince(const MailFolder& folder,
                                                const std::string& planned) override {
        const auto k = KeyOf(planned);
        if (!k) return {};
        ImapSession& s = Select(folder, false);
        // A folder made anew since holds no message of that plan.
        if (k->validity != selectedValidity_) return {};
        std::vector<MailStoreMessage> out;
        for (const auto& m : Guard(folder, [&] { return s.FetchMessagesFrom(k->uid); }))
            out.push_back(ToMessage(selectedValidity_, m));
        return out;
    }

private:
    static std::string Quoted(const std::string& text) {
        return "'" + platform::VisibleText(text) + "'";
    }

    std::string Shown(const MailFolder& folder) const {
        std::string shown = server_.Url() + " " + platform::VisibleText(folder.alias);
        for (const auto& p : folder.path) shown += "/" + platform::VisibleText(p);
        return shown;
    }

    // A key listed under another UIDVALIDITY than the folder's now.
    [[noreturn]] void Gone(const std::string& operation, const MailFolder& folder,
                           const std::string& key) const {
        Fail(err::kNotFound, operation, folder,
             "no message " + Quoted(key) + " (the folder's UIDVALIDITY is now " +
                 std::to_string(selectedValidity_) + ")");
    }

    [[noreturn]] void Fail(int32_t number, const std::string& operation, const MailFolder& folder,
                           const std::string& why) const {
        throw platform::Error(number, platform::Describe(operation, Shown(folder), why, number));
    }

    std::string LoginOf(const std::string& alias) const {
        std::string out;
        const std::string& t = settings_.login;
        for (size_t i = 0; i < t.size(); ++i) {
            if (t[i] != '%' || i + 1 >= t.size()) {
                out += t[i];
                continue;
            }
            const char c = t[++i];
            out += c == 'n' ? alias : c == 'd' ? settings_.ns : std::string(1, c);
        }
        return out;
    }

    // The session of alias's login, opened (again, after a lost connection)
    // when needed. A run goes through mailboxes one after another: the
    // sessions used least lately are logged out beyond kMaxSessions, so a
    // namespace of thousands of mailboxes holds a handful of connections.
    ImapSession& Session(const std::string& alias) {
        FollowRun();
        const std::string login = LoginOf(alias);
        auto it = sessions_.find(login);
        if (it != sessions_.end() && it->second->Usable()) {
            lastUse_[login] = ++uses_;
            return *it->second;
        }
        if (it != sessions_.end()) Drop(login);
        // The bound counts the sessions of every thread (a run's workers
        // each have their own handle, and so their own store), this
        // store's among them: each keeps at least the one it works in.
        while (!sessions_.empty() && KeptSession::Count() >= kMaxSessions) {
            const auto oldest = std::min_element(sessions_.begin(), sessions_.end(),
                                                 [&](const auto& a, const auto& b) {
                                                     return lastUse_[a.first] < lastUse_[b.first];
                                                 });
            Drop(std::string(oldest->first));
        }
        if (silent_ && std::chrono::steady_clock::now() < silentUntil_) {
            // Found silent a moment ago: the next mailbox is not kept waiting
            // a bound again.
            throw imap::ServerSilent(
                silent_->Number(),
                platform::Describe(
                    "connect", server_.Url() + " " + platform::VisibleText(login),
                    "not asked again for " + std::to_string(kSilentMinutes) +
                        " minutes after it did not answer in time: " + silent_->Description(),
                    0));
        }
        if (!password_) {
            password_ = ReadPasswordFile(settings_.passwordFile,
                                         PlatformConfig::Current().ServiceAccount());
        }
        ImapLogin who{mode_, login, settings_.admin, *password_};
        std::unique_ptr<ImapSession> session;
        try {
            session = std::make_unique<ImapSession>(server_, who);
        } catch (const imap::ServerSilent& e) {
            FoundSilent(e);
            throw;
        }
        lastUse_[login] = ++uses_;
        return *sessions_.emplace(login, std::move(session)).first->second;
    }

    bool IsLevelOnly(const MailFolder& folder) {
        const auto& all = Folders(folder.alias);
        return std::any_of(all.begin(), all.end(), [&](const imap::ImapFolder& f) {
            return f.path == folder.path && !f.selectable;
        });
    }

    // The session of login and what it listed go. login must not be a key
    // of these maps: it would go with the first entry erased.
    void Drop(const std::string& login) {
        sessions_.erase(login);
        lastUse_.erase(login);
        folders_.erase(login);
    }

    // The folders of alias's login, listed once while its session lasts
    // (a run asks for them at every level it walks) and again after
    // ForgetListings.
    const std::vector<imap::ImapFolder>& Folders(const std::string& alias) {
        ImapSession& s = Session(alias);
        const std::string login = LoginOf(alias);
        auto it = folders_.find(login);
        if (it == folders_.end()) {
            auto listed = Guard(MailFolder{alias, {}}, [&] { return s.ListFolders(); });
            it = folders_.emplace(login, std::move(listed)).first;
        }
        return it->second;
    }

    // Selects folder; its UIDVALIDITY is in selectedValidity_ then.
    ImapSession& Select(const MailFolder& folder, bool forWriting) {
        ImapSession& s = Session(folder.alias);
        selectedValidity_ = Guard(folder, [&] { return s.Select(PathOf(folder), forWriting); });
        return s;
    }

    // Runs f; a session that lost its connection is dropped, so that the
    // next call (the next mailbox) connects afresh.
    template <typename F>
    auto Guard(const MailFolder& folder, F&& f) -> decltype(f()) {
        try {
            return f();
        } catch (const platform::Error& e) {
            if (const auto* silent = dynamic_cast<const imap::ServerSilent*>(&e))
                FoundSilent(*silent);
            const std::string login = LoginOf(folder.alias);
            const auto it = sessions_.find(login);
            if (it != sessions_.end() && !it->second->Usable()) Drop(login);
            throw;
        }
    }

    // What was learned of the server holds for one run: the next asks
    // afresh (the server may be back, the password mended).
    void FollowRun() {
        if (run_ == MailStoreRunsStarted()) return;
        run_ = MailStoreRunsStarted();
        silent_.reset();
        refused_.clear();
        password_.reset();
    }

    // The server did not answer within a bound: for the next minutes, its
    // other mailboxes fail at once rather than wait again.
    void FoundSilent(const platform::Error& e) {
        if (silent_ && std::chrono::steady_clock::now() < silentUntil_) return;
        silent_ = e;
        silentUntil_ = std::chrono::steady_clock::now() + std::chrono::minutes(kSilentMinutes);
    }

    MailStoreSettings settings_;
    ImapServer server_;
    LoginMode mode_;
    static constexpr int kSilentMinutes = 5;
    std::optional<platform::Error> silent_;  // what the server last left unanswered
    std::chrono::steady_clock::time_point silentUntil_;
    std::optional<std::string> password_;
    uint64_t run_ = MailStoreRunsStarted();  // the run the three above were learned in
    static constexpr size_t kMaxSessions = 4;
    std::map<std::string, KeptSession> sessions_;  // by login
    std::map<std::string, uint64_t> lastUse_;      // by login
    uint64_t uses_ = 0;
    std::map<std::string, std::vector<imap::ImapFolder>>
        folders_;                                     // by login, while its session lasts
    std::map<std::string, platform::Error> refused_;  // logins refused, with the server's answer
    uint32_t selectedValidity_ = 0;                   // of the folder selected last
    std::map<std::pair<std::string, std::vector<std::string>>, std::vector<Key>> pending_;
};

}  // namespace

std::unique_ptr<MailStore> OpenImapStore(const MailStoreSettings& settings) {
    auto refuse = [&](const std::string& why, const std::string& value) {
        throw platform::Error(
            err::kInvalidArg,
            platform::Describe(
                "read configuration", settings.source + ": mailstore." + settings.ns,
                why + ": '" + platform::VisibleText(platform::WithoutUserInfo(value)) + "'",
                err::kInvalidArg));
    };
    const MailStoreLocation location = ParseMailStoreLocation(settings);
    if (!location.imap) refuse("not an imap:// or imaps:// location", settings.location);
    ImapServer server;
    server.host = location.host;
    server.port = location.port;
    server.implicitTls = location.implicitTls;
    server.startTls = settings.starttls && !server.implicitTls;
    server.caFile = settings.caFile;
    server.connectTimeoutMs =
        static_cast<int>(std::clamp<int64_t>(settings.connectTimeoutMs, 1, 3600000));
    server.replyTimeoutMs =
        static_cast<int>(std::clamp<int64_t>(settings.replyTimeoutMs, 1, 3600000));
    server.settingsKey = "mailstore." + settings.ns;

    LoginMode mode = LoginMode::kPlain;
    const std::string auth = platform::Lower(settings.auth);
    if (auth == "master") {
        mode = LoginMode::kMaster;
    } else if (auth == "proxy") {
        mode = LoginMode::kProxy;
    } else if (auth != "plain") {
        refuse("auth is plain, master or proxy", settings.auth);
    }
    if (mode != LoginMode::kPlain && settings.admin.empty()) {
        refuse("auth " + auth + " needs mailstore." + settings.ns + ".admin", settings.auth);
    }
    if (settings.passwordFile.empty()) {
        refuse("an IMAP store needs mailstore." + settings.ns + ".password_file",
               settings.location);
    }
    return std::make_unique<ImapStore>(settings, server, mode);
}

}  // namespace localplatform
