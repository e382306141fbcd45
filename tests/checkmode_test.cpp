// Check mode (-t) through the real binary: what it reports, its exit status,
// and that it never talks to the service.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "StandInService.h"
#include "test_util.h"

namespace {

const char kZones[] =
    "zone \"b.example\" { type master; };\nzone \"a.example\" { type master; };\n"
    "zone \"s.example\" { type slave; masters { 192.0.2.1; }; };\n";

class CheckModeTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(service.start(0, error)) << error;
        service.addToken("abcdefghijkl");
        testutil::writeFile(zonesPath, kZones);
    }
    // A configuration that lets the agent run; |change| edits its text.
    std::string config(const std::function<void(std::string&)>& change = nullptr) {
        std::string text = "ZONES_FILE=" + zonesPath +
                           "\nSERVER_HOSTNAME=" + service.hostAndPort() +
                           "\nTOKEN=abcdefghijkl\nCA_FILE=" + service.caFile() + "\n";
        if (change) {
            change(text);
        }
        return text;
    }
    testutil::ProcessResult check(const std::string& text, mode_t mode = 0600) {
        const std::string path = dir.file("vantrel.conf");
        testutil::writeFile(path, text);
        chmod(path.c_str(), mode);
        return testutil::runProcess({VANTREL_BINARY, "-t", "-c", path}, dir.path());
    }

    testutil::TempDir dir;
    std::string zonesPath = dir.file("named.conf");
    standin::StandInService service{dir.path()};
};

TEST_F(CheckModeTest, SoundSetupReportsSettingsAndZonesWithTokenMasked) {
    const testutil::ProcessResult r = check(config());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Configuration file: " + dir.file("vantrel.conf") + "\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("TOKEN=abcd********\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("abcdefghijkl"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Master zones: 2\n  a.example\n  b.example\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Configuration OK.\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Warning:"), std::string::npos) << r.out;
    EXPECT_EQ(service.requestCount(), 0u);
}

TEST_F(CheckModeTest, EachProblemIsReportedWithTheRightStatus) {
    const struct {
        const char* name;
        std::function<void(std::string&)> change;
        mode_t mode;
        int status;
        std::string line;
    } cases[] = {
        {"EmptyToken", [](std::string& t) { t += "TOKEN=\n"; }, 0600, 1,
         "Error: SERVER_HOSTNAME or TOKEN is empty."},
        {"UrlHost", [](std::string& t) { t += "SERVER_HOSTNAME=https://dns.example.net\n"; }, 0600,
         1, "Error: SERVER_HOSTNAME \"https:\" was cut short"},
        {"CrlfLines",
         [](std::string& t) {
             std::string crlf;
             for (char c : t) {
                 crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
             }
             t = crlf;
         },
         0600, 1, "ends in a carriage return"},
        {"MissingZonesFile", [&](std::string& t) { t += "ZONES_FILE=" + dir.file("none") + "\n"; },
         0600, 1, "does not exist."},
        {"DirectoryAsZonesFile", [&](std::string& t) { t += "ZONES_FILE=" + dir.path() + "\n"; },
         0600, 1, "is not a regular file."},
        {"IntervalBelowOne", [](std::string& t) { t += "UPDATE_INTERVAL=-5\n"; }, 0600, 0,
         "Warning: UPDATE_INTERVAL is below 1"},
        {"TokenReadableByOthers", nullptr, 0644, 0, "readable by group or others"},
    };
    for (const auto& c : cases) {
        const testutil::ProcessResult r = check(config(c.change), c.mode);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.name << "\n" << r.out;
    }
    EXPECT_EQ(service.requestCount(), 0u);
}

TEST_F(CheckModeTest, SymbolicLinkAndZonesFileWithoutMastersAreReported) {
    testutil::writeFile(dir.file("slaves.conf"), "zone \"s.example\" { type slave; };\n");
    const testutil::ProcessResult slaves =
        check(config([&](std::string& t) { t += "ZONES_FILE=" + dir.file("slaves.conf") + "\n"; }));
    EXPECT_EQ(slaves.status, 0) << slaves.out;
    EXPECT_NE(slaves.out.find("Master zones: 0\n"), std::string::npos);
    EXPECT_NE(slaves.out.find("holds no master zone"), std::string::npos) << slaves.out;

    ASSERT_EQ(symlink(zonesPath.c_str(), dir.file("link.conf").c_str()), 0);
    const testutil::ProcessResult link =
        check(config([&](std::string& t) { t += "ZONES_FILE=" + dir.file("link.conf") + "\n"; }));
    EXPECT_EQ(link.status, 1);
    EXPECT_NE(link.out.find("is a symbolic link"), std::string::npos) << link.out;
}

TEST_F(CheckModeTest, UnreadableZonesFileIsReported) {
    chmod(dir.path().c_str(), 0755);
    const std::string path = dir.file("vantrel.conf");
    testutil::writeFile(path, config());
    chmod(path.c_str(), 0644);
    chmod(zonesPath.c_str(), 0);
    const std::string out = dir.file("out.txt");
    testutil::writeFile(out, "");
    chmod(out.c_str(), 0666);
    // Root reads any file: the check runs as nobody.
    const int status = testutil::runAsNobody([&] {
        const std::string command =
            std::string(VANTREL_BINARY) + " -t -c " + path + " > " + out + " 2>&1";
        const int rc = system(command.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : 100;
    });
    EXPECT_EQ(status, 1);
    EXPECT_NE(testutil::readFile(out).find("could not be read"), std::string::npos)
        << testutil::readFile(out);
}

}  // namespace
