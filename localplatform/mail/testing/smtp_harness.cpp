#include "localplatform/mail/testing/smtp_harness.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "base/error.h"
#include "base/testing/server_process.h"

namespace localplatform::mailtest {

namespace fs = std::filesystem;
namespace pt = platform::testing;

int SmtpSink::FreePort() {
    return pt::FreeLoopbackPort();
}

SmtpSink::SmtpSink(const std::string& workDir, const SmtpSinkOptions& options) : workDir_(workDir) {
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
    // The sink's folder on the module path, in place of the tests' own.
    std::vector<std::string> args = {"/usr/bin/env",
                                     std::string("PYTHONPATH=") + QUELLIX_SMTP_SINK_DIR,
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
    if (options.silentAfterData) args.push_back("stall");
    try {
        pid_ = pt::StartServer(args, workDir_ + "/smtp-server.log", port_);
        return true;
    } catch (const platform::Error& e) {
        pid_ = -1;
        why = e.Description();
        return false;
    }
}

void SmtpSink::Stop() {
    pt::StopServer(pid_, port_);
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
        std::istringstream lines(pt::ReadWholeFile(env));
        std::string line;
        std::getline(lines, m.mailFrom);
        while (std::getline(lines, line)) {
            if (!line.empty()) m.rcptTo.push_back(line);
        }
        fs::path eml = env;
        m.data = pt::ReadWholeFile(eml.replace_extension(".eml"));
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace localplatform::mailtest
