#include "localplatform/mail/testing/smtp_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace localplatform::mailtest {
namespace {

namespace fs = std::filesystem;

// Owns a socket descriptor.
struct Socket {
    int fd;
    explicit Socket(int f) : fd(f) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
};

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool Answers(int port) {
    const Socket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd < 0) return false;
    const sockaddr_in a = Loopback(port);
    return connect(s.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

int SmtpSink::FreePort() {
    const Socket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s.fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        throw std::runtime_error(std::string("bind 127.0.0.1:0: ") + std::strerror(errno));
    }
    return ntohs(a.sin_port);
}

SmtpSink::SmtpSink(const std::string& workDir, SmtpSinkOptions options) : workDir_(workDir) {
    inbox_ = workDir_ + "/smtp-inbox";
    implicitTls_ = options.implicitTls && !options.tlsCert.empty();
    fs::create_directories(inbox_);
    std::string why;
    // The free port may be taken between asking and binding: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (Start(options, why)) return;
    }
    throw std::runtime_error("the test SMTP server did not start: " + why);
}

SmtpSink::~SmtpSink() {
    Stop();
}

std::string SmtpSink::Url() const {
    return (implicitTls_ ? "smtps://127.0.0.1:" : "smtp://127.0.0.1:") + std::to_string(port_);
}

bool SmtpSink::Start(const SmtpSinkOptions& options, std::string& why) {
    port_ = FreePort();
    const std::string log = workDir_ + "/smtp-server.log";
    // setpriv makes the server die with the test process, even when a failed
    // test never reaches Stop().
    std::vector<std::string> args = {"/usr/bin/setpriv",
                                     "--pdeathsig",
                                     "KILL",
                                     QUELLIX_SMTP_PYTHON,
                                     "-m",
                                     "aiosmtpd",
                                     "-n",
                                     "-l",
                                     "127.0.0.1:" + std::to_string(port_)};
    if (!options.tlsCert.empty() && options.implicitTls) {
        args.insert(args.end(), {"--smtpscert", options.tlsCert, "--smtpskey", options.tlsKey});
    } else if (!options.tlsCert.empty()) {
        args.insert(args.end(),
                    {"--tlscert", options.tlsCert, "--tlskey", options.tlsKey, "--no-requiretls"});
    }
    args.insert(args.end(), {"-c", "smtp_sink.FolderSink", inbox_});
    if (!options.rejectRecipientsContaining.empty()) {
        args.push_back("reject=" + options.rejectRecipientsContaining);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The environment of the tests, with the sink's folder on the module path.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PYTHONPATH=", 11) != 0) env.emplace_back(*e);
    }
    env.push_back(std::string("PYTHONPATH=") + QUELLIX_SMTP_SINK_DIR);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        why = std::string("posix_spawn ") + argv[0] + ": " + std::strerror(rc);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Answers(port_)) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            why = ReadFile(log);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Stop();
    why = "no answer on port " + std::to_string(port_) + " within 30 s; " + ReadFile(log);
    return false;
}

void SmtpSink::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::vector<ReceivedMail> SmtpSink::Messages() const {
    std::vector<fs::path> envs;
    for (const auto& e : fs::directory_iterator(inbox_)) {
        if (e.path().extension() == ".env") envs.push_back(e.path());
    }
    std::sort(envs.begin(), envs.end());
    std::vector<ReceivedMail> out;
    for (const auto& env : envs) {
        ReceivedMail m;
        std::istringstream lines(ReadFile(env));
        std::string line;
        std::getline(lines, m.mailFrom);
        while (std::getline(lines, line)) {
            if (!line.empty()) m.rcptTo.push_back(line);
        }
        fs::path eml = env;
        m.data = ReadFile(eml.replace_extension(".eml"));
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace localplatform::mailtest
