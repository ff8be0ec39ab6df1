#include "serial/quarserial.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

unsigned gPumpCalls = 0;
unsigned gLargestWait = 0;

void CountingPump(unsigned maxWaitMs) {
    ++gPumpCalls;
    if (maxWaitMs > gLargestWait) gLargestWait = maxWaitMs;
    usleep((maxWaitMs < 20 ? maxWaitMs : 20) * 1000);
}

class Pump : public ::testing::Test {
protected:
    void SetUp() override {
        gPumpCalls = 0;
        gLargestWait = 0;
        SetEventPump(CountingPump);
    }
    void TearDown() override { SetEventPump(nullptr); }
};

TEST_F(Pump, RunsFromOneHundredSeventyMilliseconds) {
    EXPECT_EQ(CurrentEventPump(), &CountingPump);
    uint32_t start = TickMs();
    SleepMs(169);
    EXPECT_GE(TickMs() - start, 169u);
    EXPECT_EQ(gPumpCalls, 0u);

    start = TickMs();
    SleepMs(170);
    EXPECT_GE(TickMs() - start, 170u);
    EXPECT_GE(gPumpCalls, 2u);  // called again with what is left
    EXPECT_LE(gLargestWait, 170u);
}

TEST(SleepWithoutPump, SleepsPlainly) {
    SetEventPump(nullptr);
    uint32_t start = TickMs();
    SleepMs(250);
    uint32_t elapsed = TickMs() - start;
    EXPECT_GE(elapsed, 250u);
    EXPECT_LT(elapsed, 10000u);
}

class Zone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        hadTz = tz != nullptr;
        if (tz) oldTz = tz;
    }
    void TearDown() override {
        if (hadTz)
            setenv("TZ", oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void Use(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    bool hadTz = false;
    std::string oldTz;
};

TEST_F(Zone, OffsetIncludesDaylightSaving) {
    struct Case {
        const char* tz;
        long offset;
    } fixed[] = {
        {"UTC0", 0},
        {"<+0530>-5:30", 19800},
        {"<-03>3", -10800},
        // one hour east with summer time all year round
        {"AAA-1BBB,J1/0,J365/25", 7200},
    };
    for (const Case& c : fixed) {
        Use(c.tz);
        EXPECT_EQ(UtcOffsetSeconds(), c.offset) << c.tz;
    }
    // Zones whose summer time depends on today: agree with the C library.
    for (const char* tz : {"CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3"}) {
        Use(tz);
        time_t now = time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        EXPECT_EQ(UtcOffsetSeconds(), local.tm_gmtoff) << tz;
    }
}

}  // namespace
