// vantrel-standin: runs the stand-in of the cloud DNS service as a program,
// for the demo, the end-to-end tests and operators trying the agent.
//
//   vantrel-standin --cert-dir DIR [--listen ADDRESS] [--port N]
//                   [--token T ...] [--zone T:NAME ...] [--lowercase]
//
// --cert-dir   folder of ca.pem, server.pem and server-key.pem; created when
//              missing; the certificates are generated only when one of the
//              three files is missing, so restarts keep the CA that clients
//              were told to trust
// --listen     IPv4 loopback address (127.0.0.0/8), default 127.0.0.1;
//              anything else is refused
// --port       TCP port, default 0 (a free port is chosen)
// --token      an accepted access token; repeatable
// --zone       T:NAME puts NAME in token T's zone list (split at the last
//              colon; T must also be given with --token); repeatable
// --lowercase  fold zone names to lower case
//
// Once serving it prints "listening on ADDRESS:PORT" and flushes; it serves
// until SIGTERM or SIGINT and then exits with status 0. Usage errors exit
// with status 2, a failure to start with status 1. The admin endpoints under
// /_admin/ (see StandInService.h) inspect and steer it, e.g.
//   curl --cacert DIR/ca.pem https://127.0.0.1:PORT/_admin/requests
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "StandInService.h"

namespace {

void usage(std::ostream& _out) {
    _out << "usage: vantrel-standin --cert-dir DIR [--listen ADDRESS] [--port N]\n"
            "                       [--token T ...] [--zone T:NAME ...] [--lowercase]\n";
}

// Ends the program with a usage error.
[[noreturn]] void fail(const std::string& _message) {
    std::cerr << "vantrel-standin: " << _message << std::endl;
    usage(std::cerr);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.1";
    long port = 0;
    std::string certDir;
    std::vector<std::string> tokens;
    std::vector<std::pair<std::string, std::string>> zones;
    bool lowercase = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                fail(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--listen") {
            address = value();
        } else if (arg == "--port") {
            const std::string text = value();
            char* end = nullptr;
            errno = 0;
            port = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || port < 0 || port > 65535) {
                fail("invalid port " + text);
            }
        } else if (arg == "--cert-dir") {
            certDir = value();
        } else if (arg == "--token") {
            tokens.push_back(value());
        } else if (arg == "--zone") {
            const std::string text = value();
            const size_t colon = text.rfind(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
                fail("--zone needs TOKEN:NAME, got " + text);
            }
            zones.emplace_back(text.substr(0, colon), text.substr(colon + 1));
        } else if (arg == "--lowercase") {
            lowercase = true;
        } else if (arg == "-h" || arg == "--help") {
            usage(std::cout);
            return 0;
        } else {
            fail("unknown argument " + arg);
        }
    }
    if (certDir.empty()) {
        fail("--cert-dir is required");
    }
    if (!standin::StandInService::isLoopbackAddress(address)) {
        fail("refusing to listen on " + address + ": only 127.0.0.0/8 is allowed");
    }
    const std::set<std::string> known(tokens.begin(), tokens.end());
    for (const auto& zone : zones) {
        if (known.count(zone.first) == 0) {
            fail("--zone names token " + zone.first + ", which no --token gives");
        }
    }
    if (mkdir(certDir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::cerr << "vantrel-standin: cannot create " << certDir << ": " << std::strerror(errno)
                  << std::endl;
        return 1;
    }

    // A client that goes away mid-reply must not end the program, and the
    // stop signals are taken by sigwait below: block them before any thread
    // starts so that every thread inherits the mask.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    standin::StandInService service(certDir);
    for (const std::string& token : tokens) {
        service.addToken(token);
    }
    for (const auto& zone : zones) {
        service.addZone(zone.first, zone.second);
    }
    service.setLowerCaseNames(lowercase);
    std::string error;
    if (!service.start(static_cast<int>(port), error, address)) {
        std::cerr << "vantrel-standin: " << error << std::endl;
        return 1;
    }
    std::cout << "listening on " << address << ":" << service.port() << std::endl;

    int caught = 0;
    while (sigwait(&stopSignals, &caught) != 0) {
    }
    service.stop();
    return 0;
}
