#include "selection/testing/server_fixture.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "base/testing/file_text.h"
#include "platform/ado.h"

namespace quellix::testing {

namespace {

std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> out;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) out.push_back(part);
    return out;
}

// The rows directly in the folder at path below the mailbox; none when the
// folder is not there.
std::vector<localplatform::ItemRow> ItemsIn(localplatform::ItemStore& store,
                                            const std::string& alias, const std::string& path,
                                            const std::string& ns) {
    std::vector<std::string> segments = {ns, "MBX", alias};
    for (auto& s : Split(path)) segments.push_back(s);
    auto folder = store.Lookup(segments);
    if (!folder) return {};
    return store.ItemsIn(folder->id);
}

}  // namespace

void ServerFixture::SetUp() {
    // The local zone is UTC in every test, so local and store times agree
    // unless a test sets a bias.
    setenv("TZ", "UTC", 1);
    tzset();
    // ldb loads its modules with RTLD_DEEPBIND, which the sanitizers' runtime
    // refuses; the modules need no deep binding.
    setenv("LDB_MODULES_DISABLE_DEEPBIND", "1", 0);
    temp_ = std::make_unique<platform::testing::TempPlatform>("quellix_sink_test.");
    dir_ = temp_->Dir();
    tmpDir_ = dir_ + "/tmp";
    ASSERT_EQ(mkdir(tmpDir_.c_str(), 0700), 0);
    Configure({});
    Store()->CreateNamespace(kNamespace);
}

void ServerFixture::TearDown() {
    temp_.reset();
}

void ServerFixture::Configure(const std::vector<std::string>& extraLines) {
    extraConfig_ = extraLines;
    std::string lines = std::string("server.computer_name = ") + kServer + "\n" +
                        "server.domain_dns_name = " + kNamespace + "\n" + "temp_dir = " + tmpDir_ +
                        "\n" + "mail.pickup_dir = " + dir_ + "/pickup\n" +
                        "timezone.active_time_bias = 0\n";
    for (const auto& line : extraLines) lines += line + "\n";
    temp_->Configure(lines);
}

std::shared_ptr<localplatform::ItemStore> ServerFixture::Store() {
    // Opening never makes a store: make the configured one, as the
    // administration commands do, when a test first asks for it.
    localplatform::ItemStore::Create();
    return localplatform::ItemStore::ForThisThread();
}

int64_t ServerFixture::Mailbox(const std::string& alias, const std::string& ns,
                               bool systemMailbox) {
    auto store = Store();
    if (!store->Lookup({ns})) store->CreateNamespace(ns);
    return store->CreateMailbox(ns, alias, systemMailbox);
}

int64_t ServerFixture::Folder(const std::string& alias, const std::string& path,
                              const std::string& ns) {
    auto store = Store();
    std::vector<std::string> segments = {ns, "MBX", alias};
    auto node = store->Lookup(segments);
    if (!node) {
        Mailbox(alias, ns);
        node = store->Lookup(segments);
    }
    int64_t id = node->id;
    for (const auto& part : Split(path)) {
        segments.push_back(part);
        auto next = store->Lookup(segments);
        id = next ? next->id : store->CreateFolder(id, part);
    }
    return id;
}

int64_t ServerFixture::Message(int64_t folder, const std::string& subject,
                               platform::Date receivedUtc, bool hidden) {
    auto store = Store();
    const int64_t id = store->SaveMessage(
        folder, MessageText(subject), localplatform::ToStoreTime(receivedUtc), subject + ".EML");
    if (hidden) store->WriteProperties(id, {{"DAV:ishidden", platform::Variant(true)}});
    return id;
}

std::vector<std::string> ServerFixture::Messages(const std::string& alias, const std::string& path,
                                                 const std::string& ns) {
    std::vector<std::string> names;
    for (const auto& row : ItemsIn(*Store(), alias, path, ns)) {
        std::string n = row.name;
        if (n.size() > 4 && n.substr(n.size() - 4) == ".EML") n.resize(n.size() - 4);
        names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ServerFixture::Subjects(const std::string& alias, const std::string& path,
                                                 const std::string& ns) {
    std::vector<std::string> subjects;
    auto store = Store();
    static const std::regex subjectLine("(^|\n)Subject: ([^\r\n]*)");
    for (const auto& row : ItemsIn(*store, alias, path, ns)) {
        const std::string text = store->Content(row.id);
        std::smatch m;
        subjects.push_back(std::regex_search(text, m, subjectLine) ? m[2].str() : "?");
    }
    std::sort(subjects.begin(), subjects.end());
    return subjects;
}

std::string ServerFixture::FileUrl(const std::string& alias, const std::string& path,
                                   const std::string& ns) {
    return "file://./backofficestorage/" + ns + "/MBX/" + alias + (path.empty() ? "" : "/" + path);
}

std::string ServerFixture::HttpUrl(const std::string& alias, const std::string& path,
                                   const std::string& ns) {
    return std::string("http://") + kFqdn + "/exadmin/" + ns + "/mbx/" + alias +
           (path.empty() ? "" : "/" + path);
}

void ServerFixture::Directory(const std::vector<User>& users) {
    LoadEmbeddedDirectory(dir_ + "/directory.ldb", users);
}

std::string ServerFixture::Registration(registration::OnTimerRegistration item) {
    auto store = Store();
    if (!store->Lookup({kNamespace, "MBX", kSystemMailbox}))
        Mailbox(kSystemMailbox, kNamespace, true);
    item.mailboxUrl = FileUrl(kSystemMailbox, "");
    item.timerStartTime = platform::Date::NowUtc().AddDays(-14);
    platform::Error failure(0, "");
    const std::string folder = registration::CreateOnTimerEventRegistration(item, &failure);
    EXPECT_FALSE(folder.empty()) << failure.Description();
    return folder + "/" + registration::kItemName;
}

void ServerFixture::SetItemProperty(const std::string& itemUrl, const std::string& name,
                                    const platform::Variant& value) {
    platform::Record rec;
    rec.Open(itemUrl, nullptr, platform::adModeReadWrite);
    rec.Fields(name).SetValue(value);
    rec.Fields().Update();
    rec.Close();
}

std::string ServerFixture::ReadLog() const {
    return platform::testing::FileText(LogPath());
}

std::string MessageText(const std::string& subject) {
    return "From: Spammer <spam@junk.example>\r\nTo: someone@example.org\r\nSubject: " + subject +
           "\r\nMessage-ID: <" + subject + "@junk.example>\r\nMIME-Version: 1.0\r\n" +
           "Content-Type: text/plain; charset=us-ascii\r\n\r\nBuy now.\r\n";
}

std::vector<std::string> LogLines(const std::string& log) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = log.find("\r\n", start);
        if (end == std::string::npos) {
            EXPECT_EQ(start, log.size()) << "log does not end with CR LF";
            break;
        }
        const std::string line = log.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos) << "bare LF in log line: " << line;
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

bool StartsWithNowStamp(const std::string& text) {
    static const std::regex stamp(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
    return std::regex_search(text, stamp);
}

}  // namespace quellix::testing
