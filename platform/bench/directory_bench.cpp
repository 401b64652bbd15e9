// directory_bench: the sink's mailbox query over 30,000 mailbox users, all
// rows read through the platform's Command and Recordset, on the embedded
// directory and through libldap against a private slapd. Beside each figure
// it measures a floor in the same run: the raw library search with the same
// filter and attributes (ldb_search; ldap_search_ext paged at 1,000), with
// no translation, no sort and no row objects. Prints figure, floor, ratio.
//
// usage: directory_bench [--users N] [--runs R] [--skip-slapd] [--ldb FILE]
// (--ldb: time an existing embedded directory of the domain example.com,
// made by "quellix-admin directory generate", instead of generating one)
#include <ldap.h>

extern "C" {
#include <ldb.h>
}

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "base/testing/temp_platform.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/directory/testing/slapd_harness.h"
#include "platform/ado_directory.h"

namespace {

namespace dir = localplatform::directory;
using platform::testing::BenchClock;
using platform::testing::FloorLine;
using platform::testing::MedianSeconds;
using platform::testing::SecondsSince;

const char* const kAttributes[] = {
    "sAMAccountName", "extensionAttribute8", "cn", "msExchHomeServerName", "mailNickName", "mail",
    nullptr};

// Query 1 of the mailbox loop, every field of every row read.
size_t PlatformQuery(const std::string& searchRoot) {
    platform::Connection cnn;
    cnn.SetProvider("adsDSOobject");
    cnn.Open("Active Directory Provider", "", "", -1);
    platform::Command cmd;
    cmd.SetActiveConnection(cnn);
    cmd.SetCommandText(
        "SELECT sAMAccountName,extensionAttribute8, adspath, cn, "
        "msExchHomeServerName,mailNickName,mail "
        "FROM '" +
        searchRoot + "' WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn");
    cmd.Properties("searchscope").SetValue(platform::Variant(int32_t{2}));
    cmd.Properties("cache results").SetValue(platform::Variant(true));
    cmd.Properties("Chase Referrals").SetValue(platform::Variant(int32_t{96}));
    cmd.Properties("Page Size").SetValue(platform::Variant(int16_t{100}));
    cmd.Properties("Timeout").SetValue(platform::Variant(int16_t{120}));
    platform::Recordset rs = cmd.Execute();
    size_t rows = 0, bytes = 0;
    while (!rs.Eof()) {
        for (const char* f : {"sAMAccountName", "extensionAttribute8", "adspath", "cn",
                              "msExchHomeServerName", "mailNickName", "mail"}) {
            bytes += rs.Fields(f).Value().ToStringOrEmpty().size();
        }
        ++rows;
        rs.MoveNext();
    }
    rs.Close();
    return bytes > 0 ? rows : 0;
}

std::string Filter() {
    return "(&(objectCategory=" + dir::PersonCategory("DC=example,DC=com") +
           ")(msExchMailboxGuid=*))";
}

size_t RawLdb(const std::string& path) {
    std::unique_ptr<ldb_context, int (*)(void*)> ldb(ldb_init(nullptr, nullptr),
                                                     [](void* p) { return talloc_free(p); });
    const char* opts[] = {"lmdb_env_size:4294967296", nullptr};
    if (ldb_connect(ldb.get(), ("mdb://" + path).c_str(), LDB_FLG_RDONLY, opts) != LDB_SUCCESS)
        return 0;
    ldb_result* res = nullptr;
    ldb_dn* base = ldb_dn_new(ldb.get(), ldb.get(), "DC=example,DC=com");
    if (ldb_search(ldb.get(), ldb.get(), &res, base, LDB_SCOPE_SUBTREE, kAttributes, "%s",
                   Filter().c_str()) != LDB_SUCCESS)
        return 0;
    size_t bytes = 0;
    for (unsigned i = 0; i < res->count; ++i) {
        for (unsigned k = 0; k < res->msgs[i]->num_elements; ++k)
            bytes += res->msgs[i]->elements[k].values[0].length;
    }
    return bytes > 0 ? res->count : 0;
}

size_t RawLdap(const std::string& uri, const std::string& dn, const std::string& password) {
    LDAP* raw = nullptr;
    if (ldap_initialize(&raw, uri.c_str()) != LDAP_SUCCESS) return 0;
    std::unique_ptr<LDAP, void (*)(LDAP*)> ld(
        raw, [](LDAP* l) { ldap_unbind_ext_s(l, nullptr, nullptr); });
    const int v3 = LDAP_VERSION3;
    ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &v3);
    berval cred{password.size(), const_cast<char*>(password.c_str())};
    if (ldap_sasl_bind_s(ld.get(), dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                         nullptr) != LDAP_SUCCESS)
        return 0;
    std::string cookie;
    size_t rows = 0;
    for (;;) {
        berval c{cookie.size(), cookie.data()};
        LDAPControl* page = nullptr;
        ldap_create_page_control(ld.get(), 1000, cookie.empty() ? nullptr : &c, 0, &page);
        LDAPControl* ctrls[] = {page, nullptr};
        LDAPMessage* res = nullptr;
        const int rc = ldap_search_ext_s(ld.get(), "DC=example,DC=com", LDAP_SCOPE_SUBTREE,
                                         Filter().c_str(), const_cast<char**>(kAttributes), 0,
                                         ctrls, nullptr, nullptr, LDAP_NO_LIMIT, &res);
        ldap_control_free(page);
        if (rc != LDAP_SUCCESS) {
            ldap_msgfree(res);
            return 0;
        }
        for (LDAPMessage* e = ldap_first_entry(ld.get(), res); e != nullptr;
             e = ldap_next_entry(ld.get(), e)) {
            BerElement* ber = nullptr;
            for (char* a = ldap_first_attribute(ld.get(), e, &ber); a != nullptr;
                 a = ldap_next_attribute(ld.get(), e, ber)) {
                berval** vals = ldap_get_values_len(ld.get(), e, a);
                ldap_value_free_len(vals);
                ldap_memfree(a);
            }
            ber_free(ber, 0);
            ++rows;
        }
        LDAPControl** rctrls = nullptr;
        ldap_parse_result(ld.get(), res, nullptr, nullptr, nullptr, nullptr, &rctrls, 1);
        LDAPControl* pr = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, rctrls, nullptr);
        berval next{0, nullptr};
        ber_int_t estimate = 0;
        if (pr != nullptr) ldap_parse_pageresponse_control(ld.get(), pr, &estimate, &next);
        cookie.assign(next.bv_val == nullptr ? "" : next.bv_val, next.bv_len);
        ber_memfree(next.bv_val);
        ldap_controls_free(rctrls);
        if (cookie.empty()) break;
    }
    return rows;
}

void Report(const char* what, double figure, double floor, double goal, size_t rows,
            size_t floorRows) {
    FloorLine(what, figure, floor)
        .Goal(goal)
        .Notes("rows " + std::to_string(rows) + "/" + std::to_string(floorRows))
        .Print();
}

}  // namespace

int main(int argc, char** argv) {
    platform::testing::BenchArgs args(
        argc, argv, "directory_bench [--users N] [--runs R] [--skip-slapd] [--ldb FILE]");
    // Nine in ten users have a mailbox: about 30,000 mailbox users.
    const auto users = static_cast<size_t>(args.Number("--users", 33400, 1));
    const int runs = static_cast<int>(args.Number("--runs", 3, 1));
    const bool slapd = !args.Flag("--skip-slapd");
    const std::string existing = args.Text("--ldb", "");
    if (auto exit = args.Done()) return *exit;
    platform::testing::TempPlatform folder("quellix-dirbench-");
    const std::string& tmp = folder.Dir();
    int status = 0;
    try {
        dir::GeneratorOptions o;
        o.users = users;
        o.servers = {"MAILSRV1", "MAILSRV2", "MAILSRV3"};
        const std::vector<dir::Entry> entries =
            existing.empty() || slapd ? dir::GenerateDirectory(o) : std::vector<dir::Entry>{};
        size_t mailboxUsers = 0;
        for (const auto& e : entries)
            mailboxUsers += e.Find("msExchMailboxGuid") != nullptr ? 1 : 0;
        std::printf("directory: %zu entries, %zu mailbox users; median of %d runs\n",
                    entries.size(), mailboxUsers, runs);

        // Embedded.
        const std::string ldbPath = existing.empty() ? tmp + "/directory.ldb" : existing;
        auto start = BenchClock::now();
        if (existing.empty()) {
            auto backend = dir::OpenLdbDirectory(ldbPath, dir::LdbOptions{true, true, false});
            dir::LoadEntries(*backend, entries);
            std::printf("embedded load (batch mode)          %7.3f s\n", SecondsSince(start));
        }
        folder.Configure(
            "directory = ldb://" + ldbPath +
            "\nserver.computer_name = mailsrv1\nserver.domain_dns_name = example.com\n");
        size_t rows = 0, floorRows = 0;
        const double floor = MedianSeconds(
            runs, [&] { return RawLdb(ldbPath); }, floorRows);
        const double figure = MedianSeconds(
            runs, [&] { return PlatformQuery("GC://mailsrv1.example.com"); }, rows);
        Report("embedded (ldb), query 1, all rows", figure, floor, 0.5, rows, floorRows);

        if (slapd && dir::testing::SlapdHarness::Available()) {
            const std::string ldif = tmp + "/directory.ldif";
            {
                std::ofstream out(ldif);
                for (const auto& e : entries) out << dir::ToLdif(e);
            }
            dir::testing::SlapdHarness::Options so;
            so.preloadLdif = ldif;
            start = BenchClock::now();
            dir::testing::SlapdHarness server(so);
            std::printf("slapd load (slapadd) and start      %7.3f s\n", SecondsSince(start));
            folder.Configure(server.ConfigLines());
            const double lfloor = MedianSeconds(
                runs, [&] { return RawLdap(server.Uri(), so.rootDn, so.rootPassword); }, floorRows);
            const double lfigure = MedianSeconds(
                runs, [&] { return PlatformQuery("GC://127.0.0.1"); }, rows);
            Report("libldap to slapd, query 1, all rows", lfigure, lfloor, 2.0, rows, floorRows);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "directory_bench: %s\n", e.what());
        status = 1;
    }
    return status;
}
