// A TCP proxy on loopback between an IMAP client and a real server that
// fails the connection at a chosen point, once: what a network or a server
// does on its own, made to happen on demand. Every other connection, and
// the chosen one until its point, is relayed byte for byte.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace localplatform::testing {

class ImapFaultProxy {
public:
    enum class Fault {
        kDropBeforeReply,  // the command reaches the server; its reply never reaches the client
        kDropAfterReply,   // the reply is relayed, then the connection is closed
        kCutReply,         // half of the reply's first bytes are relayed, then it is closed
        kStallBeforeReply  // the command reaches the server; nothing more is relayed
    };

    // Relays 127.0.0.1:Port() to 127.0.0.1:serverPort. The fault comes at
    // the first command the client sends that holds command (without regard
    // to case), or at the greeting when command is empty; the reply is what
    // the server sends next.
    ImapFaultProxy(int serverPort, std::string command, Fault fault);
    ~ImapFaultProxy();
    ImapFaultProxy(const ImapFaultProxy&) = delete;
    ImapFaultProxy& operator=(const ImapFaultProxy&) = delete;

    [[nodiscard]] int Port() const { return port_; }
    // Whether the fault has come.
    [[nodiscard]] bool Struck() const { return struck_; }

private:
    void Serve();

    int serverPort_;
    std::string command_;
    Fault fault_;
    int listener_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};  // written to end the proxy
    std::atomic<bool> struck_{false};
    std::thread thread_;
};

}  // namespace localplatform::testing
