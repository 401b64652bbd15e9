#include "localplatform/mail/mail_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "base/testing/certificate.h"
#include "base/testing/temp_platform.h"
#include "localplatform/mail/testing/smtp_harness.h"

namespace fs = std::filesystem;
using localplatform::SmtpSettings;
using localplatform::mailtest::SmtpSink;
using localplatform::mailtest::SmtpSinkOptions;

namespace {

const std::string kMessage =
    "From: Quellix <>\r\nTo: admin@example.com\r\nSubject: test\r\n\r\n"
    "first line\r\n.a line that starts with a dot\r\n.\r\nlast line\r\n";

class MailTransportTest : public testing::Test {
protected:
    platform::testing::TempPlatform temp_{"mailtransport-"};
    const std::string dir_ = temp_.Dir();
    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

TEST_F(MailTransportTest, RelayReceivesTheNullSenderAndTheRecipients) {
    SmtpSink sink(dir_);
    SmtpSettings s;
    s.url = sink.Url();
    s.helo = "exch01.example.com";
    localplatform::SendSmtp(s, "", {"admin@example.com", "second@example.com"}, kMessage);
    localplatform::SendSmtp(s, "sender@example.com", {"admin@example.com"}, kMessage);

    const auto got = sink.Messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].mailFrom, "<>") << "the null reverse-path";
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"admin@example.com", "second@example.com"}));
    EXPECT_EQ(got[0].data, kMessage) << "lines starting with a dot arrive intact";
    EXPECT_EQ(got[1].mailFrom, "sender@example.com");
}

TEST_F(MailTransportTest, RefusedRecipientFailsWithTheRelaysReply) {
    SmtpSinkOptions options;
    options.rejectRecipientsContaining = "nobody";
    SmtpSink sink(dir_, options);
    SmtpSettings s;
    s.url = sink.Url();
    try {
        localplatform::SendSmtp(s, "", {"admin@example.com", "nobody@example.com"}, kMessage);
        FAIL() << "a refused recipient was reported as sent";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), platform::err::kCdoSendFailed);
        EXPECT_NE(e.Description().find("550"), std::string::npos) << e.Description();
        EXPECT_NE(e.Description().find("recipient refused by the test sink"), std::string::npos)
            << e.Description();
    }
    EXPECT_TRUE(sink.Messages().empty()) << "nothing is delivered when one recipient is refused";
}

TEST_F(MailTransportTest, UnreachableOrUnusableRelayFails) {
    struct Case {
        const char* name;
        SmtpSettings settings;
        std::vector<std::string> rcpt;
        int32_t want;
    };
    SmtpSettings closed;
    closed.url = "smtp://127.0.0.1:" + std::to_string(SmtpSink::FreePort());
    closed.connectTimeoutSeconds = 5;
    SmtpSettings wrongScheme;
    wrongScheme.url = "file:///etc/passwd";
    const Case cases[] = {
        {"nothing listens", closed, {"a@x"}, platform::err::kCdoSendFailed},
        {"not an SMTP URL", wrongScheme, {"a@x"}, platform::err::kInvalidArg},
        {"no recipient", closed, {}, platform::err::kCdoNoRecipients},
        {"recipient that would inject a command",
         closed,
         {"a@x>\r\nRCPT TO:<b@y"},
         platform::err::kInvalidArg},
    };
    for (const Case& c : cases) {
        try {
            localplatform::SendSmtp(c.settings, "", c.rcpt, kMessage);
            ADD_FAILURE() << c.name << ": reported as sent";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), c.want) << c.name << ": " << e.Description();
        }
    }
}

// A relay that answers every command until the message's end and then says
// nothing more, holding the connection open: the reply to the message never
// comes. Listens on a free loopback port; runs one session on its thread.
class SilentAfterDataRelay {
public:
    SilentAfterDataRelay() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            listen(listener_, 1) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~SilentAfterDataRelay() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    [[nodiscard]] int Port() const { return port_; }

private:
    void Serve() {
        const int s = accept(listener_, nullptr, nullptr);
        if (s < 0) return;
        auto say = [&](const std::string& line) { (void)!write(s, line.data(), line.size()); };
        say("220 silent.test ESMTP\r\n");
        std::string in;
        bool data = false;
        char buf[4096];
        while (!stop_) {
            const ssize_t n = read(s, buf, sizeof buf);
            if (n <= 0) break;
            in.append(buf, static_cast<size_t>(n));
            for (size_t eol; (eol = in.find("\r\n")) != std::string::npos;) {
                const std::string line = in.substr(0, eol);
                in.erase(0, eol + 2);
                if (data) continue;  // the message, and after its end: silence
                if (line.rfind("EHLO", 0) == 0)
                    say("250 silent.test\r\n");
                else if (line == "DATA") {
                    say("354 go ahead\r\n");
                    data = true;
                } else
                    say("250 ok\r\n");
            }
        }
        close(s);
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(MailTransportTest, ARelaySilentAfterTheMessageFailsWithinTheTimeout) {
    SilentAfterDataRelay relay;
    ASSERT_NE(relay.Port(), 0);
    SmtpSettings s;
    s.url = "smtp://127.0.0.1:" + std::to_string(relay.Port());
    s.connectTimeoutSeconds = 2;
    s.timeoutSeconds = 2;
    const auto start = std::chrono::steady_clock::now();
    try {
        localplatform::SendSmtp(s, "", {"admin@example.com"}, kMessage);
        ADD_FAILURE() << "reported as sent";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), platform::err::kCdoSendFailed) << e.Description();
        // Ended by the bound of the whole transaction, not by libcurl's wait
        // for one reply followed by its wait for the reply to QUIT.
        EXPECT_NE(e.Description().find("within mail.timeout (2 s)"), std::string::npos)
            << e.Description();
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(10)) << "the time-out did not bound the wait";
}

TEST_F(MailTransportTest, StartTlsRequiredRefusesAPlainRelay) {
    SmtpSink sink(dir_);
    SmtpSettings s;
    s.url = sink.Url();
    s.startTls = SmtpSettings::StartTls::kRequired;
    EXPECT_THROW(localplatform::SendSmtp(s, "", {"a@example.com"}, kMessage), platform::Error);
    EXPECT_TRUE(sink.Messages().empty());
    s.startTls = SmtpSettings::StartTls::kTry;  // plain text is acceptable when only tried
    localplatform::SendSmtp(s, "", {"a@example.com"}, kMessage);
    EXPECT_EQ(sink.Messages().size(), 1u);
}

// STARTTLS and smtps:// both check the relay's certificate: refused until
// it is trusted, then the message arrives whole.
TEST_F(MailTransportTest, TlsTrustsOnlyACertificateItWasGiven) {
    const std::string cert = dir_ + "/cert.pem", key = dir_ + "/key.pem";
    ASSERT_EQ(platform::testing::MakeCertificate("IP:127.0.0.1", cert, key), "");
    for (const bool implicitTls : {false, true}) {
        SCOPED_TRACE(implicitTls ? "smtps" : "STARTTLS");
        const std::string work = dir_ + (implicitTls ? "/smtps" : "/starttls");
        fs::create_directories(work);
        SmtpSink sink(work, {.rejectRecipientsContaining = "",
                             .tlsCert = cert,
                             .tlsKey = key,
                             .implicitTls = implicitTls});
        ASSERT_EQ(sink.Url().rfind(implicitTls ? "smtps://" : "smtp://", 0), 0u);
        SmtpSettings s;
        s.url = sink.Url();
        s.startTls = SmtpSettings::StartTls::kRequired;
        EXPECT_THROW(localplatform::SendSmtp(s, "", {"a@example.com"}, kMessage), platform::Error);
        s.caFile = cert;
        localplatform::SendSmtp(s, "", {"a@example.com"}, kMessage);
        ASSERT_EQ(sink.Messages().size(), 1u);
        EXPECT_EQ(sink.Messages()[0].mailFrom, "<>");
        EXPECT_EQ(sink.Messages()[0].data, kMessage);
    }
}

// A pickup drop is a whole file of its own, private to the owner whatever
// the umask, in folders made private; a file where the folder should be
// fails naming it.
TEST_F(MailTransportTest, PickupDropsWholePrivateFiles) {
    const std::string pickup = dir_ + "/open/pickup";
    const mode_t old = umask(0);
    std::string a, b;
    try {
        a = localplatform::DropInPickup(pickup, kMessage);
        b = localplatform::DropInPickup(pickup, "second");
    } catch (...) {
        umask(old);
        throw;
    }
    umask(old);
    EXPECT_NE(a, b);
    EXPECT_EQ(Read(a), kMessage);
    struct stat st {};
    for (const std::string& folder : {pickup, dir_ + "/open"}) {
        ASSERT_EQ(stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
    }
    ASSERT_EQ(stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    int files = 0;
    for (const auto& e : fs::directory_iterator(pickup)) {
        ++files;
        EXPECT_EQ(e.path().extension(), ".eml") << "no temporary file is left behind";
    }
    EXPECT_EQ(files, 2);

    std::ofstream(dir_ + "/notadir") << "x";
    try {
        (void)localplatform::DropInPickup(dir_ + "/notadir", kMessage);
        FAIL() << "dropped into a file";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), platform::err::kCdoSendFailed);
        EXPECT_NE(e.Description().find("notadir"), std::string::npos) << e.Description();
    }
}

}  // namespace
