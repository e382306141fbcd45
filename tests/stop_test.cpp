// The stop handler's lines reach the system log at LOG_CRIT, written by the
// loop rather than from signal context. Each case runs in a child process
// because a stop request is never taken back.
#include <gtest/gtest.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "ConfigFileParser.h"
#include "Vantrel.h"
#include "test_util.h"

namespace {

void printSyslog(int priority, const std::string& message) {
    std::printf("syslog %d %s\n", priority, message.c_str());
    std::fflush(stdout);
}

// Runs startDaemon in a child after sending it |signals|; returns what the
// child wrote and its exit status.
testutil::ProcessResult stopWith(const std::vector<int>& signals) {
    testutil::TempDir dir;
    testutil::writeFile(dir.file("vantrel.conf"),
                        "ZONES_FILE=" + dir.file("missing") +
                            "\nSERVER_HOSTNAME=127.0.0.1:1\nUPDATE_INTERVAL=3600\n");
    return testutil::runInChild([&] {
        configFile = new ConfigFileParser(dir.file("vantrel.conf"));
        setSyslogWriter(printSyslog);
        signal(SIGTERM, signalCatcher);
        signal(SIGINT, signalCatcher);
        for (const int sig : signals) {
            raise(sig);
        }
        startDaemon();
    });
}

TEST(StopHandlerTest, EachCaughtSignalIsLoggedAtCriticalPriority) {
    const std::string term =
        "syslog " + std::to_string(LOG_CRIT) + " Received SIGTERM... Quiting.\n";
    const std::string intr =
        "syslog " + std::to_string(LOG_CRIT) + " Received SIGINT... Quiting.\n";
    const struct {
        std::vector<int> signals;
        std::string out;
    } cases[] = {
        {{SIGTERM}, term},
        {{SIGINT}, intr},
        {{SIGINT, SIGINT}, intr + intr},
    };
    for (const auto& c : cases) {
        const testutil::ProcessResult r = stopWith(c.signals);
        EXPECT_EQ(r.status, 0);
        // A stop before the first pass: no reading, no request, only the line.
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(StopHandlerTest, OtherSignalsLeaveTheFlagAlone) {
    const volatile std::sig_atomic_t before = StopFlag;
    signalCatcher(SIGUSR1);
    signalCatcher(SIGHUP);
    EXPECT_EQ(StopFlag, before);
}

}  // namespace
