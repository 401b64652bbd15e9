#include "localplatform/store/testing/imap_fault_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>
#include <vector>

namespace localplatform::testing {

namespace {

std::string Folded(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// One client's connection and the proxy's to the server for it.
struct Pair {
    enum class Phase { kRelay, kAwaitReply, kStalled, kClosed };
    int client = -1;
    int server = -1;
    Phase phase = Phase::kRelay;

    void Close() {
        if (client >= 0) ::close(client);
        if (server >= 0) ::close(server);
        client = server = -1;
        phase = Phase::kClosed;
    }
};

}  // namespace

ImapFaultProxy::ImapFaultProxy(int serverPort, std::string command, Fault fault)
    : serverPort_(serverPort), command_(Folded(std::move(command))), fault_(fault) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("the IMAP fault proxy could not listen on loopback");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ImapFaultProxy::~ImapFaultProxy() {
    (void)!::write(wake_[1], "x", 1);
    thread_.join();
    for (const int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void ImapFaultProxy::Serve() {
    std::vector<Pair> pairs;
    std::array<char, 65536> buffer{};
    for (;;) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const Pair& p : pairs) {
            if (p.phase == Pair::Phase::kClosed || p.phase == Pair::Phase::kStalled) continue;
            fds.push_back({p.client, POLLIN, 0});
            fds.push_back({p.server, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents != 0) break;
        if ((fds[1].revents & POLLIN) != 0) {
            Pair p;
            p.client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            p.server = ConnectTo(serverPort_);
            if (p.client < 0 || p.server < 0) {
                p.Close();
            } else if (command_.empty() && !struck_.exchange(true)) {
                // The greeting is the reply.
                p.phase = fault_ == Fault::kStallBeforeReply ? Pair::Phase::kStalled
                                                             : Pair::Phase::kAwaitReply;
            }
            pairs.push_back(p);
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Pair* pair = nullptr;
            for (Pair& p : pairs)
                if (p.phase != Pair::Phase::kClosed &&
                    (p.client == fds[i].fd || p.server == fds[i].fd))
                    pair = &p;
            if (pair == nullptr || pair->phase == Pair::Phase::kStalled) continue;
            const bool fromClient = fds[i].fd == pair->client;
            const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                pair->Close();
                continue;
            }
            const auto size = static_cast<size_t>(n);
            if (fromClient) {
                const bool strikes =
                    pair->phase == Pair::Phase::kRelay && !command_.empty() && !struck_ &&
                    Folded(std::string(buffer.data(), size)).find(command_) != std::string::npos;
                if (!SendAll(pair->server, buffer.data(), size)) pair->Close();
                if (strikes && pair->phase != Pair::Phase::kClosed) {
                    struck_ = true;
                    pair->phase = fault_ == Fault::kStallBeforeReply ? Pair::Phase::kStalled
                                                                     : Pair::Phase::kAwaitReply;
                }
                continue;
            }
            // A continuation request ("+ ") is no reply: the command goes on.
            const bool reply = pair->phase == Pair::Phase::kAwaitReply && buffer[0] != '+';
            if (!reply) {
                if (!SendAll(pair->client, buffer.data(), size)) pair->Close();
                continue;
            }
            if (fault_ == Fault::kDropAfterReply) (void)SendAll(pair->client, buffer.data(), size);
            if (fault_ == Fault::kCutReply) (void)SendAll(pair->client, buffer.data(), size / 2);
            pair->Close();
        }
        std::erase_if(pairs, [](const Pair& p) { return p.phase == Pair::Phase::kClosed; });
    }
    for (Pair& p : pairs) p.Close();
}

}  // namespace localplatform::testing
