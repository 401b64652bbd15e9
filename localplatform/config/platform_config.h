// The platform configuration: one file of "key = value" lines ('#' starts a
// comment) that tells the local platform where its pieces are. Its path comes
// from the environment variable QUELLIX_CONFIG, else /etc/quellix/platform.conf;
// a missing file means every default. Keys:
//
//   state_dir        folder of the platform's files         /var/lib/quellix
//   store            item store database                    <state_dir>/store.db
//   store.busy_timeout_ms  how long one statement waits for a busy store   10000
//   store.busy_budget_ms   all waits for a busy store in one run   60000
//   store.run_lock_wait_ms how long a run waits for another run of its
//                          registration (the lock held in the store)  60000
//   store.synchronous      "full": every commit survives a power loss  normal
//   store.batch_ms         longest open batch of row deletes and moves   100
//   store.move_manifest_keep_days  moves older than this many days are
//                          forgotten by the move manifest (0 keeps all)  90
//   directory        "ldb:///path/file.ldb" (embedded) or an LDAP URI
//                    ("ldap://host:port", "ldaps://...", "ldapi://%2Fpath")
//                                                            ldb://<state_dir>/directory.ldb
//   directory.bind_dn, directory.password    simple bind credentials
//   directory.sasl_mech                      e.g. EXTERNAL (over ldapi)
//   directory.starttls                       yes/no
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
//   history          run history database                   <state_dir>/history.db
//   history.keep_days        runs older than this many days are pruned   90
//   history.busy_timeout_ms  how long a busy history is waited for   10000
//   metrics.textfile the Prometheus text file written after each run (for
//                    node_exporter's textfile collector)     unset: none
//   mail.transport   "pickup" or "smtp://host:port" / "smtps://host:port"   pickup
//   mail.pickup_dir  where "pickup" drops .eml files        <state_dir>/pickup
//   mail.smtp_user, mail.smtp_password, mail.starttls (yes/no/required)
//                    (yes: TLS when the relay offers it; required: no delivery without it)
//   mail.helo        name announced to the relay             this server's FQDN
//   mail.ca_file     certificates trusted for the relay's TLS the system's
//   mail.connect_timeout, mail.timeout  seconds to connect / for the whole
//                    SMTP transaction                        30 / 300
//   server.computer_name   this server's short name          the host name, up to the first "."
//   server.domain_dns_name this server's domain              the host's DNS domain
//   timezone.active_time_bias  minutes (e.g. -60), or bytes "bytes:C4 FF FF FF"
//   temp_dir         overrides the private temporary folder of GetTempPathA
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace localplatform {

class PlatformConfig {
public:
    // Parses a file; raises platform::Error (kFileNotFound, or kInvalidArg
    // naming the line) when it cannot be read or holds a malformed line.
    static PlatformConfig Load(const std::string& path);
    // Parses the text of a configuration file; source names it in errors.
    static PlatformConfig Parse(const std::string& text, const std::string& source);
    // The configuration in force for this process: the file named by
    // QUELLIX_CONFIG (or the default path), loaded on first use and again
    // whenever the variable changes.
    static const PlatformConfig& Current();
    static std::string DefaultPath();

    // The raw value of a key, if set.
    [[nodiscard]] std::optional<std::string> Get(const std::string& key) const;
    [[nodiscard]] std::string GetOr(const std::string& key, const std::string& fallback) const;
    [[nodiscard]] bool GetBool(const std::string& key, bool fallback) const;
    // A whole number of digits from 0 to max, fallback when the key is unset.
    // Raises platform::Error (kInvalidArg) naming this file and the key for
    // any other text; what names the unit ("milliseconds", "days").
    [[nodiscard]] int64_t GetWholeNumber(const std::string& key, int64_t fallback, int64_t max,
                                         const std::string& what) const;

    // Resolved settings, with the defaults described above.
    [[nodiscard]] std::string StateDir() const;
    [[nodiscard]] std::string StorePath() const;
    [[nodiscard]] std::string DirectoryUri() const;
    [[nodiscard]] std::string ClassesPath() const;
    [[nodiscard]] std::string CatalogPath() const;
    [[nodiscard]] std::string HistoryPath() const;
    [[nodiscard]] std::string MailTransport() const;
    [[nodiscard]] std::string PickupDir() const;
    [[nodiscard]] std::string ComputerName() const;   // as configured or from the host
    [[nodiscard]] std::string DomainDnsName() const;  // as configured or from the host
    [[nodiscard]] const std::string& SourcePath() const { return source_; }

    void Set(const std::string& key, std::string value) { values_[key] = std::move(value); }

private:
    std::map<std::string, std::string> values_;
    std::string source_;
};

}  // namespace localplatform
