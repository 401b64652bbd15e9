#include "localplatform/directory/directory_generator.h"

#include <cctype>
#include <cstdio>
#include <set>

namespace localplatform::directory {
namespace {

// splitmix64: small, fast and the same on every platform.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }
    std::string Bytes16() {
        std::string g(16, '\0');
        const uint64_t a = Next(), b = Next();
        for (int i = 0; i < 8; ++i) {
            g[i] = static_cast<char>(a >> (8 * i));
            g[8 + i] = static_cast<char>(b >> (8 * i));
        }
        return g;
    }

private:
    uint64_t state_;
};

struct Name {
    const char* text;   // as shown
    const char* ascii;  // for account names and addresses
};

const Name kFirst[] = {
    {"Ann", "ann"},         {"Bob", "bob"},        {"Carla", "carla"},   {"David", "david"},
    {"Émile", "emile"},     {"Frank", "frank"},    {"Greta", "greta"},   {"Hans", "hans"},
    {"Ingrid", "ingrid"},   {"Jürgen", "juergen"}, {"Karin", "karin"},   {"Łukasz", "lukasz"},
    {"Maria", "maria"},     {"Nils", "nils"},      {"Øyvind", "oyvind"}, {"Paula", "paula"},
    {"Quentin", "quentin"}, {"Rita", "rita"},      {"Søren", "soren"},   {"Tom", "tom"},
    {"Ute", "ute"},         {"Václav", "vaclav"},  {"Wendy", "wendy"},   {"Zoë", "zoe"},
};
const Name kLast[] = {
    {"Adams", "adams"},     {"Ångström", "angstrom"}, {"Baker", "baker"},
    {"Çelik", "celik"},     {"Dubois", "dubois"},     {"Evans", "evans"},
    {"Fischer", "fischer"}, {"García", "garcia"},     {"Hughes", "hughes"},
    {"Ivanova", "ivanova"}, {"Jensen", "jensen"},     {"Kowalski", "kowalski"},
    {"Lee", "lee"},         {"Müller", "mueller"},    {"Nowak", "nowak"},
    {"O'Brien", "obrien"},  {"Peters", "peters"},     {"Quinn", "quinn"},
    {"Rossi", "rossi"},     {"Šimůnek", "simunek"},   {"Taylor", "taylor"},
    {"Usher", "usher"},     {"Vogel", "vogel"},       {"Zimmermann", "zimmermann"},
};

std::string GuidText(const std::string& g) {
    char buf[40];
    auto b = [&](int i) { return static_cast<unsigned>(static_cast<unsigned char>(g[i])); };
    std::snprintf(buf, sizeof buf,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b(3),
                  b(2), b(1), b(0), b(5), b(4), b(7), b(6), b(8), b(9), b(10), b(11), b(12), b(13),
                  b(14), b(15));
    return buf;
}

Entry Make(std::string dn, std::vector<Attribute> attributes, Random& random) {
    attributes.push_back(Attribute{"objectGUID", {random.Bytes16()}});
    return Entry{std::move(dn), std::move(attributes)};
}

Entry Container(const std::string& cn, const std::string& parent, Random& random) {
    return Make("CN=" + EscapeDnValue(cn) + "," + parent,
                {{"objectClass", {"top", "container"}}, {"cn", {cn}}}, random);
}

std::string AdminGroupDn(const GeneratorOptions& o) {
    return "CN=First Administrative Group,CN=Administrative Groups,CN=" +
           EscapeDnValue(o.organization) + ",CN=Microsoft Exchange,CN=Services,CN=Configuration," +
           BaseDnForDomain(o.domain);
}

}  // namespace

std::string BaseDnForDomain(const std::string& dnsDomain) {
    std::string out;
    size_t start = 0;
    while (start <= dnsDomain.size()) {
        const size_t dot = dnsDomain.find('.', start);
        const std::string label =
            dnsDomain.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!label.empty()) out += (out.empty() ? "DC=" : ",DC=") + EscapeDnValue(label);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return out;
}

std::string NamingContextLdif(const std::string& dnsDomain) {
    const std::string base = BaseDnForDomain(dnsDomain);
    const std::string config = "CN=Configuration," + base;
    std::string out = "dn: " + base + "\nobjectClass: top\nobjectClass: domainDNS\ndc: " +
                      dnsDomain.substr(0, dnsDomain.find('.')) + "\n\n";
    const std::pair<const char*, std::string> containers[] = {{"Users", base},
                                                              {"Configuration", base},
                                                              {"Schema", config},
                                                              {"Person", "CN=Schema," + config}};
    for (const auto& [cn, parent] : containers) {
        out += std::string("dn: CN=") + cn + "," + parent +
               "\nobjectClass: top\nobjectClass: container\ncn: " + cn + "\n\n";
    }
    return out;
}

std::string ServerDn(const GeneratorOptions& o, const std::string& server) {
    return "CN=" + EscapeDnValue(server) + ",CN=Servers," + AdminGroupDn(o);
}

std::string MailboxStoreDn(const GeneratorOptions& o, const std::string& server) {
    return "CN=Mailbox Store (" + EscapeDnValue(server) +
           "),CN=First Storage Group,CN=InformationStore," + ServerDn(o, server);
}

std::string HomeServerName(const GeneratorOptions& o, const std::string& server) {
    return "/o=" + o.organization +
           "/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=" + server;
}

std::string PersonCategory(const std::string& baseDn) {
    return "CN=Person,CN=Schema,CN=Configuration," + baseDn;
}

std::vector<Entry> GenerateDirectory(const GeneratorOptions& o) {
    Random random(o.seed);
    const std::string base = BaseDnForDomain(o.domain);
    const std::string mailDomain = o.mailDomain.empty() ? o.domain : o.mailDomain;
    const std::string person = PersonCategory(base);
    std::vector<Entry> out;
    out.reserve(o.users + 64);

    const std::string firstLabel = o.domain.substr(0, o.domain.find('.'));
    out.push_back(
        Make(base, {{"objectClass", {"top", "domainDNS"}}, {"dc", {firstLabel}}}, random));
    out.push_back(Container("Users", base, random));
    out.push_back(Container("Microsoft Exchange System Objects", base, random));
    const std::string config = "CN=Configuration," + base;
    out.push_back(Container("Configuration", base, random));
    out.push_back(Container("Schema", config, random));
    out.push_back(Container("Person", "CN=Schema," + config, random));
    out.push_back(Container("Services", config, random));
    out.push_back(Container("Microsoft Exchange", "CN=Services," + config, random));
    out.push_back(Container(o.organization, "CN=Microsoft Exchange,CN=Services," + config, random));
    const std::string orgDn =
        "CN=" + EscapeDnValue(o.organization) + ",CN=Microsoft Exchange,CN=Services," + config;
    out.push_back(Container("Administrative Groups", orgDn, random));
    out.push_back(
        Container("First Administrative Group", "CN=Administrative Groups," + orgDn, random));
    out.push_back(Container("Servers", AdminGroupDn(o), random));

    for (const auto& server : o.servers) {
        const std::string serverDn = ServerDn(o, server);
        out.push_back(Container(server, "CN=Servers," + AdminGroupDn(o), random));
        out.push_back(Container("InformationStore", serverDn, random));
        out.push_back(Container("First Storage Group", "CN=InformationStore," + serverDn, random));
        out.push_back(Container("Mailbox Store (" + server + ")",
                                "CN=First Storage Group,CN=InformationStore," + serverDn, random));
        out.push_back(Make("CN=Microsoft System Attendant," + serverDn,
                           {{"objectClass", {"top", "exchangeAdminService"}},
                            {"cn", {"Microsoft System Attendant"}},
                            {"homeMDB", {MailboxStoreDn(o, server)}},
                            {"msExchHomeServerName", {HomeServerName(o, server)}}},
                           random));
        const std::string guid = random.Bytes16();
        const std::string alias = "SystemMailbox{" + GuidText(guid) + "}";
        out.push_back(Make("CN=" + alias + ",CN=Microsoft Exchange System Objects," + base,
                           {{"objectClass", {"top", "person", "organizationalPerson", "user"}},
                            {"cn", {alias}},
                            {"sn", {alias}},
                            {"objectCategory", {person}},
                            {"sAMAccountName", {alias.substr(0, 20)}},
                            {"mailNickname", {alias}},
                            {"mail", {alias + "@" + mailDomain}},
                            {"msExchMailboxGuid", {guid}},
                            {"homeMDB", {MailboxStoreDn(o, server)}},
                            {"msExchHomeServerName", {HomeServerName(o, server)}}},
                           random));
    }

    std::set<std::string> takenCn, takenAccount;
    for (size_t i = 0; i < o.users; ++i) {
        const Name& first = kFirst[random.Below(std::size(kFirst))];
        const Name& last = kLast[random.Below(std::size(kLast))];
        std::string cn = std::string(first.text) + " " + last.text;
        std::string account = std::string(first.ascii).substr(0, 1) + last.ascii;
        for (int n = 2; takenCn.count(cn) != 0; ++n)
            cn = std::string(first.text) + " " + last.text + " " + std::to_string(n);
        std::string unique = account;
        for (int n = 2; takenAccount.count(unique) != 0; ++n) unique = account + std::to_string(n);
        account = unique;
        takenCn.insert(cn);
        takenAccount.insert(account);

        std::vector<Attribute> a = {
            {"objectClass", {"top", "person", "organizationalPerson", "user"}},
            {"cn", {cn}},
            {"sn", {last.text}},
            {"givenName", {first.text}},
            {"displayName", {cn}},
            {"objectCategory", {person}},
            {"sAMAccountName", {account}}};
        const size_t kind = random.Below(100);
        if (kind < 90) {
            // A mailbox on one of the servers.
            const std::string& server = o.servers[i % o.servers.size()];
            const std::string alias =
                random.Below(10) == 0 ? std::string(first.ascii) + "." + account : account;
            a.push_back({"mailNickname", {alias}});
            a.push_back({"msExchMailboxGuid", {random.Bytes16()}});
            a.push_back({"homeMDB", {MailboxStoreDn(o, server)}});
            a.push_back({"msExchHomeServerName", {HomeServerName(o, server)}});
            const size_t mail = random.Below(100);
            if (mail < 85)
                a.push_back({"mail", {alias + "@" + mailDomain}});
            else if (mail < 95)
                a.push_back({"mail", {alias + "@" + o.otherMailDomain}});
            // else: a mailbox without an address
            const size_t mark = random.Below(100);
            if (mark < 20)
                a.push_back({"extensionAttribute8", {"Quellix"}});
            else if (mark < 25)
                a.push_back({"extensionAttribute8", {"QUELLIX"}});
            else if (mark < 28)
                a.push_back({"extensionAttribute8", {"quellix"}});
            else if (mark < 33)
                a.push_back({"extensionAttribute8", {"Other"}});
        }
        out.push_back(Make("CN=" + EscapeDnValue(cn) + ",CN=Users," + base, std::move(a), random));
    }
    return out;
}

}  // namespace localplatform::directory
