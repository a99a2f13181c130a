// Changes of the system clock under running rows, in virtual time: summer time beginning and
// ending (Europe/Berlin), a step back by an hour, a jump forward by a day, and a start with
// the clock far behind the data. No impulse lost, no line before the one above it, no row
// ended early by a step back, and a message whenever the clock jumped.

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "common/strutil.h"
#include "rows_fixture.h"

namespace kvtest {
namespace {

using kv::kSecond;
using kv::TDateTime;

// Universal time running on, shown as local time of the TZ set (the real clock does the
// same): summer time changes the date-time, not the steady time.
class ZonedClock : public kv::Clock {
  public:
    explicit ZonedClock(std::time_t utc) : utc_(static_cast<double>(utc)) {}
    TDateTime now() override {
        const double u = utc_.load();
        const std::time_t secs = static_cast<std::time_t>(std::floor(u));
        std::tm local{};
        localtime_r(&secs, &local);
        return kv::encodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                  local.tm_hour, local.tm_min, local.tm_sec) +
               (u - std::floor(u)) * kSecond;
    }
    void sleepMs(int ms) override { advance(ms / 1000.0); }
    double steadySeconds() override { return utc_.load(); }
    void advance(double seconds) {
        double cur = utc_.load();
        while (!utc_.compare_exchange_weak(cur, cur + seconds)) {
        }
    }

  private:
    std::atomic<double> utc_;
};

// TZ for one test.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old, hadOld_ = true;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (hadOld_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

  private:
    std::string old_;
    bool hadOld_ = false;
};

class ClockChangeTest : public RowsFixture {
  protected:
    void SetUp() override { build(); }

    // A running row on cells 1 and 2 with a value every `minutes`.
    std::shared_ptr<kv::TRow> runningRow(const std::string& name, int minutes, double days) {
        auto r = newRow(name, {1, 2});
        r->Interval = minutes;
        r->SIInterval = kv::TimeUnit::Minutes;
        r->Duration = days;
        r->SIDuration = kv::TimeUnit::Days;
        EXPECT_TRUE(r->StartRow(false));
        for (int s = 1; s <= r->NrCells; ++s) r->StartCellInRow(s, 0);
        return r;
    }
    // Ticks every 20 s of steady time for the given minutes; cell 1 gets an impulse a
    // minute. advance moves whichever clock the test runs on.
    template <typename Advance>
    void run(double minutes, Advance advance) {
        for (int k = 0; k < static_cast<int>(minutes * 3); ++k) {
            if (k % 3 == 0) {
                cells().SetCellCount(1, cells().GetCellCount(1) + 1);
                ++impulses_;
            }
            advance(20.0);
            rows().UpdateAll(false);
        }
    }
    void run(double minutes) {
        run(minutes, [this](double s) { advanceSeconds(s); });
    }
    struct Line {
        TDateTime t;
        int count;
    };
    std::vector<Line> lines(const kv::TRow& r) {
        std::vector<Line> out;
        const std::string content = readFile(r.DataFileName());
        for (auto l : kv::split(content, '\n')) {
            if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
            if (l.empty() || l.find("Date") != std::string_view::npos) continue;
            const auto f = kv::split(l, ';');
            out.push_back(Line{kv::textToDateTime(f[0]), kv::textToInt(f[1])});
        }
        return out;
    }
    // Never a line before the one above it, and counts that never go down.
    void expectInOrder(const kv::TRow& r) {
        const auto ls = lines(r);
        for (size_t k = 1; k < ls.size(); ++k) {
            EXPECT_GE(ls[k].t, ls[k - 1].t) << "line " << k + 1;
            EXPECT_GE(ls[k].count, ls[k - 1].count) << "line " << k + 1;
        }
    }
    int countMessages(const std::string& text) {
        int n = 0;
        for (const auto& m : messages()) n += m.find(text) != std::string::npos;
        return n;
    }

    int impulses_ = 0;
};

// A time server sets the clock back by an hour: the row waits until the clock has passed its
// last value again, counts on, and does not end before its planned time has really passed.
TEST_F(ClockChangeTest, AStepBackByAnHour) {
    auto r = runningRow("Back", 1, 2.0 / 24);  // two hours
    const TDateTime plannedStop = r->Stop;
    run(30);
    ASSERT_EQ(r->iRTV, 30);
    clock_.step(-3600);
    run(1);
    EXPECT_EQ(countMessages("The system clock jumped by -1:00:00"), 1);
    EXPECT_TRUE(hasMessage("take their next value when the clock has passed their last one"));
    // A forced value (the operator asks for one) replaces the newest one.
    ASSERT_TRUE(r->Update(true));
    expectInOrder(*r);
    run(59);
    EXPECT_EQ(r->iRTV, 30);
    run(35);  // the planned stop has passed in real time: the row runs on by the clock
    EXPECT_EQ(r->State, kv::RowState::Running);
    EXPECT_LT(clock_.now(), plannedStop);
    for (int k = 0; k < 70 && r->State == kv::RowState::Running; ++k) run(1);
    EXPECT_EQ(r->State, kv::RowState::Stopped);
    expectInOrder(*r);
    EXPECT_EQ(lines(*r).back().count, impulses_);  // every impulse in the last value
    EXPECT_EQ(countMessages("The system clock jumped"), 1);
}

// The clock jumps a day ahead: no day of filler lines, the row goes on at the next interval.
TEST_F(ClockChangeTest, AJumpForwardByADay) {
    auto r = runningRow("Forward", 10, 3);
    run(60);
    ASSERT_EQ(r->iRTV, 6);
    const TDateTime last = r->RTV[6].dt;
    clock_.step(86400);
    run(20);
    EXPECT_EQ(countMessages("The system clock jumped by +1 d 0:00:00"), 1);
    EXPECT_TRUE(hasMessage("the time skipped has no values"));
    EXPECT_EQ(r->iRTV, 8);
    EXPECT_NEAR(r->RTV[7].dt, last + 1 + 10 * 60 * kSecond, 1e-6);
    expectInOrder(*r);
    // The newest value holds every impulse up to its time (one a minute).
    EXPECT_LE(lines(*r).back().count, impulses_);
    EXPECT_GE(lines(*r).back().count, impulses_ - 10);
    EXPECT_EQ(r->State, kv::RowState::Running);
}

// Europe/Berlin: 29.03.2026 02:00 CET becomes 03:00 CEST; 25.10.2026 03:00 CEST becomes
// 02:00 CET. Each change is one message; the lines stay in order and no impulse is lost.
TEST_F(ClockChangeTest, SummerTimeBeginsAndEnds) {
    ScopedTimeZone tz("Europe/Berlin");
    struct Case {
        std::time_t utcStart;  // 00:00 local time on the day
        const char* jump;
    };
    const Case cases[] = {{1774738800, "+1:00:00"}, {1792879200, "-1:00:00"}};
    for (const Case& c : cases) {
        ZonedClock zoned(c.utcStart);
        kv::ScopedClock scoped(zoned);
        const int msgStart = static_cast<int>(messages().size());
        ASSERT_NEAR(std::fmod(zoned.now(), 1.0), 0.0, 1e-9);
        rows().UpdateAll(false);  // the watch starts
        auto r = runningRow(std::string("Summer ") + c.jump, 10, 1);
        impulses_ = cells().GetCellCount(1);
        const auto advance = [&](double s) { zoned.advance(s); };
        run(6 * 60, advance);
        int jumps = 0;
        const auto all = messages();
        for (size_t k = static_cast<size_t>(msgStart); k < all.size(); ++k)
            jumps += all[k].find(std::string("The system clock jumped by ") + c.jump) !=
                     std::string::npos;
        EXPECT_EQ(jumps, 1) << c.jump;
        expectInOrder(*r);
        const auto ls = lines(*r);
        ASSERT_FALSE(ls.empty());
        // Six hours of steady time: one hour more or less of local time.
        const double localHours = (ls.back().t - ls.front().t) * 24;
        EXPECT_NEAR(localHours, c.jump[0] == '+' ? 6.8 : 4.8, 0.2) << c.jump;
        EXPECT_GE(ls.back().count, impulses_ - 10);
        EXPECT_EQ(r->State, kv::RowState::Running);
        r->StopRow("test");
    }
}

// A computer whose clock battery died starts in the past: every stored line is loaded, the
// operator is told, the file is not rewritten, and once the clock is right the series goes on
// after its last line without dropping what came in between.
TEST_F(ClockChangeTest, AStartWithTheClockFarBehindTheData) {
    auto r = runningRow("Behind", 10, 28);
    run(12 * 60);
    ASSERT_EQ(r->iRTV, 72);
    const std::string stored = readFile(r->DataFileName());
    const TDateTime realNow = clock_.now();

    clock_.set(kv::encodeDateTime(2020, 1, 1, 0));
    {
        auto lock = rows().lock();
        r->AllocRTV();
    }
    r->Reload();
    EXPECT_EQ(r->iRTV, 72);
    EXPECT_EQ(readFile(r->DataFileName()), stored);
    EXPECT_TRUE(hasMessage("is behind the data of meas.series Behind"));
    EXPECT_TRUE(r->bActive);
    rows().UpdateAll(false);
    run(30);  // the clock is still behind: counting goes on, no value is taken
    EXPECT_EQ(r->iRTV, 72);
    EXPECT_EQ(readFile(r->DataFileName()), stored);

    // The clock is set right: a jump forward, and values after the last line again.
    clock_.step((realNow + 40 * 60 * kSecond - clock_.now()) * 86400.0);
    run(30);
    EXPECT_TRUE(hasMessage("The system clock jumped by +"));
    EXPECT_GT(r->iRTV, 72);
    expectInOrder(*r);
    EXPECT_EQ(readFile(r->DataFileName()).rfind(stored, 0), 0u);
    EXPECT_GE(lines(*r).back().count, lines(*r)[71].count + 20);

    // Loaded again now: every line is there, none is dropped or rewritten.
    const std::string all = readFile(r->DataFileName());
    const int n = r->iRTV;
    {
        auto lock = rows().lock();
        r->AllocRTV();
    }
    r->Reload();
    EXPECT_EQ(r->iRTV, n);
    EXPECT_EQ(readFile(r->DataFileName()), all);
}

}  // namespace
}  // namespace kvtest
