// Benchmark of the IMAP backend against a private Dovecot: what listing a
// folder and removing most of it cost over IMAP, beside the Maildir backend
// doing the same to the same server's files (the floor: no network, no
// server). Each round fills a Spam folder of MESSAGES messages of about
// 2 KB by IMAP APPEND, lists it through IMAP, then through Maildir, and
// removes nine in ten of them: one half of the rounds through IMAP (one
// STORE and one UID EXPUNGE per 500 UIDs at Flush), the other through
// Maildir. Prints the medians of ROUNDS rounds.
//   usage: imap_store_bench [MESSAGES [ROUNDS]]  (2000 3)
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "localplatform/store/mail_store.h"
#include "localplatform/store/testing/dovecot_server.h"

namespace {

using localplatform::MailFolder;
using localplatform::MailStoreSettings;
using localplatform::testing::DovecotServer;
using platform::testing::BenchClock;
using platform::testing::FloorLine;
using platform::testing::Median;
using platform::testing::SecondsSince;

struct Round {
    double append = 0, imapList = 0, maildirList = 0, imapDelete = 0, maildirDelete = 0;
};

Round OneRound(long messages, bool deleteOverImap) {
    DovecotServer server;
    const std::string password = server.Folder() + "/bench-password";
    std::ofstream(password) << server.Settings().masterPassword << "\n";
    ::chmod(password.c_str(), 0600);
    MailStoreSettings imap;
    imap.ns = "example";
    imap.location = server.ImapUrl();
    imap.login = "%n@%d";
    imap.auth = "master";
    imap.admin = server.Settings().masterUser;
    imap.passwordFile = password;
    imap.starttls = false;  // the private Dovecot on loopback has no TLS
    imap.source = "bench";
    MailStoreSettings maildir = imap;
    maildir.location = server.MailLocation();
    const auto overImap = localplatform::OpenMailStore(imap);
    const auto onDisk = localplatform::OpenMailStore(maildir);
    const MailFolder spam{"jdoe", {"Spam"}};
    server.CreateFolder("jdoe@example", "Spam");

    Round r;
    const std::string body = "Subject: bench\r\n\r\n" + std::string(2000, 'x') + "\r\n";
    auto start = BenchClock::now();
    for (long m = 0; m < messages; ++m) (void)overImap->Append(spam, body, 1700000000 + m, "S");
    r.append = SecondsSince(start);

    start = BenchClock::now();
    const auto listed = overImap->Messages(spam);
    r.imapList = SecondsSince(start);
    start = BenchClock::now();
    const auto files = onDisk->Messages(spam);
    r.maildirList = SecondsSince(start);
    if (static_cast<long>(listed.size()) != messages || static_cast<long>(files.size()) != messages)
        throw std::runtime_error("the folder does not hold what was appended");

    localplatform::MailStore& remover = deleteOverImap ? *overImap : *onDisk;
    const auto& keys = deleteOverImap ? listed : files;
    start = BenchClock::now();
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i % 10 != 0) (void)remover.Delete(spam, keys[i].key);
    }
    remover.Flush();
    (deleteOverImap ? r.imapDelete : r.maildirDelete) = SecondsSince(start);
    const size_t left = server.Messages("jdoe@example", "Spam").size();
    if (left != (keys.size() + 9) / 10) throw std::runtime_error("the server kept the wrong count");
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    platform::testing::BenchArgs args(argc, argv, "imap_store_bench [MESSAGES [ROUNDS]]");
    const long messages = args.NumberWord("MESSAGES", 2000, 10);
    const long rounds = args.NumberWord("ROUNDS", 3, 1);
    if (const auto done = args.Done()) return *done;
    if (!DovecotServer::Available()) {
        std::fprintf(stderr, "imap_store_bench: dovecot is not installed\n");
        return 1;
    }
    std::vector<double> append, imapList, maildirList, imapDelete, maildirDelete;
    try {
        for (long i = 0; i < 2 * rounds; ++i) {
            const Round r = OneRound(messages, i % 2 == 0);
            append.push_back(r.append);
            imapList.push_back(r.imapList);
            maildirList.push_back(r.maildirList);
            (i % 2 == 0 ? imapDelete : maildirDelete)
                .push_back(i % 2 == 0 ? r.imapDelete : r.maildirDelete);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "imap_store_bench: %s\n", e.what());
        return 1;
    }
    const std::string notes = std::to_string(messages) + " messages";
    std::printf("IMAP APPEND  %.3f s for %s (median of %ld)\n", Median(append), notes.c_str(),
                2 * rounds);
    FloorLine("list a folder over IMAP", Median(imapList), Median(maildirList))
        .FloorName("Maildir")
        .Notes(notes)
        .Print();
    FloorLine("delete 9 in 10 over IMAP", Median(imapDelete), Median(maildirDelete))
        .FloorName("Maildir")
        .Notes(notes)
        .Print();
    return 0;
}
