// Entry point of the fault-injection suite: gives eventLog a configuration
// (foreground, every level) and keeps a peer's closed connection from killing
// the test process.
#include <gtest/gtest.h>

#include <csignal>

#include "ConfigFileParser.h"
#include "Vantrel.h"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    configFile = new ConfigFileParser();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
