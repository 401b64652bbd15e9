#include "localplatform/store/imap/host_lookup.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "localplatform/store/imap/imap_session_faults.h"

#ifdef QUELLIX_IMAP_FAULTS
#include <thread>
#endif

namespace localplatform::imap {
namespace {

using Clock = std::chrono::steady_clock;

// One request to the resolver: getaddrinfo_a keeps pointers to all of it
// until the request is done or cancelled.
struct Request {
    std::string host;
    std::string port;
    addrinfo hints{};
    gaicb cb{};
};

void Free(std::unique_ptr<Request> request) {
    if (request->cb.ar_result != nullptr) freeaddrinfo(request->cb.ar_result);
}

// Requests given up before the resolver answered; freed once it has. The
// list is never destroyed: glibc's resolver thread may still write into a
// request when the process exits or the module that made it is unloaded,
// and memory it writes must stay allocated until then.
struct Abandoned {
    std::mutex mutex;
    std::vector<std::unique_ptr<Request>> requests;
};
Abandoned& AbandonedRequests() {
    static auto* abandoned = new Abandoned();  // NOLINT(cppcoreguidelines-owning-memory)
    return *abandoned;
}

void ReapAbandoned() {
    Abandoned& abandoned = AbandonedRequests();
    const std::lock_guard<std::mutex> lock(abandoned.mutex);
    auto& requests = abandoned.requests;
    auto done = std::partition(requests.begin(), requests.end(),
                               [](const auto& r) { return gai_error(&r->cb) == EAI_INPROGRESS; });
    for (auto it = done; it != requests.end(); ++it) Free(std::move(*it));
    requests.erase(done, requests.end());
}

// Gives up request: cancelled when the resolver has not taken it up yet,
// otherwise left to finish and freed by a later lookup.
void Abandon(std::unique_ptr<Request> request) {
    const int cancelled = gai_cancel(&request->cb);
    if (cancelled == EAI_CANCELED || cancelled == EAI_ALLDONE) {
        Free(std::move(request));
        return;
    }
    Abandoned& abandoned = AbandonedRequests();
    const std::lock_guard<std::mutex> lock(abandoned.mutex);
    abandoned.requests.push_back(std::move(request));
}

}  // namespace

HostAddresses LookUpHost(const std::string& host, int port, Clock::time_point deadline) {
    ReapAbandoned();
    auto request = std::make_unique<Request>();
    request->host = host;
    request->port = std::to_string(port);
    request->hints.ai_family = AF_UNSPEC;
    request->hints.ai_socktype = SOCK_STREAM;
    request->cb.ar_name = request->host.c_str();
    request->cb.ar_service = request->port.c_str();
    request->cb.ar_request = &request->hints;
    gaicb* list[] = {&request->cb};
    HostAddresses out;
    out.error = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    if (out.error != 0) return out;
#ifdef QUELLIX_IMAP_FAULTS
    // A resolver that never answers: the whole bound goes by.
    if (faults::stalledLookups) {
        std::this_thread::sleep_until(deadline);
        out.timedOut = true;
        Abandon(std::move(request));
        return out;
    }
#endif
    while ((out.error = gai_error(&request->cb)) == EAI_INPROGRESS) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            out.timedOut = true;
            Abandon(std::move(request));
            return out;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
        const gaicb* waiting[] = {&request->cb};
        // Returns when the request is done, the wait is over or a signal came:
        // the loop tells them apart.
        (void)gai_suspend(waiting, 1, &wait);
    }
    if (out.error == 0) {
        out.list.reset(request->cb.ar_result);
        request->cb.ar_result = nullptr;
    }
    Free(std::move(request));
    return out;
}

}  // namespace localplatform::imap
