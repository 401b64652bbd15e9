#include "localplatform/process/process_identity.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>

namespace localplatform {

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
    return buf;
}

std::string ProcessToken(int64_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return "";
    // The command name (field 2) may hold blanks and parentheses: count the
    // fields after its last ')'. starttime is field 22.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return "";
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    for (int n = 3; n <= 22 && (rest >> field); ++n) {
        if (n == 22) {
            std::string boot;
            std::ifstream("/proc/sys/kernel/random/boot_id") >> boot;
            return boot + ":" + field;
        }
    }
    return "";
}

bool ProcessGone(int64_t pid, const std::string& token) {
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) return true;
    return !token.empty() && ProcessToken(pid) != token;
}

}  // namespace localplatform
