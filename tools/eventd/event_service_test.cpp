// The event service, run as a program against a private platform: a real
// store holding registration items, the class registry, the component
// catalog, the component host, and probe sinks that record what a firing
// did from inside the surrogate (or crash, or hang).
#include "tools/eventd/event_service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/date.h"
#include "base/testing/contains.h"
#include "base/testing/file_text.h"
#include "base/testing/run_program.h"
#include "base/testing/system_account.h"
#include "localplatform/catalog/component_catalog.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_test_support.h"
#include "platform/com.h"
#include "registration/registration.h"
#include "tools/eventd/firing_record.h"

namespace {

using platform::testing::Contains;

using eventd::IsoUtc;
using localplatform::testing::TempStore;

constexpr const char* kSystemMailbox = "SystemMailbox{7E1F}";
constexpr int64_t kDay = 86400;

// ---- The schedule: start plus whole intervals

TEST(TimerSchedule, LatestAndNextFiring) {
    const eventd::TimerSchedule daily{1000, kDay};
    struct Case {
        int64_t after, upTo;
        std::optional<int64_t> want;
    } cases[] = {
        {0, 999, std::nullopt},                 // before the start
        {0, 1000, 1000},                        // the start itself is due
        {1000, 1000 + kDay - 1, std::nullopt},  // fired at the start: nothing until a day later
        {1000, 1000 + kDay, 1000 + kDay},       // one interval later
        {1000, 1000 + 3 * kDay + 5, 1000 + 3 * kDay},  // several due: the latest only
        {1000 + kDay, 1000 + kDay, std::nullopt},      // (after, upTo] is empty
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eventd::LatestFiring(daily, c.after, c.upTo), c.want) << c.after << " " << c.upTo;
    }
    EXPECT_EQ(eventd::NextFiring(daily, 0), 1000);
    EXPECT_EQ(eventd::NextFiring(daily, 1000), 1000 + kDay);
    EXPECT_EQ(eventd::NextFiring(daily, 1000 + kDay - 1), 1000 + kDay);
    // A start in the past and instants before 1970 work the same way.
    const eventd::TimerSchedule early{-10 * kDay - 7, kDay};
    EXPECT_EQ(eventd::LatestFiring(early, -kDay, 0), -7);
    EXPECT_EQ(eventd::NextFiring(early, -7), kDay - 7);
    // A timer without an interval fires once.
    const eventd::TimerSchedule once{500, 0};
    EXPECT_EQ(eventd::LatestFiring(once, 0, 10000), 500);
    EXPECT_EQ(eventd::LatestFiring(once, 500, 10000), std::nullopt);
    EXPECT_EQ(eventd::NextFiring(once, 500), std::nullopt);
}

TEST(FiringRecord, SurvivesARoundTripAndRefusesAMalformedFile) {
    TempStore temp;
    const std::string path = temp.Dir() + "/record";
    auto r = eventd::FiringRecord::Load(path);  // missing: empty
    EXPECT_FALSE(r.LastFiring("a").has_value());
    r.SetLastFiring("file://./backofficestorage/x/MBX/s/StoreEvents/GlobalEvents/a b.reg", -5);
    r.SetLastFiring("other", 7);
    r.Save();
    const auto back = eventd::FiringRecord::Load(path);
    EXPECT_EQ(
        back.LastFiring("file://./backofficestorage/x/MBX/s/StoreEvents/GlobalEvents/a b.reg"), -5);
    EXPECT_EQ(back.LastFiring("other"), 7);
    for (const char* bad : {"x\turl\n", "12\n", "12\t\n", "\turl\n"}) {
        std::ofstream(path) << bad;
        EXPECT_THROW(eventd::FiringRecord::Load(path), platform::Error) << bad;
    }
    // A FIFO at the temporary name or at the record itself never blocks the
    // service: the first is replaced, the second refused.
    ASSERT_EQ(mkfifo((path + ".tmp").c_str(), 0600), 0);
    r.Save();
    EXPECT_EQ(eventd::FiringRecord::Load(path).LastFiring("other"), 7);
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_THROW(eventd::FiringRecord::Load(path), platform::Error);
}

// ---- The service as a program

// Before it opens anything a program that fires timers checks what it was
// given: an instant of any but the one documented form, or one the calendar
// lacks, says why (usage); a configuration named and missing is an error.
// Neither makes state where the defaults would have put it.
TEST(EventServiceProgram, ABadInstantOrAMissingConfigurationIsRefusedAndMakesNothing) {
    TempStore temp;
    const std::string missing = temp.Dir() + "/missing.conf";
    const std::string unopened = "open(" + missing + ") failed";
    const bool stateBefore = std::filesystem::exists("/var/lib/quellix");
    const struct {
        std::vector<std::string> command;
        int code;
        std::string says;
    } cases[] = {
        {{QUELLIX_EVENTD_PATH, "--config", missing, "--list"}, 1, unopened},
        {{QUELLIX_HOST_PATH, "--config", missing, "ontimer", "file://./x"}, 1, unopened},
        {{QUELLIX_EVENTD_PATH, "--config", missing, "--once", "2026-12-07 10:00"},
         2,
         "not a time of the form yyyy-mm-ddThh:mm:ssZ"},
        {{QUELLIX_EVENTD_PATH, "--config", missing, "--once", "2026-02-30T10:00:00Z"},
         2,
         "there is no day 30: February 2026 has 28 days"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command[3] + " " + c.command.back());
        const auto o = platform::testing::RunProgram(c.command);
        EXPECT_EQ(o.code, c.code);
        EXPECT_TRUE(Contains(o.err, c.says)) << o.err;
    }
    EXPECT_EQ(std::filesystem::exists("/var/lib/quellix"), stateBefore);
}

using Outcome = platform::testing::ProgramOutcome;
using platform::testing::RunProgram;

class EventServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        temp_ = std::make_unique<TempStore>(
            2000,
            "eventd.run_limit_s = 2\neventd.lock_wait_ms = 20000\neventd.poll_ms = 100\n"
            "eventd.host = " QUELLIX_HOST_PATH "\n");
        config_ = temp_->Dir() + "/platform.conf";
        probeOut_ = temp_->Dir() + "/probe.out";
        if (geteuid() == 0) {
            // As root the service runs components only under an account of
            // their own: a real one, with a folder of its own for the
            // probes to write in, beside root's state as a deployment has it.
            std::string why;
            account_ = platform::testing::SystemAccount::Create("qxev", &why);
            ASSERT_TRUE(account_) << why;
            ASSERT_EQ(chmod(temp_->Dir().c_str(), 0755), 0);
            const std::string data = temp_->Dir() + "/data";
            ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
            ASSERT_EQ(chown(data.c_str(), account_->Uid(), account_->Gid()), 0);
            probeOut_ = data + "/probe.out";
        }
        setenv("QUELLIX_PROBE_OUT", probeOut_.c_str(), 1);
        auto store = localplatform::ItemStore::ForThisThread();
        store->CreateNamespace("example.test");
        store->CreateMailbox("example.test", kSystemMailbox, true);
        ASSERT_EQ(platform::CallModuleRegistration(QUELLIX_PROBE_MODULE, false), platform::S_OK);
        // The probes' component application, running as the service's own
        // account until a test says otherwise.
        auto catalog = localplatform::ComponentCatalog::OpenCurrent(true);
        localplatform::CatalogApplication app;
        app.id = "{4F1C2B3A-5D6E-4F70-8192-A3B4C5D6E7F8}";
        app.name = "Probes";
        if (account_) app.identity = account_->Name();
        catalog.SaveApplications({{localplatform::ApplicationChange::Kind::Add, app}});
        ASSERT_FALSE(catalog.InstallComponents("Probes", QUELLIX_PROBE_MODULE).empty());
    }
    void TearDown() override {
        unsetenv("QUELLIX_PROBE_OUT");
        temp_.reset();
        account_.reset();
    }

    // The account the probes run as: the test's own, or (as root) the
    // service account made for the test.
    std::string Identity() const { return account_ ? account_->Name() : ""; }

    // Sets the probes' application's identity as it stands in the catalog
    // file, past the catalog's own checks: what an identity that was sound
    // when it was saved (an account since locked) leaves there.
    void SetIdentityInTheFile(const std::string& identity) {
        auto db = localplatform::SqliteDb::Open(temp_->Dir() + "/catalog.db",
                                                {.create = false, .source = "test"});
        db.Prepare("UPDATE applications SET identity = ?1 WHERE name = 'Probes'")
            .Bind(1, identity)
            .Run();
    }

    static std::string MailboxUrl() { return TempStore::FileBase() + "/" + kSystemMailbox; }
    static std::string ItemUrl(const std::string& name = registration::kItemName) {
        return MailboxUrl() + "/StoreEvents/GlobalEvents/" + name;
    }

    // Writes a registration for the probe class, starting at start and
    // repeating every interval minutes; run 0 writes it disabled.
    void Register(const std::string& progId, int64_t start, int16_t intervalMinutes = 1440,
                  int16_t run = 1, const std::string& name = registration::kItemName) {
        registration::OnTimerRegistration item;
        item.mailboxUrl = MailboxUrl();
        item.itemName = name;
        item.sinkClass = progId;
        item.timerStartTime = platform::Date::FromUnixSeconds(start);
        item.timerInterval = intervalMinutes;
        item.run = run;
        platform::Error failure(0, "");
        ASSERT_FALSE(registration::CreateOnTimerEventRegistration(item, &failure).empty())
            << failure.Description();
    }

    // The item's last-written time: the schedule counts from it.
    int64_t Written(const std::string& name = registration::kItemName) {
        auto store = localplatform::ItemStore::ForThisThread();
        return store
            ->Require({"example.test", "MBX", kSystemMailbox, "StoreEvents", "GlobalEvents", name},
                      name)
            .modified;
    }

    Outcome Once(int64_t at) {
        return RunProgram({QUELLIX_EVENTD_PATH, "--config", config_, "--once", IsoUtc(at)});
    }
    // What --once at fires once at has come, in this process: the test plays
    // the clock (the program waits for an instant ahead). Its lines are the
    // program's, in err.
    Outcome FireDueAt(int64_t at) {
        eventd::ServiceOptions options;
        options.hostPath = QUELLIX_HOST_PATH;
        options.configPath = config_;
        options.recordPath = temp_->Dir() + "/eventd.record";  // the program's record
        options.runLimit = std::chrono::seconds(2);
        Outcome o;
        eventd::EventService service(
            options,
            // The application's identity as the catalog holds it, as the
            // program looks it up.
            [](const std::string&, std::string*) {
                const auto app =
                    localplatform::ComponentCatalog::OpenCurrent().FindApplication("Probes");
                return eventd::Hosting{"Probes", app ? app->identity : "", std::nullopt};
            },
            [&o](platform::LogPriority, const std::string& line) {
                o.err += "quellix-eventd: " + line + "\n";
            });
        o.code = service.FireDue(at, at) == 0 ? 0 : 1;
        return o;
    }
    // quellix-eventd on this test's configuration with args, started and
    // left running, its standard error written to errPath.
    pid_t StartEventd(std::vector<std::string> args, const std::string& errPath) const {
        args.insert(args.begin(), {QUELLIX_EVENTD_PATH, "--config", config_});
        return platform::testing::StartProgram(args, errPath);
    }
    // Whether the file at path comes to hold text within ten seconds.
    static bool WaitForText(const std::string& path, const std::string& text) {
        for (int i = 0; i < 200; ++i) {
            if (platform::testing::FileText(path).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Stops a program StartEventd started; its exit status (-1: a signal ended it).
    static int Stop(pid_t pid) {
        kill(pid, SIGTERM);
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }
    std::vector<std::string> Fired() {
        std::vector<std::string> lines;
        std::istringstream in(platform::testing::FileText(probeOut_));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }

    std::unique_ptr<platform::testing::SystemAccount> account_;
    std::unique_ptr<TempStore> temp_;
    std::string config_, probeOut_;
};

// A disabled registration never fires. Rewritten enabled at another time of
// day it fires on the new schedule only: at the first instant after it was
// written, not a second before (the schedule's other instants are its own
// test's); deleted, it fires no more.
TEST_F(EventServiceTest, FiresOnItsScheduleOnlyWhileItIsEnabledAndThere) {
    const int64_t now = std::time(nullptr);
    Register("Probe.Record", now - 14 * kDay + 3600, 1440, /*run=*/0);  // next at now + 1 h
    Outcome o = FireDueAt(now + 3600);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Fired().empty()) << o.err;

    Register("Probe.Record", now - 14 * kDay + 7200);
    const int64_t next = now + 7200;
    ASSERT_GE(next, Written());
    o = FireDueAt(next - 1);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Fired().empty()) << o.err;
    o = FireDueAt(next);
    EXPECT_EQ(o.code, 0) << o.err;
    ASSERT_EQ(Fired().size(), 1u) << o.err;
    EXPECT_TRUE(Contains(Fired()[0], "url=" + ItemUrl()));
    EXPECT_TRUE(Contains(o.err, "fired Probe.Record(" + ItemUrl() + ") due " + IsoUtc(next)));
    EXPECT_TRUE(Contains(o.err, "completed"));

    // --list shows the last and the next firing.
    o = RunProgram({QUELLIX_EVENTD_PATH, "--config", config_, "--list"});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Contains(o.out, ItemUrl() + "\tProbe.Record\tenabled"));
    EXPECT_TRUE(Contains(o.out, "last " + IsoUtc(next)));
    EXPECT_TRUE(Contains(o.out, "next " + IsoUtc(next + kDay)));

    auto store = localplatform::ItemStore::ForThisThread();
    ASSERT_TRUE(
        store->DeleteItem(store
                              ->Require({"example.test", "MBX", kSystemMailbox, "StoreEvents",
                                         "GlobalEvents", registration::kItemName},
                                        "reg")
                              .id));
    o = FireDueAt(next + 5 * kDay);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(Fired().size(), 1u) << o.err;
}

// --once with an instant still ahead waits for it and fires then what is
// due, recording each firing as what it was; several at once (or a service
// and a --once) never fire a timer twice: the lock file serialises them and
// the record tells the later ones what fired. A sink that crashes or hangs
// is contained: it is said, the hanging run is ended at its limit, and the
// next registration still fires.
TEST_F(EventServiceTest, OnceFiresWhatIsDueAtItsInstantOnceAndContainsCrashesAndHangs) {
    // Far enough ahead that all four have started, on a loaded machine,
    // before it comes.
    const int64_t at = std::time(nullptr) + 4;
    Register("Probe.Crash", at - 14 * kDay, 1440, 1, "a-crash.reg");
    Register("Probe.Hang", at - 14 * kDay, 1440, 1, "b-hang.reg");
    Register("Probe.Record", at - 14 * kDay, 1440, 1, "c-record.reg");
    ASSERT_GE(at, Written("c-record.reg"));
    std::vector<Outcome> outcomes(4);
    std::vector<std::thread> threads;
    threads.reserve(outcomes.size());
    for (auto& o : outcomes) threads.emplace_back([&, at] { o = Once(at); });
    for (auto& t : threads) t.join();
    EXPECT_GE(std::time(nullptr), at);
    std::string firer;  // what the one that fired said
    for (const auto& o : outcomes) {
        EXPECT_TRUE(Contains(o.err, "waiting until " + IsoUtc(at))) << o.err;
        if (!Contains(o.err, "fired ")) {
            EXPECT_EQ(o.code, 0) << o.err;
            continue;
        }
        EXPECT_TRUE(firer.empty()) << "fired twice:\n" << firer << o.err;
        firer = o.err;
        EXPECT_EQ(o.code, 1) << o.err;  // two firings failed
    }
    EXPECT_TRUE(Contains(firer, "Probe.Crash(" + ItemUrl("a-crash.reg") + ") crashed (SIGABRT)"))
        << firer;
    EXPECT_TRUE(Contains(
        firer, "Probe.Hang(" + ItemUrl("b-hang.reg") + ") ran past its limit and was ended"));
    EXPECT_TRUE(Contains(firer, "(limit 2 s)"));
    EXPECT_TRUE(
        Contains(firer, "fired Probe.Record(" + ItemUrl("c-record.reg") + ") due " + IsoUtc(at)));
    ASSERT_EQ(Fired().size(), 1u) << firer;
    EXPECT_TRUE(Contains(Fired()[0], "c-record.reg"));
    EXPECT_EQ(eventd::FiringRecord::Load(temp_->Dir() + "/eventd.record")
                  .LastFiring(ItemUrl("c-record.reg")),
              at);
}

// The surrogate runs as the identity of the class's component application
// and gets its construction string; a service running as root runs nothing
// as uid 0 (by any name, or by the catalog's default, its own account) nor
// as an account that is locked, expired or gone. Without the right to
// switch accounts nothing runs.
TEST_F(EventServiceTest, RunsUnderTheApplicationsIdentityAndNeverAsRoot) {
    const int64_t now = std::time(nullptr);
    Register("Probe.Record", now - 14 * kDay + 2);
    auto catalog = localplatform::ComponentCatalog::OpenCurrent(true);
    auto app = *catalog.FindApplication("Probes");
    std::vector<localplatform::CatalogComponent> changed;
    for (auto c : catalog.Components(app.id)) {
        c.constructionEnabled = true;
        c.constructorString = "Spam\r14";
        changed.push_back(c);
    }
    catalog.SaveComponents(app.id, changed, {});

    if (geteuid() != 0) {
        SetIdentityInTheFile("nobody");
        const Outcome o = Once(now + 2);
        EXPECT_EQ(o.code, 1);
        EXPECT_TRUE(Contains(o.err, "cannot run as nobody"));
        EXPECT_TRUE(Fired().empty());
        GTEST_SKIP() << "switching identity and making accounts need root; checked the refusal";
    }
    Outcome o = Once(now + 2);
    EXPECT_EQ(o.code, 0) << o.err;
    ASSERT_EQ(Fired().size(), 1u) << o.err;
    EXPECT_TRUE(Contains(Fired()[0], "uid=" + std::to_string(account_->Uid())));
    EXPECT_TRUE(Contains(Fired()[0], "construct=Spam\r14"));
    EXPECT_TRUE(Contains(o.err, " as " + Identity() + " (pid "));

    std::string why;
    const auto toor = platform::testing::SystemAccount::Create("qxtoor", &why, {"-o", "-u", "0"});
    ASSERT_TRUE(toor) << why;
    const auto locked = platform::testing::SystemAccount::Create("qxlock", &why);
    ASSERT_TRUE(locked) << why;
    ASSERT_EQ(RunProgram({"/usr/sbin/usermod", "-p", "$6$x$y", locked->Name()}).code, 0);
    ASSERT_EQ(RunProgram({"/usr/sbin/usermod", "-L", locked->Name()}).code, 0);
    const auto expired = platform::testing::SystemAccount::Create("qxexp", &why);
    ASSERT_TRUE(expired) << why;
    ASSERT_EQ(RunProgram({"/usr/sbin/usermod", "-e", "1970-01-02", expired->Name()}).code, 0);
    auto gone = platform::testing::SystemAccount::Create("qxgone", &why);
    ASSERT_TRUE(gone) << why;
    const std::string goneName = gone->Name();
    gone.reset();
    const struct {
        std::string identity, says;
    } refused[] = {
        {"root", "'root' has uid 0: a component never runs as root"},
        {toor->Name(), "'" + toor->Name() + "' has uid 0"},
        {"Interactive User", "the service's own account, root"},
        {"", "the service's own account, root"},
        {locked->Name(), "the account '" + locked->Name() + "' is locked"},
        {expired->Name(), "the account '" + expired->Name() + "' expired on 1970-01-02"},
        {goneName, "no account named '" + goneName + "'"},
    };
    int64_t at = now + 2;
    for (const auto& r : refused) {
        SetIdentityInTheFile(r.identity);
        at += kDay;
        o = FireDueAt(at);  // a day later each: the test plays the clock
        EXPECT_EQ(o.code, 1) << r.identity;
        EXPECT_TRUE(Contains(o.err, "not fired Probe.Record("));
        EXPECT_TRUE(Contains(o.err, r.says));
        EXPECT_EQ(Fired().size(), 1u) << r.identity;
        // Nor may the catalog be given such an identity.
        if (r.identity.empty() || r.identity == "Interactive User") continue;
        auto a = *catalog.FindApplication("Probes");
        SetIdentityInTheFile(Identity());
        a.identity = r.identity;
        try {
            catalog.SaveApplications({{localplatform::ApplicationChange::Kind::Update, a}});
            ADD_FAILURE() << "the catalog took " << r.identity;
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), localplatform::catalog_err::kUserPasswordNotValid);
            EXPECT_TRUE(Contains(e.Description(), r.says));
        }
    }
}

// The service itself: a firing missed while it was down is reported, not
// made up; one that falls due while it runs fires; a second service is
// refused; a registration written while it runs is seen within a poll.
// Then a --once stopped while it waits fires nothing and records no firing.
TEST_F(EventServiceTest, ServiceReportsMissedFiresDueAndSeesNewRegistrations) {
    const int64_t now = std::time(nullptr);
    Register("Probe.Record", now - 14 * kDay + 1, 1440, 1, "missed.reg");
    Register("Probe.Record", now - 14 * kDay + 60, 1440, 1, "later.reg");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // missed.reg's instant is past

    const std::string err = temp_->Dir() + "/service.err";
    const pid_t pid = StartEventd({}, err);
    auto waitFor = [&](const std::string& text) { return WaitForText(err, text); };
    EXPECT_TRUE(waitFor("missed Probe.Record(" + ItemUrl("missed.reg") + ")"))
        << platform::testing::FileText(err);

    const Outcome second = RunProgram({QUELLIX_EVENTD_PATH, "--config", config_});
    EXPECT_EQ(second.code, 1);
    EXPECT_TRUE(Contains(second.err, "another quellix-eventd (pid " + std::to_string(pid) + ")"));

    // Written while the service runs, due two seconds later.
    Register("Probe.Record", std::time(nullptr) - 14 * kDay + 2, 1440, 1, "new.reg");
    EXPECT_TRUE(waitFor("fired Probe.Record(" + ItemUrl("new.reg") + ")"))
        << platform::testing::FileText(err);
    EXPECT_TRUE(waitFor("completed")) << platform::testing::FileText(err);

    EXPECT_EQ(Stop(pid), 0) << platform::testing::FileText(err);
    ASSERT_EQ(Fired().size(), 1u) << platform::testing::FileText(err);
    EXPECT_TRUE(Contains(Fired()[0], "new.reg"));

    // Nothing holds the lock now: a --once stopped would otherwise go on to fire.
    const std::string onceErr = temp_->Dir() + "/once.err";
    const pid_t once = StartEventd({"--once", IsoUtc(now + 60)}, onceErr);
    EXPECT_TRUE(WaitForText(onceErr, "waiting until"));
    EXPECT_EQ(Stop(once), 1) << platform::testing::FileText(onceErr);
    EXPECT_TRUE(Contains(platform::testing::FileText(onceErr),
                         "stopped before " + IsoUtc(now + 60) + ": nothing fired"));
    EXPECT_EQ(Fired().size(), 1u);
    EXPECT_FALSE(eventd::FiringRecord::Load(temp_->Dir() + "/eventd.record")
                     .LastFiring(ItemUrl("later.reg")));
}

// The service's loop on a clock the test moves: a firing due while the
// previous run of the same registration still runs is skipped, a jump of
// the clock is said, and with catch_up a firing missed while the service was
// down fires once at start-up.
class EventServiceLoop : public EventServiceTest {
protected:
    void TearDown() override {
        Stop();
        EventServiceTest::TearDown();
    }
    // The service's loop on a thread of its own, on clock_, its lines
    // collected; stopped by Stop() or at the test's end.
    void Start(bool catchUp) {
        eventd::ServiceOptions o;
        o.hostPath = QUELLIX_HOST_PATH;
        o.configPath = config_;
        o.recordPath = temp_->Dir() + "/loop.record";
        o.catchUp = catchUp;
        o.poll = std::chrono::milliseconds(50);
        o.runLimit = std::chrono::seconds(3);
        service_ = std::make_unique<eventd::EventService>(
            o,
            [identity = Identity()](const std::string&, std::string*) {
                return eventd::Hosting{"Probes", identity, std::nullopt};
            },
            [this](platform::LogPriority, const std::string& l) {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_ += l + "\n";
            });
        loop_ = std::thread([this] { service_->Run(stop_, [this] { return clock_.load(); }); });
    }
    void Stop() {
        stop_ = true;
        if (loop_.joinable()) loop_.join();
    }
    std::string Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool Has(const std::string& part) { return Lines().find(part) != std::string::npos; }
    bool WaitFor(const std::string& part) {
        for (int i = 0; i < 300 && !Has(part); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Has(part);
    }

    std::atomic<int64_t> clock_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string lines_;
    std::unique_ptr<eventd::EventService> service_;
    std::thread loop_;
};

TEST_F(EventServiceLoop, SkipsAFiringWhileTheLastRunRunsAndSaysAClockJump) {
    const int64_t now = std::time(nullptr);
    Register("Probe.Hang", now - 14 * kDay + 30, /*intervalMinutes=*/1);
    const int64_t next = *eventd::NextFiring({now - 14 * kDay + 30, 60}, Written());
    clock_ = next - 1;
    Start(false);

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(Has("fired")) << Lines();
    clock_ = next;
    EXPECT_TRUE(WaitFor("fired Probe.Hang(" + ItemUrl() + ") due " + IsoUtc(next))) << Lines();
    clock_ = next + 60;  // the next minute, while the first run still hangs
    EXPECT_TRUE(WaitFor("skipped Probe.Hang(" + ItemUrl() + ") due " + IsoUtc(next + 60)))
        << Lines();
    EXPECT_TRUE(WaitFor("clock changed by 6")) << Lines();
    EXPECT_TRUE(WaitFor("ran past its limit and was ended")) << Lines();
}

TEST_F(EventServiceLoop, CatchUpFiresAMissedFiringOnceAtStartUp) {
    const int64_t now = std::time(nullptr);
    Register("Probe.Record", now - 14 * kDay - 3600);  // daily; the last instant an hour ago
    // The item was written before that instant in this story.
    eventd::FiringRecord record = eventd::FiringRecord::Load(temp_->Dir() + "/loop.record");
    record.SetLastFiring(ItemUrl(), now - 14 * kDay - 3600);
    record.Save();
    clock_ = Written() + 2 * kDay;
    Start(true);
    EXPECT_TRUE(WaitFor("completed")) << Lines();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Stop();
    EXPECT_EQ(Fired().size(), 1u) << Lines();
    EXPECT_FALSE(Has("missed")) << Lines();
}

// A store that goes away while the service runs is said once, tried again
// every poll, and used again as soon as it is back.
TEST_F(EventServiceLoop, SurvivesTheStoreGoingAwayAndComingBack) {
    const int64_t now = std::time(nullptr);
    Register("Probe.Record", now - 14 * kDay + 600);
    clock_ = now;
    Start(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string db = temp_->DbPath(), away = db + ".away";
    ASSERT_EQ(std::rename(db.c_str(), away.c_str()), 0);
    EXPECT_TRUE(WaitFor("store unavailable: ")) << Lines();
    ASSERT_EQ(std::rename(away.c_str(), db.c_str()), 0);
    EXPECT_TRUE(WaitFor("store available again")) << Lines();
    clock_ = now + 600;  // and it fires on time
    EXPECT_TRUE(WaitFor("fired Probe.Record(" + ItemUrl() + ")")) << Lines();
    EXPECT_TRUE(WaitFor("completed")) << Lines();
    Stop();
    EXPECT_EQ(Fired().size(), 1u) << Lines();
}

}  // namespace
