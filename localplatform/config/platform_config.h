// The platform configuration: one file of "key = value" lines ('#' starts a
// comment) that tells the local platform where its pieces are. Its path comes
// from the environment variable QUELLIX_CONFIG, else /etc/quellix/platform.conf;
// a missing default file means every default, a missing file that
// QUELLIX_CONFIG (or --config) names is an error. A key not listed below is
// warned about on standard error; a value a key cannot take is an error
// naming the file, the line, the key and the value. Keys:
//
//   state_dir        the files that decide what runs as whom (the class
//                    registry, the component catalog, the event service's
//                    record and lock): root's alone        /var/lib/quellix
//   data_dir         the files the service account's runs write (store,
//                    history, directory, temporary and pickup folders)
//                                                            <state_dir>/data
//   store            item store database                    <data_dir>/store.db
//   store.busy_timeout_ms  how long one statement waits for a busy store   10000
//   store.busy_budget_ms   all waits for a busy store in one run   60000
//   store.run_lock_wait_ms how long a run waits for another run of its
//                          registration (the lock held in the store)  60000
//   store.synchronous      "full": every commit survives a power loss, and
//                          so does every delete in a Maildir  normal
//   store.secure_delete    "on": pages a delete frees are wiped as well as
//                          the deleted rows (far more is written)   fast
//   store.batch_ms         longest open batch of row deletes and moves   100
//   store.move_manifest_keep_days  moves older than this many days are
//                          forgotten by the move manifest (0 keeps all)  90
//   directory        "ldb:///path/file.ldb" (embedded) or an LDAP URI
//                    ("ldap://host:port", "ldaps://...", "ldapi://%2Fpath")
//                                                            ldb://<data_dir>/directory.ldb
//   directory.bind_dn, directory.password    simple bind credentials
//   directory.sasl_mech                      e.g. EXTERNAL (over ldapi)
//   directory.starttls                       yes/no (no)
//   directory.gc_port, directory.ldap_port   ports of "GC://" and "LDAP://" paths (3268, 389)
//   directory.write_uri                      where writes go (default: directory)
//   directory.dns_host_name                  dnsHostName of GC://RootDSE when the
//                                            directory does not publish one
//   directory.network_timeout                seconds for connect and bind (10)
//   directory.hosts                          more host names a path may name (a comma
//                                            list); paths naming other hosts are refused
//   classes          class registry database                <state_dir>/classes.db
//   catalog          component catalog database             <state_dir>/catalog.db
//   catalog.busy_timeout_ms  how long a busy catalog is waited for   10000
//   history          run history database                   <data_dir>/history.db
//   history.keep_days        runs older than this many days are pruned   90
//   history.busy_timeout_ms  how long a busy history is waited for   10000
//   metrics.textfile the Prometheus text file written after each run (for
//                    node_exporter's textfile collector)     unset: none
//   mail.transport   "pickup" or "smtp://host:port" / "smtps://host:port"   pickup
//   mail.pickup_dir  where "pickup" drops .eml files        <data_dir>/pickup
//   mail.smtp_user, mail.smtp_password, mail.starttls (no/yes/required; no)
//                    (yes: TLS when the relay offers it; required: no delivery without it)
//   mail.helo        name announced to the relay             this server's FQDN
//   mail.ca_file     certificates trusted for the relay's TLS the system's
//   mail.connect_timeout, mail.timeout  seconds to connect / for the whole
//                    SMTP transaction                        30 / 300
//   server.computer_name   this server's short name          the host name, up to the first "."
//   server.domain_dns_name this server's domain              the host's DNS domain
//   timezone.active_time_bias  minutes (e.g. -60), or bytes "bytes:C4 FF FF FF"
//   temp_dir         the private temporary folder of GetTempPathA  <data_dir>/tmp
//   catch_up         yes/no: fire a firing missed while the event service
//                    was down once at start-up            no
//   run.workers      mailboxes a run sweeps at once (1 to 64): each worker
//                    has its own store handle and mail server sessions, and
//                    the log still tells the mailboxes in the directory's order
//                                   1; with mail stores, 2 per core (up to 8)
//   eventd.host, eventd.record, eventd.lock, eventd.poll_ms,
//   eventd.run_limit_s, eventd.lock_wait_ms   the event service (quellix-eventd --help)
//   mailstore.<namespace>  the mail store holding the namespace's mailboxes
//                    (unset: the item store itself):
//                    "maildir:/var/vmail/%d/%n/Maildir" (%d the namespace,
//                    %n the mailbox alias, %% a "%"; a ":LAYOUT=fs" suffix for
//                    Dovecot's fs layout, Maildir++ by default), or
//                    "imap://host:port" / "imaps://host:port"
//   mailstore.<namespace>.login     IMAP login name template (%n, %d, %%)   %n
//   mailstore.<namespace>.auth      plain | master | proxy                    plain
//   mailstore.<namespace>.admin     the authenticating administrator (master, proxy)
//   mailstore.<namespace>.password_file  the password's file: a regular file
//                    owned by the running user, mode 600 (never a link)
//   mailstore.<namespace>.starttls  yes/no: STARTTLS before the login over imap://;
//                    no (a login in clear text) only to 127.0.0.0/8, ::1 or localhost   yes
//   mailstore.<namespace>.ca_file   certificates trusted for the server's TLS  the system's
//   mailstore.<namespace>.connect_timeout_ms, .reply_timeout_ms   10000 / 30000
//                    (a sub-key's namespace is compared without regard to case;
//                    any other sub-key of a mapped namespace is an unknown key)
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "localplatform/config/mail_store_settings.h"

namespace localplatform {

class PlatformConfig {
public:
    // Parses a file; raises platform::Error (kFileNotFound, or kInvalidArg
    // naming the line) when it cannot be read, holds a malformed line or a
    // mapped namespace's setting MailStoreFor refuses. Writes a warning to
    // standard error for each key it does not know.
    static PlatformConfig Load(const std::string& path);
    // Parses the text of a configuration file; source names it in errors.
    static PlatformConfig Parse(const std::string& text, const std::string& source);
    // The configuration in force for this process: the file named by
    // QUELLIX_CONFIG (or the default path), loaded on first use and again
    // whenever the variable changes. A named file that is missing raises
    // kFileNotFound (each time it is asked for); a missing default file
    // means every default.
    static const PlatformConfig& Current();
    static std::string DefaultPath();

    // The raw value of a key, if set.
    [[nodiscard]] std::optional<std::string> Get(const std::string& key) const;
    [[nodiscard]] std::string GetOr(const std::string& key, const std::string& fallback) const;
    // yes/no (also true/false, on/off, 1/0, any case); fallback when unset.
    // Any other value raises platform::Error (kInvalidArg) naming the file,
    // the line, the key and the value.
    [[nodiscard]] bool GetBool(const std::string& key, bool fallback) const;
    // One of choices (compared without regard to case, returned as listed);
    // fallback when unset; any other value raises as GetBool does.
    [[nodiscard]] std::string GetChoice(const std::string& key, const std::string& fallback,
                                        const std::vector<std::string>& choices) const;
    // A whole number of digits from min to max, fallback when the key is
    // unset. Raises platform::Error (kInvalidArg) naming this file, the line
    // and the key for any other text; what names the unit ("milliseconds").
    [[nodiscard]] int64_t GetWholeNumber(const std::string& key, int64_t fallback, int64_t max,
                                         const std::string& what, int64_t min = 0) const;
    // The keys of this file that the platform does not know, each with its
    // line: "file:line: key".
    [[nodiscard]] std::vector<std::string> UnknownKeys() const;

    // Resolved settings, with the defaults described above.
    [[nodiscard]] std::string StateDir() const;
    [[nodiscard]] std::string DataDir() const;
    // The service account: the owner of data_dir (whose runs write there),
    // when it is a folder and no link; nothing else.
    [[nodiscard]] std::optional<uid_t> ServiceAccount() const;
    [[nodiscard]] std::string StorePath() const;
    // "run.workers", with its default for this machine and mapping.
    [[nodiscard]] int RunWorkers() const;
    static constexpr int kMaxRunWorkers = 64;
    [[nodiscard]] std::string DirectoryUri() const;
    [[nodiscard]] std::string ClassesPath() const;
    [[nodiscard]] std::string CatalogPath() const;
    [[nodiscard]] std::string HistoryPath() const;
    [[nodiscard]] std::string MailTransport() const;
    [[nodiscard]] std::string PickupDir() const;
    [[nodiscard]] std::string TempDir() const;
    [[nodiscard]] std::string ComputerName() const;   // as configured or from the host
    [[nodiscard]] std::string DomainDnsName() const;  // as configured or from the host
    [[nodiscard]] const std::string& SourcePath() const { return source_; }
    // The mail store a namespace is mapped to (its name compared without
    // regard to case); nothing for a namespace the item store holds. Raises
    // platform::Error (kInvalidArg) naming the file, the line, the key and
    // the value for a setting the key cannot take.
    [[nodiscard]] std::optional<MailStoreSettings> MailStoreFor(const std::string& ns) const;
    // The namespaces mapped to a mail store, as their keys spell them.
    [[nodiscard]] std::vector<std::string> MailStoreNamespaces() const;

    void Set(const std::string& key, std::string value) { values_[key] = std::move(value); }

private:
    // Whether a "mailstore." key is a namespace's location or a sub-key of
    // a namespace mapped; false for any other sub-key of a mapped namespace.
    [[nodiscard]] bool MailStoreKeyKnown(const std::string& key) const;
    // The last dotted part of a "mailstore." key (".starttls") when the key
    // before it is in this file (compared without regard to case): the key
    // is then a sub-key, known or not, and maps no namespace of its own.
    [[nodiscard]] std::optional<std::string> MailStoreParent(const std::string& key) const;
    // The key of the namespace key's sub-key suffix as this file spells it
    // (the namespace in any case), key + suffix when it is not set. Raises
    // the error of a value the key cannot take when it is set twice.
    [[nodiscard]] std::string MailStoreSubKey(const std::string& key,
                                              std::string_view suffix) const;
    // Raises the error of the later of two keys that differ only in the
    // case of their namespace.
    [[noreturn]] void RefuseTwice(const std::string& a, const std::string& b) const;
    // Raises the error of a value the key cannot take.
    [[noreturn]] void Refuse(const std::string& key, const std::string& value,
                             const std::string& why) const;

    std::map<std::string, std::string> values_;
    std::map<std::string, int> lines_;  // the line each key was read from
    std::string source_;
};

}  // namespace localplatform
