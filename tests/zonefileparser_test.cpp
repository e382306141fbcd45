// The zones file reader through real files in temporary folders: what a
// reading concludes about the zone vector, which texts and files it refuses,
// and agreement with the model in fuzz/zones_model.h.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
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
options {
    zone-statistics yes;
};
// primary zones
zone "a.example" IN {
    type master;
    file "a.db";
    allow-update { none; };
};
zone "b.example" { type slave; masters { 192.0.2.1; }; };
/* zone "old.example" { type master; }; */
zone "C.Example" {
    allow-transfer { 192.0.2.5; };
    type master;
};
zone "d.example" {
    type MASTER ;
};
zone "e.example" {
    type Master;
};
)";

class ZoneReaderTest : public testing::Test {
protected:
    void SetUp() override { usePath(dir.file("named.conf")); }

    // A fresh parser reading |_path|.
    void usePath(const std::string& _path) {
        zonesPath = _path;
        testutil::writeFile(dir.file("vantrel.conf"), "ZONES_FILE=" + _path + "\n");
        config = std::make_unique<ConfigFileParser>(dir.file("vantrel.conf"));
        parser = std::make_unique<ZoneFileParser>(config.get());
    }

    // Replaces the zones file by renaming a new one into place, so that
    // every write is a change whatever the clock's resolution.
    void writeZones(const std::string& _content) {
        ASSERT_TRUE(fuzzchecks::replaceWhole(zonesPath, _content));
    }

    // One reading; its log lines land in |log|.
    int read() {
        testing::internal::CaptureStdout();
        const int result = parser->readZones();
        std::istringstream out(testing::internal::GetCapturedStdout());
        log.clear();
        for (std::string line; std::getline(out, line);) {
            log.push_back(line);
        }
        return result;
    }

    // Each record as name and flags (F found, N new, D deleted), vector order.
    Lines records() const {
        Lines out;
        for (const zoneData& z : *parser->getZones()) {
            out.push_back(z.getZoneName() + ":" + (z.isFound() ? "F" : "") +
                          (z.isNewZone() ? "N" : "") + (z.isDeleted() ? "D" : ""));
        }
        return out;
    }

    // Leaves b.example flagged deleted, a deletion the service refused.
    void oweDeletion() {
        writeZones(master("a.example") + master("b.example"));
        read();
        writeZones(master("a.example"));
        read();
    }

    // The counts zonesChanged hands over, or {-1, -1} when it reports nothing.
    std::pair<int, int> changes() {
        int newZones = -1;
        int deletedZones = -1;
        parser->zonesChanged(newZones, deletedZones);
        return {newZones, deletedZones};
    }

    testutil::TempDir dir;
    std::string zonesPath;
    std::unique_ptr<ConfigFileParser> config;
    std::unique_ptr<ZoneFileParser> parser;
    Lines log;
};

TEST_F(ZoneReaderTest, WorkedExampleAddsTheMastersAndARenameIsNewPlusDeleted) {
    writeZones(workedExample);
    EXPECT_EQ(read(), 5);
    EXPECT_EQ(log,
              (Lines{"Found word zone in file... pos:15 - ignoring...",
                     "Found word zone in file... pos:37 - ignoring...", "Loading zone:a.example",
                     "Loading zone:b.example", "Loading zone:C.Example", "Loading zone:d.example",
                     "Loading zone:e.example", "Zone changes:2"}));
    EXPECT_EQ(records(), (Lines{"a.example:N", "e.example:N"}));
    EXPECT_EQ(changes(), std::make_pair(2, 0));
    EXPECT_EQ(parser->getTypelessZones(), (Lines{"C.Example", "d.example"}));
    EXPECT_EQ(parser->getLastResult(), readResult::Read);

    std::string renamed = workedExample;
    renamed.replace(renamed.find("a.example"), 9, "x.example");
    writeZones(renamed);
    EXPECT_EQ(read(), 5);
    EXPECT_EQ(records(), (Lines{"a.example:D", "e.example:F", "x.example:N"}));
    EXPECT_EQ(changes(), std::make_pair(1, 1));
    // The model gives the same blocks.
    Lines blocks;
    for (const auto& b : zonesmodel::referenceFileReading(renamed).blocks) {
        blocks.push_back(b.name + "/" + b.type);
    }
    EXPECT_EQ(blocks, (Lines{"x.example/master", "b.example/slave", "C.Example/", "d.example/",
                             "e.example/master"}));
}

// Texts caught mid-write are refused at every pass, recording and flagging
// nothing but the owed deletion; whole texts are read.
TEST_F(ZoneReaderTest, TextThatEndsInsideABlockQuoteOrCommentIsNotTrusted) {
    const std::string a = master("a.example");
    const std::pair<std::string, std::string> cases[] = {
        {a + "zone \"c.example\" { type master;\n", "a block"},
        {a + "zone \"c.example", "a quoted string"},
        {a + "/* zone \"c.example\" { };\n", "a comment"},
        {"# a 6\" rack\n" + a, "a quoted string"},
        {a + "};\n", "a block"},
        {a + "// zone \"c.example\" {", ""},
        {a + master("c.example"), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        usePath(dir.file("text.conf"));
        oweDeletion();
        writeZones(c.first);
        const std::string error = "Zones file ends inside " + c.second + "; deferring update.";
        for (int pass = 0; pass < (c.second.empty() ? 1 : 2); ++pass) {
            EXPECT_EQ(read() == 0, !c.second.empty());
            EXPECT_EQ(parser->getReadError(), c.second.empty() ? "" : error);
            EXPECT_EQ(records()[0], c.second.empty() ? "a.example:F" : "a.example:");
            EXPECT_EQ(records()[1], "b.example:D");
            if (!c.second.empty()) {
                EXPECT_EQ(log.back(), error);
                EXPECT_EQ(parser->getLastResult(), readResult::Failed);
                EXPECT_EQ(changes(), std::make_pair(-1, -1));
            }
        }
    }
}

TEST_F(ZoneReaderTest, TypeStatementsGiveMasterSlaveOrNoType) {
    const struct {
        const char* block;
        bool added;
        bool typeless;
    } cases[] = {
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block);
        usePath(dir.file("types.conf"));
        writeZones(std::string(c.block) + "\n");
        EXPECT_EQ(read(), 1);
        EXPECT_EQ(records(), c.added ? Lines{"z.example:N"} : Lines{});
        EXPECT_EQ(parser->getTypelessZones(), c.typeless ? Lines{"z.example"} : Lines{});
    }
}

TEST_F(ZoneReaderTest, NamesDifferingOnlyInAsciiCaseAreOneZone) {
    writeZones(master("b.example") + master("a.example") + master("C.Example") +
               master("A.EXAMPLE") + master("\xc3\x84.example") + master("\xc3\xa4.example"));
    EXPECT_EQ(read(), 6);
    EXPECT_EQ(records(), (Lines{"C.Example:N", "a.example:FN", "b.example:N", "\xc3\x84.example:N",
                                "\xc3\xa4.example:N"}));
    writeZones(master("B.Example") + master("a.example") + master("c.example") +
               master("\xc3\x84.example") + master("\xc3\xa4.example"));
    read();
    EXPECT_EQ(records(), (Lines{"C.Example:F", "a.example:F", "b.example:F", "\xc3\x84.example:F",
                                "\xc3\xa4.example:F"}));
    EXPECT_EQ(changes(), std::make_pair(0, 0));
}

TEST_F(ZoneReaderTest, OwedDeletionIsRetriedOnAnUnchangedFile) {
    oweDeletion();
    // The unchanged file is read again and the record flagged again.
    EXPECT_EQ(read(), 1);
    EXPECT_EQ(records(), (Lines{"a.example:F", "b.example:D"}));
    EXPECT_EQ(changes(), std::make_pair(0, 1));
    parser->getZones()->pop_back();  // this time the service accepted it
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(log, (Lines{"Zones file hasn't changed. Deferring update."}));
    EXPECT_EQ(records(), (Lines{"a.example:"}));
}

TEST_F(ZoneReaderTest, FileWithoutZoneBlocksIsNeverATrustedReading) {
    for (const char* content : {"", "// nothing yet\n", "options { directory \"/var\"; };\n"}) {
        writeZones(content);
        EXPECT_EQ(read(), 0) << content;
        EXPECT_EQ(parser->getLastResult(), readResult::NoZoneBlocks);
        EXPECT_FALSE(parser->hasReadSuccessfully()) << content;
    }
    writeZones("zone \"s.example\" { type slave; masters { 192.0.2.1; }; };\n");
    EXPECT_EQ(read(), 1);
    EXPECT_TRUE(parser->hasReadSuccessfully());
    EXPECT_TRUE(parser->getZones()->empty());
}

// A missing file, a folder or a symbolic link is refused at every pass and
// changes nothing but keeps the deletion still owed flagged.
TEST_F(ZoneReaderTest, MissingFolderAndLinkAreRefusedAndKeepOwedDeletions) {
    testutil::writeFile(dir.file("real.conf"), master("a.example"));
    for (const char* name : {"absent.conf", "folder", "link.conf"}) {
        SCOPED_TRACE(name);
        usePath(dir.file(name));
        oweDeletion();
        ASSERT_EQ(unlink(zonesPath.c_str()), 0);
        ASSERT_TRUE(name[0] == 'a' || (name[0] == 'f' ? mkdir(zonesPath.c_str(), 0755)
                                                      : symlink(dir.file("real.conf").c_str(),
                                                                zonesPath.c_str())) == 0);
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(read(), 0);
            EXPECT_EQ(log, (Lines{name[0] == 'a' ? "Error reading file!" : "Not a regular file:"}));
            EXPECT_EQ(parser->getLastResult(), readResult::Failed);
            EXPECT_EQ(records(), (Lines{"a.example:", "b.example:D"}));
            EXPECT_EQ(changes(), std::make_pair(-1, -1));
        }
    }
}

TEST_F(ZoneReaderTest, UnreadableFileIsRefusedUntilItsPermissionsAreFixed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the file to nobody and drop to that user";
    }
    writeZones(master("a.example"));
    read();
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chown(zonesPath.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chmod(zonesPath.c_str(), 0), 0);
    testing::internal::CaptureStdout();
    const int failures = testutil::runAsNobody([this] {
        int failed = parser->readZones() != 0 ? 1 : 0;
        failed |= parser->getReadError() != "Error reading file!" ? 2 : 0;
        failed |= records() != Lines{"a.example:"} ? 4 : 0;
        // Restoring the permissions changes only the status-change time.
        failed |= chmod(zonesPath.c_str(), 0644) != 0 || parser->readZones() != 1 ? 8 : 0;
        return failed;
    });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures, 0);
}

TEST_F(ZoneReaderTest, FileRenamedIntoPlaceWithAnOlderTimeIsRead) {
    const timespec old[2] = {{1600000000, 0}, {1600000000, 0}};
    testutil::writeFile(zonesPath, master("a.example"));
    ASSERT_EQ(utimensat(AT_FDCWD, zonesPath.c_str(), old, 0), 0);
    read();
    const std::string staged = dir.file("staged.conf");
    testutil::writeFile(staged, master("b.example"));
    ASSERT_EQ(utimensat(AT_FDCWD, staged.c_str(), old, 0), 0);
    ASSERT_EQ(rename(staged.c_str(), zonesPath.c_str()), 0);
    read();
    EXPECT_EQ(records(), (Lines{"a.example:D", "b.example:N"}));
}

// Generated hosting files and random mutations of them, as two versions of
// the file, read like the model reads them.
TEST_F(ZoneReaderTest, GeneratedAndMutatedFilesAgreeWithTheModel) {
    std::mt19937 random(20240611);
    const char* const pieces[] = {
        "zone ",         "\"",  "{",       "}", ";", "/*", "*/", "//", "\n", " type primary;",
        " type master;", "IN{", "\"A.b\"", "#"};
    zonegen::Layout layout;
    layout.zoneCount = 300;
    for (int round = 0; round < 60; ++round) {
        layout.seed = static_cast<uint64_t>(round);
        std::string versions[2] = {zonegen::generateText(layout), ""};
        versions[1] = versions[0];
        for (int cut = 0; cut < 3; ++cut) {
            const size_t at = random() % versions[1].size();
            versions[1].insert(at, pieces[random() % (sizeof(pieces) / sizeof(pieces[0]))]);
        }
        if (round % 4 == 0) {
            versions[1].erase(random() % versions[1].size());  // a file caught mid-write
        }
        testing::internal::CaptureStdout();
        const std::string problem = zonesmodel::checkZoneReadings(config.get(), versions[round % 2],
                                                                  versions[1 - round % 2]);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(problem, "") << "round " << round;
    }
}

TEST_F(ZoneReaderTest, GeneratedHostingFileMatchesNamedCheckconf) {
    const std::string checkconf = "/usr/bin/named-checkconf";
    if (access(checkconf.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "named-checkconf (bind9-utils) is not installed";
    }
    zonegen::Layout layout;
    layout.zoneCount = 500;
    layout.seed = 11;
    layout.directory = dir.path();
    ASSERT_TRUE(zonegen::writeFile(zonesPath, layout));
    const testutil::ProcessResult bind = testutil::runProcess({checkconf, "-l", zonesPath});
    ASSERT_EQ(bind.status, 0) << bind.out;
    // Zone lines read "name class view type"; other lines are warnings.
    std::set<std::string> bindMasters;
    size_t bindZones = 0;
    std::istringstream lines(bind.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, zoneClass, view, type, extra;
        if ((fields >> name >> zoneClass >> view >> type) && !(fields >> extra)) {
            ++bindZones;
            if (type == "master" || type == "primary") {
                bindMasters.insert(name);
            }
        }
    }
    EXPECT_EQ(read(), static_cast<int>(bindZones));
    Lines ours;
    for (const zoneData& z : *parser->getZones()) {
        ours.push_back(z.getZoneName());
    }
    EXPECT_EQ(ours, Lines(bindMasters.begin(), bindMasters.end()));
    EXPECT_GT(ours.size(), 400u);
}

}  // namespace
