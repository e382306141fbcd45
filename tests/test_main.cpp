// Test entry point: gives eventLog its channel (foreground, every level)
// and keeps a peer's closed connection from killing the test process.
#include <gtest/gtest.h>

#include <csignal>

#include "EventLog.h"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    setLogChannel(false, DEBUG);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
