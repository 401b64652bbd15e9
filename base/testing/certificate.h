// Test support: a self-signed certificate made with openssl, for servers a
// test starts with TLS.
#pragma once

#include <string>

namespace platform::testing {

// Writes a self-signed certificate to certPath and its key to keyPath, the
// certificate for subjectAltName san ("IP:127.0.0.1", "DNS:localhost");
// returns "" or, when openssl failed twice, what it said.
[[nodiscard]] std::string MakeCertificate(const std::string& san, const std::string& certPath,
                                          const std::string& keyPath);

}  // namespace platform::testing
