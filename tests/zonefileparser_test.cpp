// The zones file parser and its change tracking, driven through real files in
// temporary folders: comment removal, the search for top-level zone blocks,
// block parsing, and what each reading concludes about the zone vector.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "bench/zonegen.h"
#include "fuzz/fuzz_checks.h"
#include "test_util.h"

// Reaches the parser's text operations and its read hook.
class ZoneFileParserProbe {
public:
    static void setAfterReadHook(void (*_hook)(const std::string&)) {
        ZoneFileParser::afterReadHook = _hook;
    }
    static int findNextZoneStart(ZoneFileParser& _parser, std::string* _text, int _start) {
        return _parser.findNextZoneStart(_text, _start);
    }
    static int zoneEnd(ZoneFileParser& _parser, std::string* _text, int _position) {
        return _parser.zoneEnd(_text, _position);
    }
    static zoneData parse_zone(ZoneFileParser& _parser, std::string _block) {
        return _parser.parse_zone(_block);
    }
};

namespace {

using Lines = std::vector<std::string>;

Lines splitLines(const std::string& _text) {
    Lines lines;
    std::istringstream in(_text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Gives |_path| a modification time of its own (same second, new nanosecond)
// so that every rewrite is a change even where time stamps are coarse.
void stampNext(const std::string& _path) {
    static long serial = 0;
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, ++serial}};
    ASSERT_EQ(utimensat(AT_FDCWD, _path.c_str(), times, 0), 0);
}

void setMtime(const std::string& _path, time_t _seconds, long _nanoseconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {_seconds, _nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, _path.c_str(), times, 0), 0);
}

std::string master(const std::string& _name) {
    return "zone \"" + _name + "\" {\n\ttype master;\n\tfile \"" + _name + ".db\";\n};\n";
}

std::string oneLine(const std::string& _name) {
    return "zone \"" + _name + "\" { type master; };\n";
}

std::string slave(const std::string& _name) {
    return "zone \"" + _name + "\" {\n\ttype slave;\n\tmasters { 192.0.2.1; };\n};\n";
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

class ZoneParserTest : public testing::Test {
protected:
    void SetUp() override {
        zonesPath = dir.file("named.conf");
        configPath = dir.file("vantrel.conf");
        testutil::writeFile(configPath, "ZONES_FILE=" + zonesPath + "\n");
        config = std::make_unique<ConfigFileParser>(configPath);
        parser = std::make_unique<ZoneFileParser>(config.get());
    }

    void writeZones(const std::string& _content) {
        testutil::writeFile(zonesPath, _content);
        stampNext(zonesPath);
    }

    // One reading; its log lines land in |log|.
    int read() {
        testing::internal::CaptureStdout();
        const int result = parser->readZones();
        log = splitLines(testing::internal::GetCapturedStdout());
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

    // The counts zonesChanged hands over, or {-1, -1} when it reports nothing.
    std::pair<int, int> changes() {
        int newZones = -1;
        int deletedZones = -1;
        if (!parser->zonesChanged(newZones, deletedZones)) {
            EXPECT_EQ(newZones, -1);
            EXPECT_EQ(deletedZones, -1);
        }
        return {newZones, deletedZones};
    }

    // The records' names after a reading of |_content| by a fresh parser.
    Lines mastersOf(const std::string& _content) {
        writeZones(_content);
        parser = std::make_unique<ZoneFileParser>(config.get());
        read();
        Lines names;
        for (const zoneData& z : *parser->getZones()) {
            names.push_back(z.getZoneName());
        }
        return names;
    }

    testutil::TempDir dir;
    std::string zonesPath;
    std::string configPath;
    std::unique_ptr<ConfigFileParser> config;
    std::unique_ptr<ZoneFileParser> parser;
    Lines log;
};

TEST_F(ZoneParserTest, WorkedExampleFirstReadingAddsTheTwoMasters) {
    writeZones(workedExample);
    EXPECT_FALSE(parser->hasReadSuccessfully());
    EXPECT_EQ(read(), 5);
    EXPECT_EQ(log,
              (Lines{"Found word zone in file... pos:15 - ignoring...",
                     "Found word zone in file... pos:38 - ignoring...", "Loading zone:a.example",
                     "Loading zone:b.example", "Loading zone:C.Example", "Loading zone:d.example",
                     "Loading zone:e.example", "Zone changes:2"}));
    EXPECT_EQ(records(), (Lines{"a.example:N", "e.example:N"}));
    EXPECT_EQ(changes(), std::make_pair(2, 0));
    EXPECT_TRUE(parser->hasReadSuccessfully());
}

TEST_F(ZoneParserTest, WorkedExampleRenamedZoneIsOneNewAndOneDeleted) {
    writeZones(workedExample);
    read();
    std::string edited = workedExample;
    edited.replace(edited.find("a.example"), 9, "x.example");
    writeZones(edited);
    EXPECT_EQ(read(), 5);
    EXPECT_EQ(log.back(), "Zone changes:1");
    EXPECT_EQ(records(), (Lines{"a.example:D", "e.example:F", "x.example:N"}));
    EXPECT_EQ(changes(), std::make_pair(1, 1));
}

TEST_F(ZoneParserTest, CommentRemovalFollowsTheScannerRules) {
    const struct {
        const char* what;
        std::string text;
        Lines masters;
    } cases[] = {
        {"line and block comments hide zones",
         "// " + oneLine("a.example") + "/* " + oneLine("b.example") + " */\n" +
             oneLine("c.example"),
         {"c.example"}},
        {"/*/ is a complete comment", "/*/ " + oneLine("a.example"), {"a.example"}},
        {"an unclosed comment runs to the end",
         oneLine("a.example") + "/* " + oneLine("b.example"),
         {"a.example"}},
        {"a // inside a quoted path cuts the line and the block runs on",
         "zone \"a.example\" { type master; file \"//a.db\"; };\n" + oneLine("b.example"),
         {"a.example"}},
        {"a NUL byte stops comment removal but not the search",
         oneLine("a.example") + std::string(1, '\0') + "// " + oneLine("b.example"),
         {"a.example", "b.example"}},
        {"hash comments are not comments", "# " + oneLine("a.example"), {"a.example"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(mastersOf(c.text), c.masters);
    }
}

TEST_F(ZoneParserTest, KeywordSearchSkipsNestedQuotedAndHiddenOccurrences) {
    const struct {
        const char* what;
        std::string text;
        Lines masters;
        size_t ignored;
    } cases[] = {
        {"a zone inside a view",
         "view \"v\" { zone \"in.example\" { type master; }; };\n" + master("out.example"),
         {"out.example"},
         1},
        {"inside a word and inside quotes",
         "options { zone-statistics yes; };\ninclude \"x.zones\";\n" + master("a.example"),
         {"a.example"},
         2},
        {"a lone quote in a hash comment hides every later zone",
         "# a 6\" rack\n" + master("a.example") + master("b.example"),
         {},
         2},
        {"an unmatched brace in a hash comment hides every later zone",
         "# {\n" + master("a.example"),
         {},
         1},
        {"a zone right after the previous block's };",
         "zone \"a.example\" { type master; };zone \"b.example\" { type master; };",
         {"a.example", "b.example"},
         0},
        {"a zone one character after the previous block",
         "zone \"a.example\" { type master; };\nzone \"b.example\" { type master; };",
         {"a.example", "b.example"},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(mastersOf(c.text), c.masters);
        size_t ignored = 0;
        for (const std::string& line : log) {
            ignored += line.find(" - ignoring...") != std::string::npos;
        }
        EXPECT_EQ(ignored, c.ignored);
    }
}

// The literal rule: nesting counted from the start of the text for every
// occurrence of the keyword.
int referenceNextZoneStart(const std::string& _text, size_t _from) {
    for (;;) {
        const size_t p = _text.find("zone", _from);
        if (p == std::string::npos) {
            return -1;
        }
        long bracket = 0;
        int quote = 0;
        for (size_t i = 0; i < p; ++i) {
            bracket += _text[i] == '{';
            bracket -= _text[i] == '}';
            quote ^= _text[i] == '"';
        }
        if (bracket == 0 && quote == 0) {
            return static_cast<int>(p);
        }
        if (_text.size() <= p + 4) {
            return -1;
        }
        _from = p + 4;
    }
}

int referenceZoneEnd(const std::string& _text, size_t _position) {
    const size_t open = _text.find('{', _position);
    if (open == std::string::npos) {
        return static_cast<int>(_text.size() + 1);
    }
    int depth = 1;
    size_t i = open + 1;
    for (; depth > 0 && i < _text.size(); ++i) {
        depth += (_text[i] == '{') - (_text[i] == '}');
    }
    return static_cast<int>(i + 1);
}

TEST_F(ZoneParserTest, CarriedNestingEqualsACountFromTheStart) {
    std::mt19937 random(20240611);
    const char* const pieces[] = {"zone", "zone", "zone ", "{", "}", "{",
                                  "}",    "\"",   " x",    ";", "\n"};
    struct Step {
        int from;
        int found;
        int end;
    };
    size_t blocks = 0;
    for (int round = 0; round < 1000; ++round) {
        std::string text;
        const size_t count = random() % 80;
        for (size_t i = 0; i < count; ++i) {
            text += pieces[random() % (sizeof(pieces) / sizeof(pieces[0]))];
        }
        // The reading's order of calls, with now and then a search from an
        // earlier or a later place. The skipped occurrences are logged; the
        // log is not what is tested here.
        std::vector<Step> steps;
        testing::internal::CaptureStdout();
        int from = 0;
        for (;;) {
            const int found = ZoneFileParserProbe::findNextZoneStart(*parser, &text, from);
            const int end = found == -1 ? -1 : ZoneFileParserProbe::zoneEnd(*parser, &text, found);
            steps.push_back({from, found, end});
            if (found == -1) {
                break;
            }
            from = random() % 8 == 0 ? static_cast<int>(random() % (text.size() + 1)) : end;
        }
        testing::internal::GetCapturedStdout();
        SCOPED_TRACE(text);
        for (const Step& step : steps) {
            ASSERT_EQ(step.found, referenceNextZoneStart(text, static_cast<size_t>(step.from)))
                << "searching from " << step.from;
            if (step.found != -1) {
                ASSERT_EQ(step.end, referenceZoneEnd(text, static_cast<size_t>(step.found)));
                ++blocks;
            }
        }
    }
    EXPECT_GT(blocks, 500u);
}

TEST_F(ZoneParserTest, BlockParsingTakesQuotedNameAndFoldedType) {
    const struct {
        const char* block;
        const char* name;
        const char* type;
    } cases[] = {
        {"zone \"a.example\"{type master;file \"a.db\";};", "a.example", "master"},
        {"zone \"a.example\" IN{type master;};", "a.example", ""},
        {"zone \"a.example\" IN{ type master;};", "a.example", "master"},
        {"zone \"a.example\" ty{pe master;};", "a.example", "master"},
        {"zone \"a.example\" IN {\r\n\ttype master;\r\n};", "a.example", "master"},
        {"zone \"a.example\" { type MASTER; };", "a.example", "master"},
        {"zone \"a.example\" { TYPE master; };", "a.example", ""},
        {"zone \"a.example\" { type master ; };", "a.example", ""},
        {"zone \"a.example\" { allow-transfer { none; }; type master; };", "a.example", ""},
        {"zone \"a.example\" { allow-update { none; }; type master; };", "a.example", ""},
        {"zone \"a.example\" { type slave; type master; };", "a.example", "master"},
        {"zone \"a.example\" { type slave; masters { 192.0.2.1; }; };", "a.example", "slave"},
        {"zone \"\" { type master; };", "", "master"},
        {"zone a.example { type master; file \"a.db\"; };", "a.db", ""},
        {"zone a.example { type master; };", "", "master"},
        {"zone \"a.example { type master; };", "", "master"},
        {"zone \"a.example\" type master;", "a.example", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block);
        testing::internal::CaptureStdout();
        const zoneData record = ZoneFileParserProbe::parse_zone(*parser, c.block);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("Loading zone:") + c.name + "\n");
        EXPECT_EQ(record.getZoneName(), c.name);
        EXPECT_EQ(record.getZoneType(), c.type);
        EXPECT_FALSE(record.isFound() || record.isNewZone() || record.isDeleted());
    }
}

TEST_F(ZoneParserTest, BlockParsingEqualsTheCharacterByCharacterRules) {
    std::mt19937 random(77);
    const char* const pieces[] = {" ",
                                  "\"a.example\"",
                                  "\"",
                                  "{",
                                  "{ ",
                                  "}",
                                  ";",
                                  "\n",
                                  "\r",
                                  "\t",
                                  "type",
                                  "ty",
                                  "pe",
                                  "TYPE",
                                  "master",
                                  "slave",
                                  "IN",
                                  " type master;",
                                  " type Slave;",
                                  "\ttype MASTER ;",
                                  "type\r\n master;\r\n",
                                  " allow-update { none; };",
                                  " allow-transfer { 192.0.2.1; };",
                                  " file \"f.db\";",
                                  " masters { 192.0.2.1; };"};
    std::vector<std::string> blocks;
    for (int round = 0; round < 3000; ++round) {
        std::string block = "zone \"r.example\"";
        const size_t count = random() % 12;
        for (size_t i = 0; i < count; ++i) {
            block += pieces[random() % (sizeof(pieces) / sizeof(pieces[0]))];
        }
        if (round % 3 == 0) {
            block.erase(0, 16);  // also blocks with zero, one or other quotes
        }
        blocks.push_back(block);
    }
    std::vector<zoneData> records;
    testing::internal::CaptureStdout();
    for (const std::string& block : blocks) {
        records.push_back(ZoneFileParserProbe::parse_zone(*parser, block));
    }
    testing::internal::GetCapturedStdout();
    size_t typed = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        // The fuzzers' character-by-character model of the block rules.
        const fuzzchecks::ZoneBlock expected = fuzzchecks::referenceParseBlock(blocks[i]);
        ASSERT_EQ(records[i].getZoneName(), expected.name) << blocks[i];
        ASSERT_EQ(records[i].getZoneType(), expected.type) << blocks[i];
        typed += !expected.type.empty();
    }
    EXPECT_GT(typed, 300u);
}

TEST_F(ZoneParserTest, BlockWithoutUsableNameAddsNothingButCounts) {
    writeZones("zone \"\" { type master; };\nzone a.example { type master; };\n" +
               master("b.example"));
    EXPECT_EQ(read(), 3);
    EXPECT_EQ(
        log, (Lines{"Loading zone:", "Loading zone:", "Loading zone:b.example", "Zone changes:1"}));
    EXPECT_EQ(records(), (Lines{"b.example:N"}));
}

TEST_F(ZoneParserTest, FirstReadingCountsEveryBlockAndAddsMasters) {
    writeZones(master("c.example") + slave("s.example") + master("a.example") +
               master("b.example"));
    EXPECT_EQ(read(), 4);
    EXPECT_EQ(log.back(), "Zone changes:3");
    EXPECT_EQ(records(), (Lines{"a.example:N", "b.example:N", "c.example:N"}));
    EXPECT_EQ(changes(), std::make_pair(3, 0));
}

TEST_F(ZoneParserTest, UnchangedFileIsDeferredWithFlagsCleared) {
    writeZones(master("a.example"));
    read();
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(log, (Lines{"Zones file hasn't changed. Deferring update."}));
    EXPECT_EQ(records(), (Lines{"a.example:"}));
    EXPECT_EQ(changes(), std::make_pair(-1, -1));
}

TEST_F(ZoneParserTest, LaterReadingsFlagFoundNewAndDeleted) {
    writeZones(master("a.example") + master("b.example") + master("m.example"));
    read();
    // b leaves, m turns slave, q and the other type words arrive.
    writeZones(master("a.example") + slave("m.example") + master("q.example") +
               "zone \"p.example\" { type primary; };\nzone \"r.example\" { type masters; };\n");
    EXPECT_EQ(read(), 5);
    EXPECT_EQ(records(), (Lines{"a.example:F", "b.example:D", "m.example:F", "q.example:N"}));
    EXPECT_EQ(changes(), std::make_pair(1, 1));
    // Only known zones: true, with nothing new or deleted.
    writeZones(master("a.example") + master("q.example") + "\n");
    read();
    EXPECT_EQ(records(), (Lines{"a.example:F", "b.example:D", "m.example:D", "q.example:F"}));
    parser->getZones()->erase(parser->getZones()->begin() + 1, parser->getZones()->begin() + 3);
    writeZones(master("a.example") + master("q.example") + "\n\n");
    read();
    EXPECT_EQ(changes(), std::make_pair(0, 0));
}

TEST_F(ZoneParserTest, ManyZonesAreMetAgainAndAdditionsMergeInOrder) {
    zonegen::Layout layout;
    layout.zoneCount = 3000;
    const std::string generated = zonegen::generateText(layout);
    writeZones(generated);
    const int blocks = read();
    const size_t masters = parser->getZones()->size();
    ASSERT_GT(masters, 2500u);
    // The API client erases a few records; two zones are added, one sorting
    // first and one in the middle.
    auto* zones = parser->getZones();
    zones->erase(zones->begin() + 10);
    zones->erase(zones->begin() + 500);
    writeZones(generated + master("0-first.example") + master("m-middle.example"));
    EXPECT_EQ(read(), blocks + 2);
    EXPECT_EQ(changes(), std::make_pair(4, 0));
    ASSERT_EQ(zones->size(), masters + 2);
    size_t found = 0;
    for (size_t i = 0; i < zones->size(); ++i) {
        found += (*zones)[i].isFound();
        if (i > 0) {
            ASSERT_LT((*zones)[i - 1].getZoneName(), (*zones)[i].getZoneName());
        }
    }
    EXPECT_EQ(found, masters - 2);
    EXPECT_EQ(zones->front().getZoneName(), "0-first.example");
}

TEST_F(ZoneParserTest, DuplicateMasterBlockGivesOneRecordNewAndFound) {
    writeZones(master("a.example") + master("a.example"));
    EXPECT_EQ(read(), 2);
    EXPECT_EQ(records(), (Lines{"a.example:FN"}));
    EXPECT_EQ(changes(), std::make_pair(1, 0));
}

TEST_F(ZoneParserTest, ChangedFileWithoutBlocksFlagsEveryRecordDeleted) {
    writeZones(master("a.example") + master("b.example"));
    read();
    writeZones("options { directory \"/var/named\"; };\n");
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(log, (Lines{"Zone changes:0"}));
    EXPECT_EQ(records(), (Lines{"a.example:D", "b.example:D"}));
    EXPECT_EQ(changes(), std::make_pair(0, 2));
}

TEST_F(ZoneParserTest, NamesDifferingInCaseAreOneZone) {
    // Only ASCII letters fold: the two spellings of a-umlaut stay apart.
    writeZones(master("b.example") + master("a.example") + master("C.Example") +
               master("A.EXAMPLE") + master("\xc3\x84.example") + master("\xc3\xa4.example"));
    EXPECT_EQ(read(), 6);
    EXPECT_EQ(records(), (Lines{"C.Example:N", "a.example:FN", "b.example:N", "\xc3\x84.example:N",
                                "\xc3\xa4.example:N"}));
    // A rename that only changes case meets the zone again; the first
    // spelling stays.
    writeZones(master("B.Example") + master("a.example") + master("c.example") +
               master("\xc3\x84.example") + master("\xc3\xa4.example"));
    read();
    EXPECT_EQ(records(), (Lines{"C.Example:F", "a.example:F", "b.example:F", "\xc3\x84.example:F",
                                "\xc3\xa4.example:F"}));
    EXPECT_EQ(changes(), std::make_pair(0, 0));
}

TEST_F(ZoneParserTest, SameSecondSameSizeRewriteIsRead) {
    writeZones(master("a.example"));
    setMtime(zonesPath, 1600000000, 100);
    read();
    testutil::writeFile(zonesPath, master("b.example"));
    setMtime(zonesPath, 1600000000, 200);
    read();
    EXPECT_EQ(records(), (Lines{"a.example:D", "b.example:N"}));
}

TEST_F(ZoneParserTest, RenameIntoPlaceOfOlderFileIsRead) {
    writeZones(master("a.example"));
    setMtime(zonesPath, 1600000000, 0);
    read();
    // Same size and the very same modification time, but another file.
    const std::string staged = dir.file("named.conf.new");
    testutil::writeFile(staged, master("b.example"));
    setMtime(staged, 1600000000, 0);
    ASSERT_EQ(rename(staged.c_str(), zonesPath.c_str()), 0);
    read();
    EXPECT_EQ(records(), (Lines{"a.example:D", "b.example:N"}));
}

TEST_F(ZoneParserTest, FailedDeletionIsRetriedFromAnUnchangedFile) {
    writeZones(master("a.example") + master("b.example"));
    read();
    writeZones(master("a.example"));
    read();
    EXPECT_EQ(records(), (Lines{"a.example:F", "b.example:D"}));
    // The API client could not delete b.example, so it is still there: the
    // next pass reads the unchanged file again.
    EXPECT_EQ(read(), 1);
    EXPECT_EQ(records(), (Lines{"a.example:F", "b.example:D"}));
    EXPECT_EQ(changes(), std::make_pair(0, 1));
    // This time the deletion succeeds and the record goes.
    parser->getZones()->pop_back();
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(log, (Lines{"Zones file hasn't changed. Deferring update."}));
}

TEST_F(ZoneParserTest, MissingDirectoryAndLinkAreRefusedAtEveryPass) {
    const std::string target = dir.file("real.conf");
    testutil::writeFile(target, master("a.example"));
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    const struct {
        const char* what;
        std::string path;
        const char* message;
    } cases[] = {
        {"missing", dir.file("absent.conf"), "Error reading file!"},
        {"directory", dir.file("folder"), "Not a regular file:"},
        {"symbolic link", dir.file("link.conf"), "Not a regular file:"},
    };
    ASSERT_EQ(symlink(target.c_str(), dir.file("link.conf").c_str()), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::writeFile(configPath, "ZONES_FILE=" + c.path + "\n");
        config = std::make_unique<ConfigFileParser>(configPath);
        parser = std::make_unique<ZoneFileParser>(config.get());
        for (int pass = 0; pass < 3; ++pass) {
            EXPECT_EQ(read(), 0);
            EXPECT_EQ(log, (Lines{c.message}));
        }
        EXPECT_TRUE(parser->getZones()->empty());
        EXPECT_FALSE(parser->hasReadSuccessfully());
    }
}

TEST_F(ZoneParserTest, FailuresAfterASuccessfulReadingLeaveRecordsUnflagged) {
    writeZones(slave("s.example"));
    read();
    EXPECT_TRUE(parser->hasReadSuccessfully());
    writeZones(master("a.example"));
    read();
    ASSERT_EQ(unlink(zonesPath.c_str()), 0);
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(log, (Lines{"Error reading file!"}));
    EXPECT_EQ(records(), (Lines{"a.example:"}));
    EXPECT_EQ(changes(), std::make_pair(-1, -1));
    EXPECT_TRUE(parser->hasReadSuccessfully());
}

void appendDuringRead(const std::string& _path) {
    std::FILE* out = std::fopen(_path.c_str(), "ab");
    ASSERT_NE(out, nullptr);
    std::fputs("zone \"late.example\" { type master; };\n", out);
    std::fclose(out);
}

TEST_F(ZoneParserTest, FileChangedWhileReadIsDeferred) {
    writeZones(master("a.example"));
    struct HookGuard {
        HookGuard() { ZoneFileParserProbe::setAfterReadHook(appendDuringRead); }
        ~HookGuard() { ZoneFileParserProbe::setAfterReadHook(nullptr); }
    };
    {
        HookGuard guard;
        EXPECT_EQ(read(), 0);
    }
    EXPECT_EQ(log, (Lines{"Zones file changed while it was read. Deferring update."}));
    EXPECT_TRUE(parser->getZones()->empty());
    EXPECT_FALSE(parser->hasReadSuccessfully());
    EXPECT_EQ(read(), 2);
    EXPECT_EQ(records(), (Lines{"a.example:N", "late.example:N"}));
}

TEST_F(ZoneParserTest, UnreadableFileRecordsNothingAndPermissionFixIsPickedUp) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the file to nobody and drop to that user";
    }
    writeZones(master("a.example") + master("b.example"));
    read();
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chown(zonesPath.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chmod(zonesPath.c_str(), 0), 0);
    testing::internal::CaptureStdout();
    const int failures = testutil::runAsNobody([this] {
        int failed = 0;
        ZoneFileParser fresh(config.get());
        int newZones = -1;
        int deletedZones = -1;
        if (fresh.readZones() != 0 || fresh.hasReadSuccessfully() || !fresh.getZones()->empty()) {
            failed |= 1;
        }
        // The parser that read the file before: nothing is flagged, and the
        // next pass tries again instead of deferring.
        if (parser->readZones() != 0 || parser->readZones() != 0 ||
            parser->zonesChanged(newZones, deletedZones) ||
            records() != Lines{"a.example:", "b.example:"}) {
            failed |= 2;
        }
        // Restoring the permissions changes only the status-change time.
        if (chmod(zonesPath.c_str(), 0644) != 0 || parser->readZones() != 2 ||
            records() != Lines{"a.example:F", "b.example:F"}) {
            failed |= 4;
        }
        return failed;
    });
    log = splitLines(testing::internal::GetCapturedStdout());
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(log, (Lines{"Error reading file!", "Error reading file!", "Error reading file!",
                          "Loading zone:a.example", "Loading zone:b.example", "Zone changes:0"}));
}

TEST_F(ZoneParserTest, ArrayCopyHoldsTheRecordsInVectorOrder) {
    writeZones(master("b.example") + master("a.example"));
    read();
    int count = -1;
    zoneData* copy = parser->getZones(count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(copy[0].getZoneName(), "a.example");
    EXPECT_TRUE(copy[1].isNewZone());
    copy[0].setZoneName("changed.example");
    EXPECT_EQ(parser->getZones()->front().getZoneName(), "a.example");
    delete[] copy;
}

std::string findNamedCheckconf() {
    if (access("/usr/bin/named-checkconf", X_OK) == 0) {
        return "/usr/bin/named-checkconf";
    }
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/named-checkconf";
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

TEST_F(ZoneParserTest, GeneratedHostingFileMatchesNamedCheckconf) {
    const std::string checkconf = findNamedCheckconf();
    if (checkconf.empty()) {
        GTEST_SKIP() << "named-checkconf (bind9-utils) is not installed";
    }
    zonegen::Layout layout;
    layout.zoneCount = 500;
    layout.seed = 11;
    layout.directory = dir.path();
    ASSERT_TRUE(zonegen::writeFile(zonesPath, layout));
    const testutil::ProcessResult bind = testutil::runProcess({checkconf, "-l", zonesPath});
    ASSERT_EQ(bind.status, 0) << bind.out;
    // Zone lines read "name class view type".
    std::set<std::string> bindMasters;
    size_t bindZones = 0;
    for (const std::string& line : splitLines(bind.out)) {
        std::istringstream fields(line);
        std::string name, zoneClass, view, type, extra;
        if (!(fields >> name >> zoneClass >> view >> type) || (fields >> extra)) {
            continue;  // a warning, not a zone
        }
        ++bindZones;
        if (type == "master" || type == "primary") {
            bindMasters.insert(name);
        }
    }
    EXPECT_EQ(read(), static_cast<int>(bindZones));
    std::set<std::string> ours;
    for (const zoneData& z : *parser->getZones()) {
        ours.insert(z.getZoneName());
    }
    EXPECT_EQ(ours.size(), parser->getZones()->size());
    EXPECT_EQ(ours, bindMasters);
    EXPECT_GT(ours.size(), 400u);
}

}  // namespace
