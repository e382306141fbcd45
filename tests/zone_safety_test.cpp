// Readings that must never lead to a zone being put back or wiped at the
// service: owed deletions across failed readings, and files without any zone
// block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "test_util.h"

namespace {

class ZoneSafetyTest : public testing::Test {
protected:
    void SetUp() override {
        testutil::writeFile(dir.file("vantrel.conf"), "ZONES_FILE=" + zonesPath + "\n");
        config = std::make_unique<ConfigFileParser>(dir.file("vantrel.conf"));
        parser = std::make_unique<ZoneFileParser>(config.get());
    }
    // Reads once with the log lines swallowed.
    int read() {
        testing::internal::CaptureStdout();
        const int result = parser->readZones();
        testing::internal::GetCapturedStdout();
        return result;
    }
    // Names flagged deleted in the zone vector.
    std::vector<std::string> flaggedDeleted() {
        std::vector<std::string> names;
        for (const zoneData& zone : *parser->getZones()) {
            if (zone.isDeleted()) {
                names.push_back(zone.getZoneName());
            }
        }
        return names;
    }

    testutil::TempDir dir;
    std::string zonesPath = dir.file("named.conf");
    std::unique_ptr<ConfigFileParser> config;
    std::unique_ptr<ZoneFileParser> parser;
};

const char kTwoZones[] =
    "zone \"a.example\" { type master; };\nzone \"b.example\" { type master; };\n";
const char kOneZone[] = "zone \"a.example\" { type master; };\n";

TEST_F(ZoneSafetyTest, OwedDeletionStaysFlaggedWhenTheNextReadingFails) {
    testutil::writeFile(zonesPath, kTwoZones);
    read();
    testutil::writeFile(zonesPath, kOneZone);
    read();
    // The service refused the deletion: the record is still in the vector.
    ASSERT_EQ(flaggedDeleted(), std::vector<std::string>{"b.example"});
    const struct {
        const char* name;
        std::function<void()> breakFile;
    } failures[] = {
        {"missing", [&] { ASSERT_EQ(unlink(zonesPath.c_str()), 0); }},
        {"symbolic link",
         [&] {
             testutil::writeFile(dir.file("real.conf"), kOneZone);
             ASSERT_EQ(unlink(zonesPath.c_str()), 0);
             ASSERT_EQ(symlink(dir.file("real.conf").c_str(), zonesPath.c_str()), 0);
         }},
    };
    for (const auto& failure : failures) {
        unlink(zonesPath.c_str());
        testutil::writeFile(zonesPath, kOneZone);
        failure.breakFile();
        EXPECT_EQ(read(), 0) << failure.name;
        EXPECT_EQ(flaggedDeleted(), std::vector<std::string>{"b.example"}) << failure.name;
        int newZones = -1;
        int deletedZones = -1;
        EXPECT_FALSE(parser->zonesChanged(newZones, deletedZones)) << failure.name;
    }
    // A good reading flags it again, so the deletion is asked for again.
    unlink(zonesPath.c_str());
    testutil::writeFile(zonesPath, kOneZone);
    EXPECT_EQ(read(), 1);
    EXPECT_EQ(flaggedDeleted(), std::vector<std::string>{"b.example"});
}

TEST_F(ZoneSafetyTest, FileWithoutZoneBlocksIsNotATrustedReading) {
    for (const char* content : {"", "// nothing yet\n", "options { directory \"/var\"; };\n"}) {
        testutil::writeFile(zonesPath, content);
        EXPECT_EQ(read(), 0) << content;
        EXPECT_FALSE(parser->hasReadSuccessfully()) << content;
    }
    // A file holding only slave zones is a real reading without master zones.
    testutil::writeFile(zonesPath, "zone \"s.example\" { type slave; masters { 192.0.2.1; }; };\n");
    EXPECT_EQ(read(), 1);
    EXPECT_TRUE(parser->hasReadSuccessfully());
    EXPECT_TRUE(parser->getZones()->empty());
}

}  // namespace
