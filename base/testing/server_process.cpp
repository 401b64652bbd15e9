#include "base/testing/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/error.h"

extern char** environ;

namespace platform::testing {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& object,
                       const std::string& reason) {
    throw platform::Error(platform::err::kFail, platform::Describe(what, object, reason, 0));
}

sockaddr_in Loopback(int port, const std::string& address = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
        Fail("inet_pton", address, "not an IPv4 address");
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

}  // namespace

int FreeLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool PortAnswers(int port, const std::string& address) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(port, address);
    const bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WritePrivateFile(const std::string& path, const std::string& text, unsigned mode) {
    {
        std::ofstream out(path, std::ios::trunc);
        out << text;
        if (!out) Fail("write", path, std::strerror(errno));
    }
    if (::chmod(path.c_str(), mode) != 0) Fail("chmod", path, std::strerror(errno));
}

pid_t StartServer(const std::vector<std::string>& args, const std::string& logPath, int port,
                  const std::string& address) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    // setpriv makes the server die with the test process, even when a failed
    // test never reaches the teardown.
    std::vector<std::string> full = {"/usr/bin/setpriv", "--pdeathsig", "KILL"};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(full.size() + 1);
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) Fail("start", args[0], std::strerror(rc));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (PortAnswers(port, address)) return pid;
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == pid) {
            Fail("start", args[0], "the server exited: " + ReadWholeFile(logPath));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StopServer(pid, port, address);
    Fail("start", args[0], "the server did not answer within 20 s: " + ReadWholeFile(logPath));
}

void StopServer(pid_t pid, int port, const std::string& address) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int st = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The master's children leave after it; a test of a stopped server must
    // find it stopped.
    const auto quiet = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (PortAnswers(port, address) && std::chrono::steady_clock::now() < quiet)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace platform::testing
