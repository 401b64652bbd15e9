// A realistic directory for tests, the demo and benchmarks: the domain with
// its Users container, the configuration and schema naming contexts (with
// the Person category), an Exchange organisation with several servers, each
// with a mailbox store, a system attendant and a system mailbox
// "SystemMailbox{GUID}", and users spread over the servers: marked and
// unmarked, some with the mark in another letter case or another word, some
// in a second mail domain, some without mail, some without a mailbox, and
// names with accents. The same options and seed give the same entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "localplatform/directory/directory_backend.h"

namespace localplatform::directory {

struct GeneratorOptions {
    size_t users = 100;
    std::vector<std::string> servers = {"MAILSRV1", "MAILSRV2"};
    std::string domain = "example.com";                // DNS domain of the directory
    std::string mailDomain;                            // default: domain
    std::string otherMailDomain = "mail.example.net";  // a second mail domain
    std::string organization = "Org";
    uint64_t seed = 1;
};

// The entries, parents before children (ready for slapadd and ldapadd).
std::vector<Entry> GenerateDirectory(const GeneratorOptions& options);

// "example.com" -> "DC=example,DC=com".
std::string BaseDnForDomain(const std::string& dnsDomain);
// The naming context of a DNS domain as LDIF, for small hand-made directories
// (the demo's, the tests'): the domain object and the containers Users,
// Configuration, Schema and the Person category, each followed by a blank line.
std::string NamingContextLdif(const std::string& dnsDomain);
// The DN of a server's object and of its mailbox store in a generated directory.
std::string ServerDn(const GeneratorOptions& options, const std::string& server);
std::string MailboxStoreDn(const GeneratorOptions& options, const std::string& server);
// "/o=Org/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=" + server
std::string HomeServerName(const GeneratorOptions& options, const std::string& server);
// "CN=Person,CN=Schema,CN=Configuration," + base DN
std::string PersonCategory(const std::string& baseDn);

}  // namespace localplatform::directory
