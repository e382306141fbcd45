// The logging entry point's channels, and the cPanel user-domains loader
// whose progress lines go to standard output.
#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <utility>
#include <vector>

#include "ConfigFileParser.h"
#include "Vantrel.h"
#include "test_util.h"
#include "userFileLoader.h"

namespace {

// What the system log was given, a line each as "priority:message".
std::string logged;

TEST(EventLog, ForegroundWritesEveryLevelAndDetachedFiltersAtInfoPriority) {
    testutil::TempDir dir;
    const ConfigFileParser* saved = configFile;
    const syslogWriter previous = setSyslogWriter(
        [](int p, const std::string& m) { logged += std::to_string(p) + ":" + m + "|"; });
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"LOG_LEVEL=ERROR\n", "d %s\ni\nw\ne\n"},  // foreground: unfiltered
        {"DAEMONIZE=TRUE\nLOG_LEVEL=WARN\n", "6:w|6:e|"},
        {"DAEMONIZE=TRUE\n", "6:d %s|6:i|6:w|6:e|"}};  // 6: LOG_INFO
    for (const auto& [lines, expected] : cases) {
        testutil::writeFile(dir.file("vantrel.conf"), lines);
        ConfigFileParser config(dir.file("vantrel.conf"));
        configFile = &config;
        testing::internal::CaptureStdout();
        eventLog(DEBUG, "d %s");
        eventLog(INFO, "i");
        eventLog(WARN, "w");
        eventLog(ERROR, "e");
        EXPECT_EQ(testing::internal::GetCapturedStdout() + std::exchange(logged, ""), expected);
        configFile = const_cast<ConfigFileParser*>(saved);
    }
    setSyslogWriter(previous);
}

TEST(StopHandler, EachCaughtStopSignalIsLoggedOnceAtCriticalPriority) {
    const testutil::ProcessResult result = testutil::runInChild([] {
        setSyslogWriter([](int p, const std::string& m) { std::cout << p << ":" << m << "\n"; });
        signalCatcher(SIGUSR1);
        std::cout << "stop " << StopFlag << "\n";
        signalCatcher(SIGTERM);
        signalCatcher(SIGINT);
        signalCatcher(SIGTERM);
        startDaemon();  // sees the stop before the first pass
    });
    const std::string term = "2:Received SIGTERM... Quiting.\n";  // 2: LOG_CRIT
    EXPECT_EQ(result.out, "stop 0\n" + term + term + "2:Received SIGINT... Quiting.\n");
}

TEST(UserFileLoader, LoadsTrimmedEntriesAndKeepsTheListWhenAReloadFails) {
    testutil::TempDir dir;
    userFileLoader loader(nullptr);
    const auto reload = [&](const std::string& _path) {
        loader.setDomainsFile(_path);
        testing::internal::CaptureStdout();
        loader.reloadData();
        return testing::internal::GetCapturedStdout();
    };
    testutil::writeFile(dir.file("userdomains"), "  example.com :  alice \n\nnocolon\nb.org:\r\n");
    EXPECT_EQ(reload(dir.file("userdomains")),
              "Found zone:example.com -- username:alice\nFound zone:b.org -- username:\n"
              "Total zones 2\n");
    EXPECT_EQ(reload(dir.file("missing")), "CPanel UserFile: Error reading file\n");
    EXPECT_EQ(loader.getZonesVector()->size(), 2u);
}

}  // namespace
