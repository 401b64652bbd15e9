#include "localplatform/mail/mail_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using localplatform::MailMessage;

namespace {

// The report's headers and attachment as a relay receives them are the
// platform's message test; here, the shape of the text and the envelope,
// and a date of now that reads back.
TEST(MailMessage, BuildsTheReportShape) {
    MailMessage m;
    m.SetHeader("From", "Quellix <>");
    m.SetHeader("To", "postmaster@example.com");
    m.SetHeader("Subject", "Quellix Report 2026-12-06 19:00:00");
    m.SetHeader("Date", localplatform::Rfc5322DateNow());
    m.SetTextBody("");
    m.AddAttachment("Quellix.LOG", "Started at: 2026-12-06 19:00:00\r\n\r\nCompleted at: x\r\n");
    const std::string text = m.Serialize();
    EXPECT_NE(text.find("multipart/mixed"), std::string::npos) << text;
    EXPECT_EQ(text.find("\n\n"), std::string::npos) << "every line ends in CRLF";
    const MailMessage back = MailMessage::Parse(text);
    EXPECT_EQ(back.Attachments().at(0).contentType, "application/octet-stream");
    EXPECT_EQ(back.EnvelopeSender(), "") << "\"Quellix <>\" is the null sender";
    EXPECT_EQ(back.EnvelopeRecipients(), std::vector<std::string>{"postmaster@example.com"});
    EXPECT_TRUE(back.ReceivedTime().has_value());
    EXPECT_NE(localplatform::NewMessageId("exch01.example.com"),
              localplatform::NewMessageId("exch01.example.com"));
}

TEST(MailMessage, HeadersUnfoldDecodeAndCannotBeInjected) {
    MailMessage m = MailMessage::Parse(
        "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?= from\r\n\tfar away\r\nTo: a@x, \"B\" <b@x>\r\n"
        "Cc: team: c@x, A@X;\r\nBcc: <d@x>\r\n\r\n");
    EXPECT_EQ(m.Header("SUBJECT"), "Grüße from\tfar away");
    EXPECT_EQ(m.EnvelopeRecipients(), (std::vector<std::string>{"a@x", "b@x", "c@x", "d@x"}));

    m.SetHeader("Subject", "line one\r\nBcc: victim@evil\r\n");
    EXPECT_EQ(m.Header("Bcc"), "<d@x>");
    EXPECT_EQ(m.RawHeaders("Bcc").size(), 1u);
    EXPECT_EQ(m.RawHeaders("Subject").size(), 1u);
    const MailMessage back = MailMessage::Parse(m.Serialize());
    EXPECT_EQ(back.RawHeaders("Bcc").size(), 1u);
    EXPECT_EQ(back.EnvelopeRecipients().size(), 4u);

    m.SetHeader("Subject", "Prüfbericht");
    EXPECT_EQ(MailMessage::Parse(m.Serialize()).Header("Subject"), "Prüfbericht");
    EXPECT_EQ(m.Serialize().find("Prüf"), std::string::npos) << "headers travel as ASCII";
}

TEST(MailMessage, TextBodyAndAttachmentsOfParsedMessages) {
    const std::string text =
        "From: a@x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "preamble\r\n--b1\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\nCaf=E9\r\n"
        "--b1\r\nContent-Type: application/pdf; name=\"x.pdf\"\r\nContent-Transfer-Encoding: "
        "base64\r\n\r\n"
        "JVBERi0=\r\n--b1--\r\n";
    MailMessage m = MailMessage::Parse(text);
    EXPECT_EQ(m.TextBody(), "Café") << "the line break before a boundary belongs to it";
    const auto atts = m.Attachments();
    ASSERT_EQ(atts.size(), 1u);
    EXPECT_EQ(atts[0].fileName, "x.pdf");
    EXPECT_EQ(atts[0].bytes, "%PDF-");
    EXPECT_EQ(m.Header("Content-Type").substr(0, 15), "multipart/mixed");

    m.SetTextBody("replaced");
    const MailMessage back = MailMessage::Parse(m.Serialize());
    EXPECT_EQ(back.TextBody(), "replaced");
    EXPECT_EQ(back.Attachments().size(), 1u);
}

TEST(MailMessage, ReceivedTimeComesFromTheTopmostReceivedThenDate) {
    struct Case {
        const char* name;
        const char* text;
        std::optional<int64_t> want;
    };
    const Case cases[] = {
        {"topmost Received wins",
         "Received: from b by c; Tue, 02 Mar 2004 10:00:00 +0100\r\n"
         "Received: from a by b; Mon, 01 Mar 2004 09:00:00 +0000\r\nDate: Sun, 29 Feb 2004 "
         "08:00:00 +0000\r\n\r\n",
         1078218000},
        {"last semicolon of a folded Received",
         "Received: from a (x; y)\r\n\tby b; Tue, 02 Mar 2004\r\n 10:00:00 +0100\r\n\r\n",
         1078218000},
        {"Date when Received has no date",
         "Received: from a by b\r\nDate: Tue, 02 Mar 2004 09:00:00 +0000\r\n\r\n", 1078218000},
        {"Date alone", "Date: Tue, 02 Mar 2004 04:00:00 -0500\r\n\r\n", 1078218000},
        {"nothing readable", "Date: someday\r\n\r\n", std::nullopt},
        {"no fields", "hello\r\n", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MailMessage::Parse(c.text).ReceivedTime(), c.want) << c.name;
}

// Any text, well formed or garbage, parses without harm and serializes
// unchanged.
TEST(MailMessage, ParsedTextSerializesUnchanged) {
    const std::string inputs[] = {
        "Received: from a by b; Tue, 2 Mar 2004 10:00:00 +0100\r\nFrom: x@y\r\nSubject: "
        "hi\r\n\r\nbody\r\n",
        "From: x@y\nSubject: LF only\n\nbody\n",
        "no header block at all\r\n",
        "",
        std::string("\0\0\0", 3),
        "Content-Type: multipart/mixed; boundary=\r\n\r\n--\r\n--\r\n",
        "Content-Type: multipart/mixed; boundary=\"x\"\r\n\r\n--x\r\nContent-Type: "
        "multipart/mixed; "
        "boundary=\"x\"\r\n\r\n--x\r\n",
        "From: <<<@@@>>>, ;;; ,\r\nTo: \"unterminated\r\n\r\n",
        std::string(100000, ':'),
        "Content-Transfer-Encoding: base64\r\n\r\n!!!!====\r\n",
        ": no name\r\n\r\nbody",
    };
    for (const auto& in : inputs) {
        const MailMessage m = MailMessage::Parse(in);
        (void)m.TextBody();
        (void)m.Attachments();
        (void)m.EnvelopeRecipients();
        (void)m.ReceivedTime();
        EXPECT_EQ(m.Serialize(), in);
    }
}

}  // namespace
