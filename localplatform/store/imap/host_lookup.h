// A host name's addresses, looked up within a deadline. getaddrinfo blocks
// for as long as the resolver takes, its own timeouts and retries over every
// name server adding up to far more than a connect bound; here the lookup
// runs in the C library's resolver thread (getaddrinfo_a) and is waited for
// until the deadline only. A lookup given up is left to finish on its own
// and its memory freed by a later lookup, so nothing is freed while the
// resolver may still write into it.
#pragma once

#include <netdb.h>

#include <chrono>
#include <memory>
#include <string>

namespace localplatform::imap {

struct HostAddresses {
    // 0, or getaddrinfo's EAI_ code (gai_strerror says what it means).
    int error = 0;
    // The deadline came before the resolver's answer.
    bool timedOut = false;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list{nullptr, &freeaddrinfo};
};

// The TCP addresses of host (a name or a literal address) for port, or why
// there are none. Never waits past deadline.
HostAddresses LookUpHost(const std::string& host, int port,
                         std::chrono::steady_clock::time_point deadline);

}  // namespace localplatform::imap
