#include "base/testing/certificate.h"

#include "base/testing/run_program.h"

namespace platform::testing {

std::string MakeCertificate(const std::string& san, const std::string& certPath,
                            const std::string& keyPath) {
    // Made again once when openssl fails: a failure seen once in a loaded
    // sanitizer run left no trace of its cause, which the second says.
    std::string said;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ProgramOutcome made =
            RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-days", "2", "-subj", "/CN=test", "-addext", "subjectAltName=" + san,
                        "-keyout", keyPath, "-out", certPath});
        if (made.code == 0) return "";
        said = "openssl exited " + std::to_string(made.code) + " (signal " +
               std::to_string(made.signal) + "): " + made.err;
    }
    return said;
}

}  // namespace platform::testing
