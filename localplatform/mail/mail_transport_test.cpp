#include "localplatform/mail/mail_transport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "base/error.h"
#include "base/testing/certificate.h"
#include "base/testing/file_text.h"
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
};

// One relay that refuses some recipients: the envelope arrives as sent, a
// refused recipient fails the whole message with the relay's reply, and a
// relay without STARTTLS is refused only when TLS is required.
TEST_F(MailTransportTest, RelayReceivesTheEnvelopeAndRefusalsFailTheMessage) {
    SmtpSinkOptions refuse;
    refuse.rejectRecipientsContaining = "nobody";
    SmtpSink sink(dir_, refuse);
    SmtpSettings s;
    s.url = sink.Url();
    s.helo = "exch01.example.com";
    localplatform::SendSmtp(s, "", {"admin@example.com", "second@example.com"}, kMessage);
    localplatform::SendSmtp(s, "sender@example.com", {"admin@example.com"}, kMessage);
    try {
        localplatform::SendSmtp(s, "", {"admin@example.com", "nobody@example.com"}, kMessage);
        ADD_FAILURE() << "a refused recipient was reported as sent";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), platform::err::kCdoSendFailed);
        EXPECT_NE(e.Description().find("550"), std::string::npos) << e.Description();
        EXPECT_NE(e.Description().find("recipient refused by the test sink"), std::string::npos)
            << e.Description();
    }
    s.startTls = SmtpSettings::StartTls::kRequired;
    EXPECT_THROW(localplatform::SendSmtp(s, "", {"a@example.com"}, kMessage), platform::Error);
    s.startTls = SmtpSettings::StartTls::kTry;
    localplatform::SendSmtp(s, "", {"a@example.com"}, kMessage);

    const auto got = sink.Messages();
    ASSERT_EQ(got.size(), 3u) << "nothing is delivered when one recipient is refused";
    EXPECT_EQ(got[0].mailFrom, "<>") << "the null reverse-path";
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"admin@example.com", "second@example.com"}));
    EXPECT_EQ(got[0].data, kMessage) << "lines starting with a dot arrive intact";
    EXPECT_EQ(got[1].mailFrom, "sender@example.com");
    EXPECT_EQ(got[2].rcptTo, std::vector<std::string>{"a@example.com"});
}

TEST_F(MailTransportTest, UnreachableUnusableOrSilentRelayFailsWithinItsBound) {
    struct Case {
        const char* name;
        SmtpSettings settings;
        std::vector<std::string> rcpt;
        int32_t want;
        std::string says;
    };
    SmtpSettings closed;
    closed.url = "smtp://127.0.0.1:" + std::to_string(SmtpSink::FreePort());
    closed.connectTimeoutSeconds = 5;
    SmtpSettings wrongScheme;
    wrongScheme.url = "file:///etc/passwd";
    // A relay that never answers the message, holding the connection open.
    SmtpSinkOptions stall;
    stall.silentAfterData = true;
    SmtpSink silent(dir_, stall);
    SmtpSettings stalled;
    stalled.url = silent.Url();
    stalled.connectTimeoutSeconds = 2;
    stalled.timeoutSeconds = 2;
    const Case cases[] = {
        {"nothing listens", closed, {"a@x"}, platform::err::kCdoSendFailed, closed.url},
        {"not an SMTP URL", wrongScheme, {"a@x"}, platform::err::kInvalidArg, ""},
        {"no recipient", closed, {}, platform::err::kCdoNoRecipients, ""},
        {"recipient that would inject a command",
         closed,
         {"a@x>\r\nRCPT TO:<b@y"},
         platform::err::kInvalidArg,
         ""},
        // Ended by the bound of the whole transaction, not by libcurl's wait
        // for one reply followed by its wait for the reply to QUIT.
        {"silent after the message",
         stalled,
         {"admin@example.com"},
         platform::err::kCdoSendFailed,
         "within mail.timeout (2 s)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        try {
            localplatform::SendSmtp(c.settings, "", c.rcpt, kMessage);
            ADD_FAILURE() << "reported as sent";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), c.want) << e.Description();
            EXPECT_NE(e.Description().find(c.says), std::string::npos) << e.Description();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
            << "the time-out did not bound the wait";
    }
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
    EXPECT_NO_THROW({
        a = localplatform::DropInPickup(pickup, kMessage);
        b = localplatform::DropInPickup(pickup, "second");
    });
    umask(old);
    EXPECT_NE(a, b);
    EXPECT_EQ(platform::testing::FileText(a), kMessage);
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
