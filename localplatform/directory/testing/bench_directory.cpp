#include "localplatform/directory/testing/bench_directory.h"

#include <cstdlib>
#include <fstream>

#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"

namespace localplatform::directory::testing {

BenchDirectory MakeBenchDirectory(size_t users, const std::string& folder) {
    BenchDirectory d;
    GeneratorOptions o;
    o.users = users;
    o.servers = {"MAILSRV1", "MAILSRV2", "MAILSRV3"};
    d.entries = GenerateDirectory(o);
    for (const auto& e : d.entries)
        d.mailboxUsers += e.Find("msExchMailboxGuid") != nullptr ? 1 : 0;
    const std::string ldbPath = folder + "/directory.ldb";
    {
        auto backend = OpenLdbDirectory(ldbPath, LdbOptions{true, true, false});
        (void)LoadEntries(*backend, d.entries);
    }
    d.config = folder + "/platform.conf";
    std::ofstream(d.config) << "state_dir = " << folder << "\ndirectory = ldb://" << ldbPath
                            << "\nserver.computer_name = mailsrv1\n"
                               "server.domain_dns_name = example.com\n";
    setenv("QUELLIX_CONFIG", d.config.c_str(), 1);
    return d;
}

}  // namespace localplatform::directory::testing
