#include "localplatform/config/platform_config.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "base/error.h"

using localplatform::PlatformConfig;

// The configuration in force follows QUELLIX_CONFIG: a new path is read when
// the variable names it, references to an earlier configuration stay valid,
// and a file that is named must be there.
TEST(PlatformConfig, ReadsKeysAndDefaultsAndCurrentFollowsTheVariable) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("cfgtest-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "platform.conf").string(), second = (dir / "second.conf").string();
    std::ofstream(path) << "# a comment\n\nstate_dir = " << dir.string() << "\n"
                        << "server.computer_name =  EXCH01 \nmail.starttls = Yes\n";
    std::ofstream(second) << "server.computer_name = SECOND\n";
    const PlatformConfig cfg = PlatformConfig::Load(path);
    EXPECT_EQ(cfg.ComputerName(), "EXCH01");
    // What the account's runs write lies apart from what decides who runs.
    EXPECT_EQ(cfg.StorePath(), dir.string() + "/data/store.db");
    EXPECT_EQ(cfg.DirectoryUri(), "ldb://" + dir.string() + "/data/directory.ldb");
    EXPECT_EQ(cfg.HistoryPath(), dir.string() + "/data/history.db");
    EXPECT_EQ(cfg.PickupDir(), dir.string() + "/data/pickup");
    EXPECT_EQ(cfg.TempDir(), dir.string() + "/data/tmp");
    EXPECT_EQ(cfg.CatalogPath(), dir.string() + "/catalog.db");
    EXPECT_EQ(cfg.ClassesPath(), dir.string() + "/classes.db");
    EXPECT_TRUE(cfg.GetBool("mail.starttls", false));
    EXPECT_EQ(cfg.MailTransport(), "pickup");

    setenv("QUELLIX_CONFIG", path.c_str(), 1);
    const PlatformConfig& a = PlatformConfig::Current();
    EXPECT_EQ(a.ComputerName(), "EXCH01");
    EXPECT_EQ(a.SourcePath(), path);
    setenv("QUELLIX_CONFIG", second.c_str(), 1);
    EXPECT_EQ(PlatformConfig::Current().ComputerName(), "SECOND");
    EXPECT_EQ(a.ComputerName(), "EXCH01");  // still valid
    setenv("QUELLIX_CONFIG", path.c_str(), 1);
    EXPECT_EQ(&PlatformConfig::Current(), &a);
    // The defaults are another server's.
    const auto missing = (dir / "missing.conf").string();
    setenv("QUELLIX_CONFIG", missing.c_str(), 1);
    EXPECT_THROW((void)PlatformConfig::Current(), platform::Error);
    unsetenv("QUELLIX_CONFIG");
    EXPECT_THROW((void)PlatformConfig::Load(missing), platform::Error);

    std::ofstream(path) << "no equals sign here\n";
    try {
        (void)PlatformConfig::Load(path);
        FAIL() << "malformed line accepted";
    } catch (const platform::Error& e) {
        EXPECT_NE(e.Description().find(":1:"), std::string::npos) << e.Description();
    }
    std::filesystem::remove_all(dir);
}

// A value a key cannot take is an error naming the file, the line, the key
// and the value, never the default or "no" in disguise; an unknown key is
// found with its line.
TEST(PlatformConfig, MisspeltValuesAreErrorsAndUnknownKeysAreFound) {
    const PlatformConfig cfg = PlatformConfig::Parse(
        "mail.starttls = requried\ncatch_up = yes please\nmail.timeout = abc\n"
        "store.batch_ms = 0\nstroe = /x\ndirectory.starttls = YES\nmail.connect_timeout = 0\n",
        "p.conf");
    struct Case {
        std::function<void()> read;
        std::string says;
    } cases[] = {
        {[&] {
             (void)cfg.GetChoice("mail.starttls", "no", {"no", "yes", "required"});
         },
         "p.conf:1: mail.starttls) failed: not one of no, yes, required: 'requried'"},
        {[&] { (void)cfg.GetBool("catch_up", false); },
         "p.conf:2: catch_up) failed: not yes or no: 'yes please'"},
        {[&] { (void)cfg.GetWholeNumber("mail.timeout", 300, 86400, "seconds", 1); },
         "p.conf:3: mail.timeout) failed: not a whole number of seconds: 'abc'"},
        {[&] { (void)cfg.GetWholeNumber("mail.connect_timeout", 30, 86400, "seconds", 1); },
         "p.conf:7: mail.connect_timeout) failed: out of range (1 to 86400): '0'"},
    };
    for (const auto& c : cases) {
        try {
            c.read();
            ADD_FAILURE() << "accepted: " << c.says;
        } catch (const platform::Error& e) {
            EXPECT_NE(e.Description().find(c.says), std::string::npos) << e.Description();
        }
    }
    EXPECT_TRUE(cfg.GetBool("directory.starttls", false));
    EXPECT_EQ(cfg.GetWholeNumber("store.batch_ms", 100, 1000, "milliseconds"), 0);
    EXPECT_EQ(cfg.UnknownKeys(), std::vector<std::string>{"p.conf:5: stroe"});
}

// A namespace mapped to a mail store: its location and the IMAP keys, a
// namespace with dots in its name, and values the keys cannot take, named
// by file, line, key and value.
TEST(PlatformConfig, MailStoreKeysMapNamespaces) {
    const PlatformConfig cfg = PlatformConfig::Parse(
        "mailstore.example.org = maildir:/var/vmail/%d/%n/Maildir:LAYOUT=fs\n"
        "mailstore.corp.test = imaps://mail.corp.test:993\n"
        "mailstore.corp.test.login = %n@%d\n"
        "mailstore.corp.test.auth = Master\n"
        "mailstore.corp.test.admin = quellix\n"
        "mailstore.corp.test.password_file = /etc/quellix/imap.pw\n"
        "mailstore.corp.test.starttls = no\n"
        "mailstore.corp.test.reply_timeout_ms = 5000\n"
        "store.synchronous = Full\n",
        "platform.conf");
    EXPECT_TRUE(cfg.UnknownKeys().empty());
    const auto maildir = cfg.MailStoreFor("EXAMPLE.org");
    ASSERT_TRUE(maildir);
    EXPECT_EQ(maildir->ns, "example.org");
    EXPECT_EQ(maildir->location, "maildir:/var/vmail/%d/%n/Maildir:LAYOUT=fs");
    EXPECT_EQ(maildir->source, "platform.conf:1");
    EXPECT_TRUE(maildir->syncDeletes);
    EXPECT_FALSE(PlatformConfig::Parse("mailstore.x = maildir:/m/%n\n", "p.conf")
                     .MailStoreFor("x")
                     ->syncDeletes);
    const auto imap = cfg.MailStoreFor("corp.test");
    ASSERT_TRUE(imap);
    EXPECT_EQ(imap->login, "%n@%d");
    EXPECT_EQ(imap->auth, "master");
    EXPECT_EQ(imap->admin, "quellix");
    EXPECT_EQ(imap->passwordFile, "/etc/quellix/imap.pw");
    EXPECT_EQ(imap->replyTimeoutMs, 5000);
    EXPECT_EQ(imap->connectTimeoutMs, 10000);
    EXPECT_FALSE(cfg.MailStoreFor("other.test"));

    const struct {
        const char* lines;
        const char* want;
    } bad[] = {
        {"mailstore.x = pop3://host\n", "platform.conf:1: mailstore.x) failed: not a mail store"},
        {"mailstore.x = maildir:relative/%n\n", "not an absolute Maildir path"},
        {"mailstore.x = maildir:/var/vmail/%d\n", "names no mailbox (%n)"},
        {"mailstore.x = imap://host/path\n", "not imap://host[:port]"},
        {"mailstore.x = imap://h\nmailstore.x.auth = kerberos\n",
         "platform.conf:2: mailstore.x.auth) failed: not one of plain, master, proxy: 'kerberos'"},
        {"mailstore.x = imap://h\nmailstore.x.auth = proxy\n", "needs mailstore.x.admin"},
        {"mailstore.x = imap://h\nmailstore.x.reply_timeout_ms = soon\n",
         "mailstore.x.reply_timeout_ms) failed: not a whole number of milliseconds: 'soon'"},
        {"mailstore.x = imap://h\nmailstore.x.password_file = pw\n", "not an absolute path"},
        {"mailstore.x = imap://h\n",
         "platform.conf:1: mailstore.x) failed: an IMAP store needs "
         "mailstore.x.password_file"},
        {"mailstore.x = imaps://h:99999\nmailstore.x.password_file = /pw\n",
         "platform.conf:1: mailstore.x) failed: not a port number (1 to 65535)"},
        {"mailstore.x = maildir:/m/%n:LAYOUT=bogus\n",
         "platform.conf:1: mailstore.x) failed: a Maildir option this backend does not take "
         "(LAYOUT=bogus"},
        {"mailstore.x = maildir:/m/%u/%n\n", "an unknown % sequence"},
        {"mailstore.x = imap://[::1\n", "an unclosed ["},
        {"mailstore.x = imap://jdoe:s3cret@h\n", "a name or password in the location"},
        {"mailstore.x = ftp://jdoe:s3cret@h\n", "not a mail store location"},
    };
    // Loading a file checks every namespace's settings: a program that
    // loads it fails at once, naming the file, the line and the key.
    const auto dir = std::filesystem::temp_directory_path() / ("cfgms-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "platform.conf").string();
    for (const auto& c : bad) {
        std::ofstream(path) << c.lines;
        for (const auto& read : std::vector<std::function<void()>>{
                 [&] { (void)PlatformConfig::Parse(c.lines, "platform.conf").MailStoreFor("x"); },
                 [&] { (void)PlatformConfig::Load(path); }}) {
            try {
                read();
                ADD_FAILURE() << c.lines << ": accepted";
            } catch (const platform::Error& e) {
                EXPECT_NE(e.Description().find(c.want), std::string::npos) << e.Description();
                EXPECT_EQ(e.Description().find("s3cret"), std::string::npos) << e.Description();
            }
        }
    }
    std::filesystem::remove_all(dir);
}

// imap:// logs in after STARTTLS unless the file says otherwise, and then
// only to a loopback address: a master password never crosses a network in
// clear text.
TEST(PlatformConfig, ImapLogsInInClearTextOnlyOnLoopback) {
    const struct {
        const char* location;
        const char* starttls;  // the line's value; nullptr: no line
        bool want;             // the setting, when accepted
        bool refused;
    } cases[] = {
        {"imap://mail.example.org", nullptr, true, false},
        {"imap://mail.example.org", "yes", true, false},
        {"imap://mail.example.org", "no", false, true},
        {"imap://10.0.0.1:143", "no", false, true},
        {"imap://[::2]", "no", false, true},
        {"imap://127.0.0.2:1143", "no", false, false},
        {"imap://LocalHost", "no", false, false},
        {"imap://[::1]:143", "no", false, false},
        {"imaps://mail.example.org", "no", false, false},  // TLS from the first byte
    };
    for (const auto& c : cases) {
        const std::string text =
            std::string("mailstore.x = ") + c.location + "\nmailstore.x.password_file = /pw\n" +
            (c.starttls ? std::string("mailstore.x.starttls = ") + c.starttls : std::string());
        try {
            const auto s = PlatformConfig::Parse(text, "p.conf").MailStoreFor("x");
            EXPECT_FALSE(c.refused) << text;
            EXPECT_EQ(s->starttls, c.want) << text;
        } catch (const platform::Error& e) {
            EXPECT_TRUE(c.refused) << e.Description();
            EXPECT_NE(e.Description().find("p.conf:1: mailstore.x) failed: mailstore.x.starttls = "
                                           "no would send the password in clear text"),
                      std::string::npos)
                << e.Description();
        }
    }
}

// A sub-key of a mapped namespace is one of its known sub-keys, its
// namespace spelt in any case; any other is an unknown key, never a
// namespace of its own.
TEST(PlatformConfig, MailStoreSubKeysAreKnownOrReported) {
    const struct {
        const char* lines;
        std::vector<std::string> unknown;
        std::vector<std::string> namespaces;
    } cases[] = {
        {"mailstore.example.org = imaps://h\nmailstore.example.org.starttsl = yes\n",
         {"p.conf:2: mailstore.example.org.starttsl"},
         {"example.org"}},
        {"mailstore.x = imap://h\nmailstore.x.login.extra = a\nmailstore.X.Login = b\n",
         {"p.conf:3: mailstore.X.Login", "p.conf:2: mailstore.x.login.extra"},
         {"x"}},
        {"mailstore.fault.test = imaps://h\nmailstore.FAULT.TEST.reply_timeout_ms = 5\n",
         {},
         {"fault.test"}},
        {"mailstore.a.example = imaps://h\nmailstore.example = imaps://h\nmailstore. = x\n",
         {"p.conf:3: mailstore."},
         {"a.example", "example"}},
    };
    for (const auto& c : cases) {
        const auto cfg = PlatformConfig::Parse(c.lines, "p.conf");
        EXPECT_EQ(cfg.UnknownKeys(), c.unknown) << c.lines;
        EXPECT_EQ(cfg.MailStoreNamespaces(), c.namespaces) << c.lines;
    }
    const auto mixed = PlatformConfig::Parse(
        "mailstore.fault.test = imaps://h\nmailstore.FAULT.TEST.reply_timeout_ms = 5\n"
        "mailstore.Fault.Test.password_file = /pw\n",
        "p.conf");
    EXPECT_EQ(mixed.MailStoreFor("Fault.Test")->replyTimeoutMs, 5);
    EXPECT_EQ(mixed.MailStoreFor("Fault.Test")->passwordFile, "/pw");
    for (const char* twice :
         {"mailstore.x = imaps://h\nmailstore.x.login = a\nmailstore.X.login = b\n",
          "mailstore.x = imaps://h\nmailstore.X = imaps://g\n"}) {
        try {
            (void)PlatformConfig::Parse(twice, "p.conf").MailStoreFor("x");
            ADD_FAILURE() << twice << ": accepted";
        } catch (const platform::Error& e) {
            EXPECT_NE(e.Description().find(": mailstore.X"), std::string::npos) << e.Description();
            EXPECT_NE(e.Description().find("sets what mailstore.x"), std::string::npos)
                << e.Description();
        }
    }
}

// A password file must be the running user's alone, and is never read
// through a link; the password never appears in an error.
TEST(PlatformConfig, PasswordFilesArePrivateToTheirOwner) {
    const auto dir = std::filesystem::temp_directory_path() / ("cfgpw-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "imap.pw").string();
    std::ofstream(path) << "s3cret\nignored\n";
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(localplatform::ReadPasswordFile(path), "s3cret");
    std::filesystem::create_symlink(path, dir / "link.pw");
    const auto refused = [](const std::string& p) {
        try {
            (void)localplatform::ReadPasswordFile(p);
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Description().find("s3cret"), std::string::npos);
            return e.Description();
        }
        return std::string("accepted");
    };
    EXPECT_NE(refused((dir / "link.pw").string()).find("link.pw"), std::string::npos);
    std::filesystem::permissions(path, std::filesystem::perms::group_read,
                                 std::filesystem::perm_options::add);
    EXPECT_NE(refused(path).find("readable or writable by others"), std::string::npos);
    EXPECT_NE(refused((dir / "missing.pw").string()).find("No such file"), std::string::npos);
    // Root reads the service account's own file, and no other account's.
    if (::geteuid() == 0) {
        std::filesystem::permissions(path, std::filesystem::perms::group_read,
                                     std::filesystem::perm_options::remove);
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        EXPECT_EQ(localplatform::ReadPasswordFile(path, nobody->pw_uid), "s3cret");
        EXPECT_NE(refused(path).find("not owned by the running user"), std::string::npos);
        try {
            (void)localplatform::ReadPasswordFile(path, nobody->pw_uid + 1);
            ADD_FAILURE() << "another account's file was read";
        } catch (const platform::Error& e) {
            EXPECT_NE(e.Description().find("neither root nor the service account"),
                      std::string::npos)
                << e.Description();
        }
    }
    // A FIFO in the file's place, with no writer, holds nobody up.
    ASSERT_EQ(::mkfifo((dir / "fifo.pw").c_str(), 0600), 0);
    EXPECT_NE(refused((dir / "fifo.pw").string()).find("fifo.pw) failed: not a regular file"),
              std::string::npos);
    std::filesystem::remove_all(dir);
}
