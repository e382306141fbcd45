// The zones file reader through real files in temporary folders: what a
// reading concludes about the zone vector, which texts and files it refuses,
// and agreement with the model in fuzz/zones_model.h.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "bench/zonegen.h"
#include "fuzz/zones_model.h"
#include "test_util.h"

namespace {

using Lines = std::vector<std::string>;

std::string master(const std::string& _name) {
    return "zone \"" + _name + "\" { type master; file \"" + _name + ".db\"; };\n";
}

const char* const workedExample = R"(include "extra.zones";
options { zone-statistics yes; };
// primary zones
zone "a.example" IN { type master; file "a.db"; allow-update { none; }; };
zone "b.example" { type slave; masters { 192.0.2.1; }; };
/* zone "old.example" { type master; }; */
zone "C.Example" { allow-transfer { 192.0.2.5; }; type master; };
zone "d.example" { type MASTER ; };
zone "e.example" { type Master; };
)";

class ZoneReaderTest : public testing::Test {
protected:
    void SetUp() override { usePath(dir.file("named.conf")); }

    // A fresh parser reading |_path|.
    void usePath(const std::string& _path) {
        testutil::writeFile(dir.file("vantrel.conf"), "ZONES_FILE=" + (zonesPath = _path) + "\n");
        config = std::make_unique<ConfigFileParser>(dir.file("vantrel.conf"));
        parser = std::make_unique<ZoneFileParser>(config.get());
    }

    // Renames a new zones file into place: a change whatever the clock's
    // resolution.
    void writeZones(const std::string& _content) {
        ASSERT_TRUE(fuzzchecks::replaceWhole(zonesPath, _content));
    }

    // One reading; its log lines land in |log|.
    int read() {
        testing::internal::CaptureStdout();
        const int result = parser->readZones();
        log = testing::internal::GetCapturedStdout();
        return result;
    }

    // Each record as name and flags (F found, N new, D deleted), vector
    // order, then the counts zonesChanged hands over ("+new -deleted"), or
    // "none" when it reports nothing.
    Lines state() const {
        Lines out;
        for (const zoneData& z : *parser->getZones()) {
            out.push_back(z.getZoneName() + ":" + (z.isFound() ? "F" : "") +
                          (z.isNewZone() ? "N" : "") + (z.isDeleted() ? "D" : ""));
        }
        int counts[2] = {0, 0};
        out.push_back(parser->zonesChanged(counts[0], counts[1])
                          ? "+" + std::to_string(counts[0]) + " -" + std::to_string(counts[1])
                          : "none");
        return out;
    }

    testutil::TempDir dir;
    std::string zonesPath;
    std::unique_ptr<ConfigFileParser> config;
    std::unique_ptr<ZoneFileParser> parser;
    std::string log;
};

TEST_F(ZoneReaderTest, WorkedExampleAddsTheMastersAndARenameIsNewPlusDeleted) {
    writeZones(workedExample);
    EXPECT_EQ(read(), 5);
    EXPECT_EQ(log,
              "Found word zone in file... pos:15 - ignoring...\n"
              "Found word zone in file... pos:33 - ignoring...\nLoading zone:a.example\n"
              "Loading zone:b.example\nLoading zone:C.Example\nLoading zone:d.example\n"
              "Loading zone:e.example\nZone changes:2\n");
    EXPECT_EQ(state(), (Lines{"a.example:N", "e.example:N", "+2 -0"}));
    EXPECT_EQ(parser->getTypelessZones(), (Lines{"C.Example", "d.example"}));
    std::string renamed = workedExample;
    writeZones(renamed.replace(renamed.find("a.example"), 9, "x.example"));
    EXPECT_EQ(read(), 5);
    EXPECT_EQ(state(), (Lines{"a.example:D", "e.example:F", "x.example:N", "+1 -1"}));
    testing::internal::CaptureStdout();  // the model reads the same
    EXPECT_EQ(zonesmodel::checkZonesInput(config.get(), workedExample + ("\xff" + renamed)), "");
    testing::internal::GetCapturedStdout();
}

// Files that cannot be used and texts caught mid-write are refused at every
// pass, recording and flagging nothing but the owed deletion; whole texts and
// the unchanged file are read again while a deletion is owed.
TEST_F(ZoneReaderTest, UnusableFilesAndTextsAreRefusedAndKeepOwedDeletions) {
    const std::string a = master("a.example");
    const std::string ends = "Zones file ends inside ", later = "; deferring update.";
    const std::pair<std::string, std::string> cases[] = {
        {a + "zone \"c.example\" { type master;\n", ends + "a block" + later},
        {a + "zone \"c.example", ends + "a quoted string" + later},
        {a + "/* zone \"c.example\" { };\n", ends + "a comment" + later},
        {"# a 6\" rack\n" + a, ends + "a quoted string" + later},
        {a + "};\n", ends + "a block" + later},
        {"absent", "Error reading file!"},
        {"link", "Not a regular file:"},
        {"folder", "Not a regular file:"},
        {a + "// zone \"c.example\" {", ""},
        {a + "zone \"c.example\" { type slave; };", ""},
        {"unchanged", ""},
    };
    for (const auto& [content, error] : cases) {
        SCOPED_TRACE(content);
        usePath(dir.file(content.size() > 9 ? "case.conf" : content));
        writeZones(master("a.example") + master("b.example"));
        read();
        writeZones(master("a.example"));  // b.example owed: the service refused
        read();
        // Short names stand for a file of their own made missing, a folder or a link.
        if (content.size() > 9) {
            writeZones(content);
        }
        ASSERT_TRUE(content.size() > 6 || unlink(zonesPath.c_str()) == 0);
        ASSERT_TRUE(content != "folder" || mkdir(zonesPath.c_str(), 0755) == 0);
        ASSERT_TRUE(content != "link" ||
                    symlink(dir.file("vantrel.conf").c_str(), zonesPath.c_str()) == 0);
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(read() == 0, !error.empty());
            EXPECT_EQ(parser->getReadError(), error);
            EXPECT_NE(log.find((error.empty() ? "Zone changes:0" : error) + "\n"), log.npos);
            EXPECT_EQ(parser->getLastResult() == readResult::Failed, !error.empty());
            EXPECT_EQ(state(), (error.empty() ? Lines{"a.example:F", "b.example:D", "+0 -1"}
                                              : Lines{"a.example:", "b.example:D", "none"}));
        }
    }
    parser->getZones()->pop_back();  // this time the service accepted it
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(log, "Zones file hasn't changed. Deferring update.\n");
    EXPECT_EQ(state(), (Lines{"a.example:", "none"}));
}

// Each block's type statement gives master, slave or no type; a file without
// zone blocks is never a trusted reading.
TEST_F(ZoneReaderTest, TypeStatementsGiveMasterSlaveOrNoTypeAndOnlyBlocksAreTrusted) {
    const std::tuple<const char*, bool, bool> cases[] = {
        // block, added, typeless
        {"zone \"z.example\" { type primary; };", true, false},
        {"zone \"z.example\" { type PRIMARY; };", true, false},
        {"zone \"z.example\" { type secondary; masters { 192.0.2.1; }; };", false, false},
        {"zone \"z.example\" IN {\r\n\ttype master;\r\n};", true, false},
        {"zone \"z.example\" { type master ; };", false, true},
        {"zone \"z.example\" { allow-transfer { none; }; type master; };", false, true},
        {"zone \"z.example\" { TYPE master; };", false, true},
        {"zone \"z.example\" IN{type master;};", false, true},
        {"zone \"z.example\" IN{ type master;};", true, false},
        {"zone \"z.example\" ty{pe master;};", true, false},
        {"zone \"z.example\" { type slave; type master; };", true, false},
        {"zone \"z.example\" { type masters; };", false, false},
        {"", false, false},
        {"// nothing yet", false, false},
        {"options { directory \"/var\"; };", false, false},
    };
    for (const auto& [block, added, typeless] : cases) {
        SCOPED_TRACE(block);
        usePath(dir.file("types.conf"));
        writeZones(std::string(block) + "\n");
        const bool blocks = block[0] == 'z';
        EXPECT_EQ(read(), blocks ? 1 : 0);
        EXPECT_EQ(parser->getLastResult(), blocks ? readResult::Read : readResult::NoZoneBlocks);
        EXPECT_EQ(parser->hasReadSuccessfully(), blocks);
        EXPECT_EQ(state(), (added ? Lines{"z.example:N", "+1 -0"} : Lines{"none"}));
        EXPECT_EQ(parser->getTypelessZones(), typeless ? Lines{"z.example"} : Lines{});
    }
}

TEST_F(ZoneReaderTest, UnreadableFileIsRefusedUntilItsPermissionsAreFixed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the file to nobody and drop to that user";
    }
    writeZones(master("a.example"));
    read();
    const passwd* nobody = getpwnam("nobody");
    ASSERT_TRUE(nobody != nullptr && chmod(dir.path().c_str(), 0755) == 0 &&
                chown(zonesPath.c_str(), nobody->pw_uid, nobody->pw_gid) == 0 &&
                chmod(zonesPath.c_str(), 0) == 0);
    testing::internal::CaptureStdout();
    const int failures = testutil::runAsNobody([this] {
        const bool refused = parser->readZones() == 0 && state() == Lines{"a.example:", "none"} &&
                             parser->getReadError() == "Error reading file!";
        // Restoring the permissions changes only the status-change time.
        return refused && chmod(zonesPath.c_str(), 0644) == 0 && parser->readZones() == 1 ? 0 : 1;
    });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures, 0);
}

TEST_F(ZoneReaderTest, FileRenamedIntoPlaceWithAnOlderTimeIsRead) {
    const timespec old[2] = {{1600000000, 0}, {1600000000, 0}};
    const std::string staged = dir.file("staged.conf");
    for (const char* name : {"a.example", "b.example"}) {
        testutil::writeFile(staged, master(name));
        ASSERT_EQ(utimensat(AT_FDCWD, staged.c_str(), old, 0), 0);
        ASSERT_EQ(rename(staged.c_str(), zonesPath.c_str()), 0);
        read();
    }
    EXPECT_EQ(state(), (Lines{"a.example:D", "b.example:N", "+1 -1"}));
}

// Generated hosting files and random mutations of them, as two versions of
// the file, read like the model reads them.
TEST_F(ZoneReaderTest, GeneratedAndMutatedFilesAgreeWithTheModel) {
    std::mt19937 random(20240611);
    const char* const pieces[] = {
        "zone ",         "\"",  "{",       "}", ";", "/*", "*/", "//", "\n", " type primary;",
        " type master;", "IN{", "\"A.b\"", "#"};
    for (uint64_t round = 0; round < 60; ++round) {
        const std::string text = zonegen::generateText({300, round, "/var/named"});
        std::string versions[2] = {text, text};
        for (int cut = 0; cut < 3; ++cut) {
            versions[1].insert(random() % versions[1].size(), pieces[random() % 14]);
        }
        if (round % 4 == 0) {
            versions[1].erase(random() % versions[1].size());  // a file caught mid-write
        }
        testing::internal::CaptureStdout();
        const std::string problem = zonesmodel::checkZonesInput(
            config.get(), versions[round % 2] + '\xff' + versions[1 - round % 2]);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(problem, "") << "round " << round;
    }
}

}  // namespace
