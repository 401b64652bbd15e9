// The IMAP session against a private Dovecot: what the store's tests cannot
// reach (the plain login, the copy where MOVE is missing, folder names in
// modified UTF-7) and every refusal and bound: TLS with the server's
// certificate checked, a server gone, silent or unresolvable. What the
// session did is read back through Dovecot, not through the session.
#include "localplatform/store/imap/imap_session.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <thread>

#include "base/error.h"
#include "base/testing/certificate.h"
#include "base/testing/server_process.h"
#include "base/unique_fd.h"
#include "localplatform/store/imap/imap_session_faults.h"
#include "localplatform/store/testing/dovecot_server.h"

namespace localplatform::imap {
namespace {

using testing::DovecotServer;
namespace err = platform::err;

constexpr char kUser[] = "jdoe@example";
const int64_t kPast = 1700000000;  // 2023-11-14

std::string Mail(const std::string& id) {
    return "From: a@example.com\r\nSubject: " + id + "\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

// Waits, bounded, until a listener the test added beside the harness's own
// port answers (or no longer does): the harness waits for its port alone.
// A login process of the stopped server may hold the other a moment longer,
// and the next server listens there only once it is free.
void WaitUntilPortAnswers(int port, bool answers) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (platform::testing::PortAnswers(port) != answers &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(platform::testing::PortAnswers(port), answers) << "port " << port;
}

class ImapSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
        DovecotServer::Options options;
        options.fsLayout = true;  // "/" between levels: dots may be part of a name
        server_ = std::make_unique<DovecotServer>(options);
    }
    void TearDown() override {
        faults::hiddenCapabilities.clear();
        faults::stalledLookups = false;
        faults::copyUid.reset();
        faults::noCopyUid = false;
    }

    ImapServer Server() const {
        ImapServer s;
        s.host = "127.0.0.1";
        s.port = server_->ImapPort();
        s.replyTimeoutMs = 5000;
        return s;
    }
    ImapLogin Proxy() const {
        return {LoginMode::kProxy, kUser, server_->Settings().masterUser,
                server_->Settings().masterPassword};
    }
    std::unique_ptr<DovecotServer> server_;
};

// What was thrown, as number and description.
template <typename F>
std::pair<int32_t, std::string> Failure(F&& f) {
    try {
        f();
    } catch (const platform::Error& e) {
        return {e.Number(), e.Description()};
    }
    return {0, "nothing thrown"};
}

// A plain login acts as the user (master and proxy logins go through the
// store's tests); a refused one names the login and never its password.
TEST_F(ImapSessionTest, LoginModes) {
    ImapSession plain(Server(), {LoginMode::kPlain, kUser, "", "jdoe-secret"});
    (void)plain.Append({"INBOX"}, Mail("plain"), kPast, {});
    EXPECT_EQ(server_->Messages(kUser, "INBOX").at(0).messageId, "<plain>");
    const std::string master = server_->Settings().masterUser;
    const std::string who = "(imap://127.0.0.1:" + std::to_string(server_->ImapPort()) + " " +
                            kUser + " as " + master + ") failed";
    for (const auto& [mode, want] :
         {std::pair{LoginMode::kMaster, "LOGIN" + who + ": the server answered \""},
          std::pair{LoginMode::kProxy, "AUTHENTICATE PLAIN" + who}}) {
        SCOPED_TRACE(want);
        const auto [number, text] = Failure([&] {
            ImapSession s(Server(), {mode, kUser, master, "guessed-pw"});
        });
        EXPECT_EQ(number, err::kPermissionDeniedDb);
        EXPECT_NE(text.find(want), std::string::npos) << text;
        EXPECT_EQ(text.find("guessed-pw"), std::string::npos) << text;
    }
}

TEST_F(ImapSessionTest, FolderNamesRoundTrip) {
    const std::vector<std::vector<std::string>> names = {
        {"Junk E-mail"},   {"dots.in.name"},     {"Entwürfe"},          {"R&D"},
        {"日本語 & more"}, {"\xF0\x9F\x93\xA7"}, {"Archive", "2024 Q1"}};
    ImapSession session(Server(), Proxy());
    ASSERT_EQ(session.Delimiter(), '/');
    for (const auto& path : names) {
        std::string joined;
        for (const auto& p : path) joined += (joined.empty() ? "" : "/") + p;
        server_->CreateFolder(kUser, joined);
        (void)session.Append(path, Mail(path.back()), kPast, {});
        const auto got = server_->Messages(kUser, joined);
        ASSERT_EQ(got.size(), 1U) << joined;
        EXPECT_EQ(got[0].messageId, "<" + path.back() + ">");
    }
    std::vector<std::vector<std::string>> listed;
    for (const auto& f : session.ListFolders()) listed.push_back(f.path);
    for (const auto& path : names) {
        EXPECT_NE(std::find(listed.begin(), listed.end(), path), listed.end()) << path.back();
    }
    const auto [number, text] = Failure([&] { session.Select({"a/b"}, false); });
    EXPECT_EQ(number, err::kInvalidArg) << text;
    const auto missing = Failure([&] { session.Select({"No such folder"}, false); });
    EXPECT_EQ(missing.first, err::kTableNotFound) << missing.second;
    EXPECT_NE(missing.second.find("\"No such folder\""), std::string::npos) << missing.second;
}

// UID MOVE itself goes through the store's tests; a server without MOVE gets
// UID COPY and UID EXPUNGE, which must keep the message as whole. UIDPLUS it
// cannot do without.
TEST_F(ImapSessionTest, WithoutMoveACopyKeepsBytesDateAndFlags) {
    EXPECT_TRUE(ImapSession(Server(), Proxy()).HasMove());
    faults::hiddenCapabilities = {"MOVE"};
    const auto uid =
        static_cast<uint32_t>(server_->Append(kUser, "Junk", Mail("moved"), kPast, "\\Seen $Junk"));
    server_->CreateFolder(kUser, "Kept");
    ImapSession session(Server(), Proxy());
    EXPECT_FALSE(session.HasMove());
    session.Select({"Junk"}, true);
    const auto moved = session.Move({uid}, {"Kept"});
    ASSERT_EQ(moved.uids.size(), 1U);
    EXPECT_NE(moved.validity, 0U);
    EXPECT_TRUE(server_->Messages(kUser, "Junk").empty());
    const auto kept = server_->Messages(kUser, "Kept");
    ASSERT_EQ(kept.size(), 1U);
    EXPECT_EQ(kept[0].uid, moved.uids.at(uid));
    EXPECT_EQ(kept[0].messageId, "<moved>");
    EXPECT_EQ(kept[0].received, kPast);
    EXPECT_EQ(kept[0].flags, "\\Seen $Junk");
    session.Select({"Kept"}, false);
    EXPECT_EQ(session.FetchContent(moved.uids.at(uid)), Mail("moved"));

    faults::hiddenCapabilities = {"UIDPLUS"};
    const auto [number, text] = Failure([&] { ImapSession s(Server(), Proxy()); });
    EXPECT_EQ(number, err::kAdoFeatureNotAvailable);
    EXPECT_NE(text.find("lacks UIDPLUS"), std::string::npos) << text;
}

// A COPYUID naming more messages than were moved is a protocol error,
// never spelt out UID by UID; without MOVE the original is then kept.
TEST_F(ImapSessionTest, ACopyUidLargerThanTheMoveIsRefused) {
    server_->CreateFolder(kUser, "Kept");
    faults::copyUid = {1, 4294967295};
    for (const bool move : {true, false}) {
        SCOPED_TRACE(move ? "MOVE" : "COPY");
        faults::hiddenCapabilities =
            move ? std::vector<std::string>{} : std::vector<std::string>{"MOVE"};
        const auto uid = static_cast<uint32_t>(server_->Append(kUser, "Junk", Mail("a"), kPast));
        ImapSession session(Server(), Proxy());
        session.Select({"Junk"}, true);
        const auto [number, text] = Failure([&] { (void)session.Move({uid}, {"Kept"}); });
        EXPECT_EQ(number, err::kFail);
        EXPECT_NE(text.find("\"Junk\" to \"Kept\") failed: the server's COPYUID names more "
                            "messages than the 1 moved"),
                  std::string::npos)
            << text;
        EXPECT_EQ(server_->Messages(kUser, "Junk").size(), move ? 0U : 1U);
    }
}

// A MOVE answered without COPYUID: a message it expunged moved, unnamed; a
// UID gone already moved nothing. The two must not read alike, or a move
// made would be forgotten as a message gone.
TEST_F(ImapSessionTest, AMoveWithoutCopyUidIsToldFromAUidGone) {
    server_->CreateFolder(kUser, "Kept");
    faults::noCopyUid = true;
    const auto uid = static_cast<uint32_t>(server_->Append(kUser, "Junk", Mail("a"), kPast));
    ImapSession session(Server(), Proxy());
    session.Select({"Junk"}, true);
    const auto moved = session.Move({uid}, {"Kept"});
    EXPECT_TRUE(moved.uids.empty());
    EXPECT_EQ(moved.unnamed, 1U);
    EXPECT_EQ(server_->Messages(kUser, "Kept").size(), 1U);
    const auto again = session.Move({uid}, {"Kept"});
    EXPECT_TRUE(again.uids.empty());
    EXPECT_EQ(again.unnamed, 0U);
}

TEST_F(ImapSessionTest, ServerGoneIsAClearError) {
    server_->Append(kUser, "Junk", Mail("a"), kPast);
    const std::string where = "imap://127.0.0.1:" + std::to_string(server_->ImapPort());
    {
        ImapSession session(Server(), Proxy());
        session.Select({"Junk"}, true);
        // The server ends the user's sessions (as an administrator would),
        // then goes away.
        ASSERT_EQ(std::system(("doveadm -c " + server_->Folder() + "/dovecot.conf kick " + kUser +
                               " >/dev/null")
                                  .c_str()),
                  0);
        server_->Stop();
        const auto [number, text] = Failure([&] { (void)session.FetchMessages(); });
        EXPECT_EQ(number, err::kFail);
        EXPECT_NE(text.find("UID FETCH(" + where + " " + kUser +
                            " \"Junk\") failed: the connection was lost"),
                  std::string::npos)
            << text;
        const auto again = Failure([&] { session.Delete({1}); });
        EXPECT_NE(again.second.find("lost earlier"), std::string::npos) << again.second;
    }
    const auto [number, text] = Failure([&] { ImapSession s(Server(), Proxy()); });
    EXPECT_NE(text.find("connect(" + where + ") failed: Connection refused"), std::string::npos)
        << text;
    server_->Start();
    EXPECT_EQ(server_->Messages(kUser, "Junk").size(), 1U);
}

// A TCP socket bound to a free port of 127.0.0.1, and that port (0 when none).
std::pair<platform::UniqueFd, int> BoundSocket() {
    platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return {std::move(fd), 0};
    return {std::move(fd), ntohs(addr.sin_port)};
}

TEST_F(ImapSessionTest, SilentServersHitTheBounds) {
    // A socket that takes one connection into its backlog and never
    // accepts it: that connection waits for a greeting that never comes,
    // and the next one is never completed.
    const auto [silent, port] = BoundSocket();
    ASSERT_NE(port, 0);
    ASSERT_EQ(listen(silent.Get(), 0), 0);
    ImapServer s = Server();
    s.port = port;
    s.replyTimeoutMs = 1000;
    s.connectTimeoutMs = 300;
    s.settingsKey = "mailstore.example";
    const auto greeting = Failure([&] { ImapSession session(s, Proxy()); });
    EXPECT_NE(greeting.second.find("greeting("), std::string::npos) << greeting.second;
    EXPECT_NE(greeting.second.find(
                  "no reply within 1 s (the reply bound, mailstore.example.reply_timeout_ms)"),
              std::string::npos)
        << greeting.second;
    // The first connection, never accepted, still fills the backlog.
    const auto [number, text] = Failure([&] { ImapSession session(s, Proxy()); });
    EXPECT_EQ(number, err::kFail);
    EXPECT_NE(text.find("connect(" + s.Url() + ") failed: no connection within 300 ms"),
              std::string::npos)
        << text;
}

TEST_F(ImapSessionTest, HostNameLookupIsBounded) {
    ImapServer s = Server();
    s.connectTimeoutMs = 200;
    s.settingsKey = "mailstore.example";
    struct Case {
        const char* name;
        std::string host;
        bool stalled;
        std::string wantError;  // empty: connects
    } cases[] = {
        {"name", "localhost", false, ""},
        {"unknown name", "no-such-host.invalid", false, "host name \"no-such-host.invalid\""},
        {"resolver silent", "localhost", true,
         "host name \"localhost\" not resolved within 200 ms (the connect bound, "
         "mailstore.example.connect_timeout_ms)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        s.host = c.host;
        faults::stalledLookups = c.stalled;
        if (c.wantError.empty()) {
            EXPECT_FALSE(ImapSession(s, Proxy()).ListFolders().empty());
        } else {
            const auto [number, text] = Failure([&] { ImapSession session(s, Proxy()); });
            EXPECT_EQ(number, err::kFail);
            EXPECT_NE(text.find("connect(" + s.Url() + ") failed: " + c.wantError),
                      std::string::npos)
                << text;
        }
    }
}

TEST_F(ImapSessionTest, TlsChecksCertificateAndName) {
    const std::string dir = server_->Folder();
    ImapServer s = Server();
    s.startTls = true;
    s.caFile = dir + "/cert.pem";
    // Dovecot without TLS refuses STARTTLS: no login in the clear then.
    const auto refused = Failure([&] { ImapSession session(s, Proxy()); });
    EXPECT_NE(refused.second.find("STARTTLS("), std::string::npos) << refused.second;

    const int imapsPort = BoundSocket().second;  // nothing listens there now
    // The certificate is checked against the name the location gives, not
    // the address it resolved to.
    struct Case {
        const char* name;
        std::string san;
        std::string host;
        std::string wantError;  // empty: connects
    } cases[] = {
        {"trusted, right address", "IP:127.0.0.1", "127.0.0.1", ""},
        {"trusted, right name", "DNS:localhost", "localhost", ""},
        {"trusted, other name", "DNS:imap.example.org", "127.0.0.1", "verify certificate("},
        {"trusted, name of an address only", "IP:127.0.0.1", "localhost", "verify certificate("},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        s.host = c.host;
        server_->Stop();
        WaitUntilPortAnswers(imapsPort, false);
        ASSERT_EQ(platform::testing::MakeCertificate(c.san, dir + "/cert.pem", dir + "/key.pem"),
                  "");
        std::ofstream(dir + "/dovecot.conf", std::ios::app)
            << "ssl = yes\nssl_cert = <" << dir << "/cert.pem\nssl_key = <" << dir << "/key.pem\n"
            << "service imap-login {\n  inet_listener imaps {\n    port = " << imapsPort
            << "\n  }\n}\n";
        server_->Start();
        WaitUntilPortAnswers(imapsPort, true);
        if (c.wantError.empty()) {
            ImapSession session(s, Proxy());
            EXPECT_FALSE(session.ListFolders().empty());
            ImapServer implicit = s;
            implicit.startTls = false;
            implicit.implicitTls = true;
            implicit.port = imapsPort;
            EXPECT_FALSE(ImapSession(implicit, Proxy()).ListFolders().empty());
            ImapServer untrusted = s;
            untrusted.caFile = "/etc/ssl/certs/ca-certificates.crt";
            const auto [number, text] = Failure([&] { ImapSession other(untrusted, Proxy()); });
            EXPECT_EQ(number, err::kAccessDenied) << text;
        } else {
            const auto [number, text] = Failure([&] { ImapSession session(s, Proxy()); });
            EXPECT_EQ(number, err::kAccessDenied);
            EXPECT_NE(text.find(c.wantError + s.Url() + ") failed"), std::string::npos) << text;
        }
    }
}

// imaps:// is held to what STARTTLS is: a certificate from a trusted
// authority, for the name the location gives, checked before the greeting.
TEST_F(ImapSessionTest, ImplicitTlsChecksCertificateAndName) {
    const std::string dir = server_->Folder();
    ImapServer s = Server();
    s.implicitTls = true;
    s.port = BoundSocket().second;  // nothing listens there now
    struct Case {
        const char* name;
        std::string san;
        std::string host;
        std::string caFile;     // empty: the server's own certificate
        std::string wantError;  // empty: connects
    } cases[] = {
        {"trusted, right name", "DNS:localhost", "localhost", "", ""},
        {"trusted, other name", "DNS:imap.example.org", "127.0.0.1", "", "verify certificate("},
        {"trusted, name of an address only", "IP:127.0.0.1", "localhost", "",
         "verify certificate("},
        {"untrusted authority", "IP:127.0.0.1", "127.0.0.1", "/etc/ssl/certs/ca-certificates.crt",
         "verify certificate("},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        s.host = c.host;
        s.caFile = c.caFile.empty() ? dir + "/cert.pem" : c.caFile;
        server_->Stop();
        WaitUntilPortAnswers(s.port, false);
        ASSERT_EQ(platform::testing::MakeCertificate(c.san, dir + "/cert.pem", dir + "/key.pem"),
                  "");
        std::ofstream(dir + "/dovecot.conf", std::ios::app)
            << "ssl = yes\nssl_cert = <" << dir << "/cert.pem\nssl_key = <" << dir << "/key.pem\n"
            << "service imap-login {\n  inet_listener imaps {\n    port = " << s.port
            << "\n  }\n}\n";
        server_->Start();
        WaitUntilPortAnswers(s.port, true);
        if (c.wantError.empty()) {
            EXPECT_FALSE(ImapSession(s, Proxy()).ListFolders().empty());
        } else {
            const auto [number, text] = Failure([&] { ImapSession session(s, Proxy()); });
            EXPECT_EQ(number, err::kAccessDenied) << text;
            EXPECT_NE(text.find(c.wantError + s.Url() + ") failed"), std::string::npos) << text;
        }
    }
}

}  // namespace
}  // namespace localplatform::imap
