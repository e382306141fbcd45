// The logging entry point's channels, and the cPanel user-domains loader
// whose progress lines go to standard output.
#include <gtest/gtest.h>
#include <syslog.h>

#include <csignal>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "ConfigFileParser.h"
#include "Vantrel.h"
#include "test_util.h"
#include "userFileLoader.h"

namespace {

std::vector<std::pair<int, std::string>> syslogLines;

void captureSyslog(int priority, const std::string& message) {
    syslogLines.emplace_back(priority, message);
}

TEST(EventLog, ForegroundWritesEveryLevelAndDetachedFiltersAtInfoPriority) {
    testutil::TempDir dir;
    const ConfigFileParser* saved = configFile;
    const syslogWriter previous = setSyslogWriter(captureSyslog);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"LOG_LEVEL=ERROR\n", "d %s\ni\nw\ne\n"},  // foreground: unfiltered
        {"DAEMONIZE=TRUE\nLOG_LEVEL=WARN\n", "w|e|"},
        {"DAEMONIZE=TRUE\n", "d %s|i|w|e|"},
    };
    for (const auto& c : cases) {
        testutil::writeFile(dir.file("vantrel.conf"), c.first);
        std::unique_ptr<ConfigFileParser> config(new ConfigFileParser(dir.file("vantrel.conf")));
        configFile = config.get();
        syslogLines.clear();
        testing::internal::CaptureStdout();
        eventLog(DEBUG, "d %s");
        eventLog(INFO, "i");
        eventLog(WARN, "w");
        eventLog(ERROR, "e");
        std::string got = testing::internal::GetCapturedStdout();
        for (const auto& line : syslogLines) {
            EXPECT_EQ(line.first, LOG_INFO);
            got += line.second + "|";
        }
        EXPECT_EQ(got, c.second) << c.first;
        configFile = const_cast<ConfigFileParser*>(saved);
    }
    setSyslogWriter(previous);
}

TEST(StopHandler, EachCaughtStopSignalIsLoggedOnceAtCriticalPriority) {
    const testutil::ProcessResult result = testutil::runInChild([] {
        setSyslogWriter([](int _priority, const std::string& _message) {
            std::cout << _priority << ":" << _message << std::endl;
        });
        signalCatcher(SIGUSR1);
        std::cout << "stop " << StopFlag << std::endl;
        signalCatcher(SIGTERM);
        signalCatcher(SIGINT);
        signalCatcher(SIGTERM);
        startDaemon();  // sees the stop before the first pass
    });
    EXPECT_EQ(result.out,
              "stop 0\n2:Received SIGTERM... Quiting.\n2:Received SIGTERM... Quiting.\n"
              "2:Received SIGINT... Quiting.\n");
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
    ASSERT_EQ(loader.getZonesVector()->size(), 2u);
    EXPECT_EQ((*loader.getZonesVector())[1].username, "");
}

}  // namespace
