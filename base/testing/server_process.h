// What the test servers' harnesses share: a free loopback port, a server
// started in the foreground as a child that dies with the test process, a
// bounded wait until it answers, and its stop.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform::testing {

[[nodiscard]] int FreeLoopbackPort();
// Whether port of address (another loopback address, where a test runs
// servers side by side on one port) takes a connection.
[[nodiscard]] bool PortAnswers(int port, const std::string& address = "127.0.0.1");

// Starts args (the server in the foreground) with its output appended to
// logPath, and waits up to 20 s until port answers. Raises platform::Error
// (kFail) with the log when it exits or does not answer.
[[nodiscard]] pid_t StartServer(const std::vector<std::string>& args, const std::string& logPath,
                                int port, const std::string& address = "127.0.0.1");
// Ends the server (SIGTERM, then SIGKILL after 10 s) and waits, bounded,
// until its port no longer answers. Does nothing for pid <= 0.
void StopServer(pid_t pid, int port, const std::string& address = "127.0.0.1");

[[nodiscard]] std::string ReadWholeFile(const std::string& path);
void WritePrivateFile(const std::string& path, const std::string& text, unsigned mode);

}  // namespace platform::testing
