// The zones file reader through real files in temporary folders, with BIND's
// own named-checkconf as the reference: generated configurations and the
// layouts distributions and hosting panels write must give exactly the
// primary zones BIND serves, texts BIND refuses must change nothing, and the
// change tracking must flag what a reading concluded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "fuzz/fuzz_checks.h"
#include "mylibs.h"
#include "test_util.h"

namespace {

using Names = std::set<std::string>;
using Files = std::map<std::string, std::string>;

// Names the generator and the layouts use that BIND serves as primary but
// the agent must never mirror: locally served ones and the excluded pattern.
bool neverMirrored(const std::string& _name) {
    const std::string local =
        " localhost localhost.localdomain 0.in-addr.arpa 127.in-addr.arpa 255.in-addr.arpa "
        "1.0.0.127.in-addr.arpa 10.in-addr.arpa 168.192.in-addr.arpa 1.168.192.in-addr.arpa "
        "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa ";
    const std::string suffix = ".excluded.test";
    return local.find(" " + _name + " ") != std::string::npos ||
           (_name.size() > suffix.size() &&
            _name.compare(_name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

// A zone name as both sides compare it: letter case folded, without its
// trailing dot.
std::string comparable(std::string _name) {
    if (_name.size() > 1 && _name.back() == '.') {
        _name.pop_back();
    }
    return asciiLower(_name);
}

// What BIND makes of |_main|: named-checkconf -l run in the file's folder.
struct bindVerdict {
    bool accepted = false;
    bool syntaxError = false;  // refused by its parser, not by a later check
    std::string message;
    Names primaries;  // of |_view| ("" for outside views), as the agent mirrors them
    Names views;      // of the zones listed
};

bindVerdict askBind(const testutil::TempDir& _dir, const std::string& _view) {
    const auto run =
        testutil::runProcess({"/bin/sh", "-c", "named-checkconf -l named.conf 2>&1"}, _dir.path());
    bindVerdict verdict;
    verdict.accepted = run.status == 0;
    verdict.message = run.out;
    for (const char* parser : {"missing ';'", "expected", "unexpected end", "syntax error",
                               "unbalanced", "unexpected token", "redefined", "too many"}) {
        verdict.syntaxError = verdict.syntaxError || run.out.find(parser) != std::string::npos;
    }
    // Each line: name (which may hold blanks), class, view, type; an in-view
    // zone's type is "in-view <view>". Only zones of class IN count, and a
    // hint zone, kept apart, leaves the zone of its name to another one.
    const std::regex listed("(.*?) (\\S+) (\\S+) (in-view \\S+|\\S+)");
    std::map<std::pair<std::string, std::string>, std::string> types;  // by view, name
    std::istringstream in(verdict.accepted ? run.out : "");
    std::smatch w;
    for (std::string line; std::getline(in, line);) {
        const bool zone = std::regex_match(line, w, listed);
        verdict.views.insert(zone ? w[3].str() : "");
        if (zone && std::regex_match(w[2].str(), std::regex("in|class1", std::regex::icase)) &&
            asciiLower(w[4]) != "hint") {
            types[{w[3], comparable(w[1])}] = w[4].str()[0] == 'i' ? w[4].str() : asciiLower(w[4]);
        }
    }
    for (const auto& zone : types) {
        std::string type = zone.second;
        if (type.compare(0, 8, "in-view ") == 0) {
            type = types[{type.substr(8), zone.first.second}];
        }
        const std::string& name = zone.first.second;
        if ((type == "master" || type == "primary") &&
            zone.first.first == (_view.empty() ? "_default" : _view) && name != "." &&
            !neverMirrored(name)) {
            verdict.primaries.insert(name);
        }
    }
    return verdict;
}

// The agent's reading of the same files, |_settings| added to its
// configuration (the parser keeps what it needs of it).
std::unique_ptr<ZoneFileParser> askAgent(const testutil::TempDir& _dir,
                                         const std::string& _settings) {
    testutil::writeFile(_dir.file("vantrel.conf"),
                        "ZONES_FILE=" + _dir.file("named.conf") + "\n" + _settings);
    const ConfigFileParser config(_dir.file("vantrel.conf"));
    auto parser = std::make_unique<ZoneFileParser>(&config);
    testing::internal::CaptureStdout();
    parser->readZones();
    testing::internal::GetCapturedStdout();
    return parser;
}

std::string withDir(std::string _text, const testutil::TempDir& _dir) {
    for (size_t at; (at = _text.find("@DIR@")) != std::string::npos;) {
        _text.replace(at, 5, _dir.path());
    }
    return _text;
}

// Writes |_files| (named.conf first among them) into a fresh folder, asks
// both sides and checks that they agree: BIND's primaries are mirrored when
// it accepts the text, and a text its parser refuses is refused.
struct comparison {
    std::string problem;  // empty when the two sides agree
    bindVerdict bind;
    Names mirrored;
};

comparison compareWithBind(const Files& _files, const std::string& _view) {
    testutil::TempDir dir;
    for (const auto& file : _files) {
        testutil::writeFile(dir.file(file.first), withDir(file.second, dir));
    }
    const bindVerdict bind = askBind(dir, _view);
    const auto agent = askAgent(
        dir, "FOLLOW_INCLUDES=TRUE\nZONES_VIEW=" + _view + "\nEXCLUDE_ZONES=*.EXCLUDED.test\n");
    const bool refused = agent->getLastResult() == readResult::Failed;
    comparison result{"", bind, {}};
    for (const zoneData& zone : *agent->getZones()) {
        result.mirrored.insert(comparable(zone.getZoneName()));
    }
    const auto joined = [](const Names& _names) {
        return std::accumulate(_names.begin(), _names.end(), std::string(),
                               [](std::string _all, const std::string& _name) {
                                   return std::move(_all) + " " + _name;
                               });
    };
    // A text whose view ZONES_VIEW names is lost (in a parameter block that
    // a break left open) is refused by the agent whatever BIND makes of it.
    const bool viewLost =
        agent->getReadError().rfind("ZONES_VIEW", 0) == 0 && bind.views.count(_view) == 0;
    if (bind.accepted && !viewLost && (refused || result.mirrored != bind.primaries)) {
        result.problem =
            "BIND accepts and serves" + joined(bind.primaries) + "; the agent " +
            (refused ? "refused: " + agent->getReadError() : "mirrors" + joined(result.mirrored));
    } else if (!bind.accepted && bind.syntaxError && !refused) {
        result.problem = "BIND refused (" + bind.message + "); the agent did not";
    }
    return result;
}

// Whether the BIND at hand still knows the zone type delegation-only (9.18
// does, 9.20 refuses it); the agent reads it as not primary either way.
bool bindKnowsDelegationOnly() {
    static const bool known = [] {
        testutil::TempDir dir;
        testutil::writeFile(dir.file("named.conf"), "zone \"x\" { type delegation-only; };\n");
        return askBind(dir, "").accepted;
    }();
    return known;
}

// Generated configurations: options, acl, key, logging, controls, dyndb and
// plugin around zones (outside views or in two views of class IN, CHAOS or
// HS, one with an in-view zone) of every type whose statements come in
// random order, quoted and unquoted names, classes, the three comment styles
// also inside strings and around names, includes at the top, in views and
// inside zone bodies; one in four texts then broken.
class configGenerator {
public:
    explicit configGenerator(uint32_t _seed) : random(_seed) {}

    Files generate(std::string* _view) {
        files.clear();
        serial = 0;
        std::vector<std::string> top = {
            "options {" +
                shuffled({"directory \"@DIR@\";", "notify no;", "allow-transfer { trusted; };",
                          "version \"//none\";", "listen-on port 53 { any; };"}) +
                "};",
            "acl \"trusted\" { 192.0.2.0/24; !198.51.100.7; localhost; };",
            "key \"rndc-key\" { algorithm hmac-sha256; secret \"c2VjcmV0c2VjcmV0\"; };",
            "logging { channel c { file \"/tmp/named#1.log\" versions 3 size 5m; severity info; "
            "}; category default { c; }; };",
            "controls { inet 127.0.0.1 port 953 allow { 127.0.0.1; } keys { \"rndc-key\"; }; };"};
        const bool views = pick(3) == 0;
        *_view = !views ? "" : pick(4) == 0 ? "" : pick(2) == 0 ? "inside" : "Outside";
        top.push_back(pick(3) == 0 ? module() : pick(8) == 0 && !views ? module(true) : "");
        // Both views of one class, for the in-view zone.
        family = views && pick(3) == 0 ? 1 + pick(2) : 0;
        if (views) {
            std::string inside = zones(3 + pick(5), "inside");
            std::string outside = zones(3 + pick(5), "Outside");
            outside += " zone \"shared.example\" { type master; file \"shared.db\"; };";
            inside += " zone \"Shared.Example.\" { in-view \"Outside\"; };";
            // A view must come before the in-view statements that name it.
            top.push_back("view Outside " + classWord(true) + "{ match-clients { any; }; " +
                          (pick(4) == 0 ? module(pick(2) == 0) : "") + outside + " };" + spacing() +
                          "view \"inside\" " + classWord(true) +
                          " { match-clients { 10.0.0.0/8; }; " + inside + " };");
        } else {
            top.push_back(zones(4 + pick(12), ""));
        }
        files["named.conf"] = shuffled(top);
        if (pick(4) == 0) {
            breakText(&files[pick(2) == 0 ? "named.conf" : std::prev(files.end())->first]);
        }
        return files;
    }

private:
    size_t pick(size_t _n) { return random() % _n; }

    std::string shuffled(std::vector<std::string> _items) {
        std::shuffle(_items.begin(), _items.end(), random);
        std::string out;
        for (const std::string& item : _items) {
            out += spacing() + item;
        }
        return out + "\n";
    }

    // A class of the text's family; none at times, but a view not of class
    // IN states its class.
    std::string classWord(bool _view = false) {
        const char* const classes[3][3] = {
            {"IN", "in", "CLASS1"}, {"CHAOS", "ch", "chaos"}, {"HS", "hesiod", "hs"}};
        return pick(3) == 0 && (family == 0 || !_view) ? "" : classes[family][pick(3)];
    }

    // A dyndb or plugin statement: a parameter block that BIND reads as raw
    // text, in which only braces count and a backslash escapes one.
    std::string module(bool _plugin = false) {
        const char* const pieces[] = {
            "uri \"ldapi://%2f\";", "a \"b", "// {}", "/* {}", "\n# x", "\\}", "\\{", "\\\\",
            "{ k \"v\"; }",         ";",     "nil."};
        std::string text;
        for (size_t n = pick(6); n > 0; --n) {
            text += std::string(" ") + pieces[pick(11)];
        }
        return (_plugin        ? "plugin query \"filter.so\""
                : pick(2) == 0 ? "dyndb ipa \"ldap.so\""
                               : "dyndb \"s\" \"sample.so\"") +
               spacing() + "{" + text + " };";
    }

    // Blanks or a comment between tokens.
    std::string spacing() {
        const char* const forms[] = {" ",        "\n\t", " /* c \"{ */ ", " // c \"}\n",
                                     " # c ;\n", "\r\n", " /**/"};
        return forms[pick(7)];
    }

    std::string zones(size_t _count, const std::string& _view) {
        std::vector<std::string> out;
        std::set<std::string> used;
        for (size_t i = 0; i < _count; ++i) {
            // Now and then a name with capitals or its trailing dot, or one
            // never mirrored.
            const char* const names[] = {"Example.NET.",
                                         "xn--bcher-kva.example",
                                         "localhost",
                                         "168.192.in-addr.arpa",
                                         "1.168.192.in-addr.arpa",
                                         "0.in-addr.arpa",
                                         "a.excluded.test",
                                         ".",
                                         "b.example."};
            const std::string name =
                pick(3) == 0 ? names[pick(9)] : "z" + std::to_string(serial) + ".example";
            if (!used.insert(comparable(name)).second) {
                continue;
            }
            const std::string file =
                "file \"/var//named/" + _view + std::to_string(serial++) + ".db\";";
            // A mirror zone needs recursion, which a view not of class IN lacks.
            const char* const types[] = {"master",          "primary", "Master",      "slave",
                                         "forward",         "stub",    "PRIMARY",     "secondary",
                                         "delegation-only", "hint",    "static-stub", "mirror"};
            std::string type = types[pick(family == 0 ? 12 : 11)];
            type = type == "delegation-only" && !bindKnowsDelegationOnly() ? "hint" : type;
            std::vector<std::string> body = {"type " + type + (pick(4) == 0 ? " ;" : ";")};
            if (type == "forward" || type == "static-stub") {
                body.push_back(type[0] == 'f' ? "forwarders { 192.0.2.1; };"
                                              : "server-addresses { 192.0.2.1; };");
            } else if (type != "delegation-only") {
                body.push_back(file);
            }
            if (type == "slave" || type == "secondary" || type == "stub" || type == "mirror") {
                body.push_back("masters { 192.0.2.1; 192.0.2.2 port 5353; };");
            }
            for (const char* option : {"allow-transfer { none; };", "notify yes;",
                                       "allow-update { key \"rndc-key\"; };"}) {
                if (pick(3) == 0 && (type == "master" || type == "primary")) {
                    body.push_back(option);
                }
            }
            if (pick(6) == 0) {
                // The zone's statements from a file of their own.
                const std::string part = "body" + std::to_string(serial) + ".conf";
                files[part] = shuffled(body);
                body = {"include \"" + std::string(pick(2) == 0 ? "@DIR@/" : "") + part + "\";"};
            }
            const bool bare = name.find_first_of(".") != std::string::npos && pick(3) == 0;
            const std::string header = std::string(pick(2) == 0 ? "zone" : "ZONE") + spacing() +
                                       (bare ? name : "\"" + name + "\"") + spacing() + classWord();
            out.push_back(header + "{" + shuffled(body) + "};");
        }
        if (pick(8) == 0) {
            out.push_back("zone \".\" { type redirect; file \"" + _view + "r.db\"; };");
        }
        std::string text = shuffled(out);
        if (pick(3) == 0) {
            const std::string part = "zones" + std::to_string(serial++) + ".conf";
            files[part] = zones(2, _view);
            text += " include \"" + part + "\";";
        }
        return text;
    }

    // One change that breaks the grammar's structure, most of the time: a
    // ";" after a "}" or a type gone, a brace gone or added, a quote left open
    // at the end, a type BIND does not know. (A quote inside a word shifts
    // every string after it, and BIND then refuses the option values that
    // come out, which the agent does not check.)
    void breakText(std::string* _text) {
        const size_t kind = pick(6);
        const size_t type = _text->find("type ", pick(_text->size()));
        if (kind == 5 && type != std::string::npos) {
            _text->replace(type + 5, _text->find_first_of(" ;", type + 5) - type - 5, "native");
        }
        const char* const marks[] = {"};", "}", "type"};
        if (kind < 3) {
            size_t at = _text->find(marks[kind], pick(_text->size()));
            at = kind == 2 ? _text->find(';', at) : at + (kind == 0);
            if (at < _text->size()) {
                _text->erase(at, 1);
            }
        } else if (kind < 5) {
            _text->insert(kind == 3 ? pick(_text->size()) : _text->size(), kind == 3 ? "{ " : "\"");
        }
    }

    std::mt19937 random;
    Files files;
    size_t serial = 0;
    size_t family = 0;  // the class of the text's zones and views: IN, CHAOS, HS
};

TEST(ZonesReaderTest, GeneratedConfigurationsGiveExactlyTheZonesBindServesAsPrimary) {
    const char* seed = std::getenv("VANTREL_DIFFERENTIAL_SEED");
    configGenerator generator(seed != nullptr ? std::stoul(seed) : 20261207);
    const char* rounds = std::getenv("VANTREL_DIFFERENTIAL_ROUNDS");
    size_t accepted = 0;
    size_t refused = 0;
    size_t mirrored = 0;
    for (int round = 0; round < (rounds != nullptr ? std::stoi(rounds) : 300); ++round) {
        std::string view;
        const Files files = generator.generate(&view);
        const comparison result = compareWithBind(files, view);
        accepted += result.bind.accepted;
        refused += result.bind.syntaxError;
        mirrored += result.bind.primaries.size();
        std::string texts;
        for (const auto& file : files) {
            texts += "--- " + file.first + "\n" + file.second;
        }
        ASSERT_EQ(result.problem, "") << "round " << round << ":\n" << texts;
    }
    std::cout << "texts accepted by BIND " << accepted << ", refused for syntax " << refused
              << ", primary zones compared " << mirrored << "\n";
    EXPECT_GT(accepted, 150u);
    EXPECT_GT(refused, 30u);
}

// The layouts distributions and hosting panels write (tests/layouts/<one>/:
// the files, with @DIR@ for the folder they are written to, and "expected":
// a comment line, "view <name>" when one is mirrored, then the names), each
// read with FOLLOW_INCLUDES=TRUE: the mirrored zones are the expected ones,
// and they are the primary zones BIND serves.
TEST(ZonesReaderTest, LayoutsOfDistributionsAndPanelsGiveTheZonesBindServes) {
    std::map<std::string, Files> layouts;
    size_t checked = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(VANTREL_SOURCE_DIR) + "/tests/layouts")) {
        Files& files = layouts[entry.path().filename()];
        for (const auto& file : std::filesystem::directory_iterator(entry.path())) {
            files[file.path().filename()] = testutil::readFile(file.path());
        }
        std::istringstream expected(files["expected"]);
        files.erase("expected");
        std::string view;
        Names names;
        for (std::string line; std::getline(expected, line);) {
            view = line.compare(0, 5, "view ") == 0 ? line.substr(5) : view;
            if (line[0] != '#' && line.compare(0, 5, "view ") != 0) {
                names.insert(line);
            }
        }
        SCOPED_TRACE(entry.path().string());
        const comparison result = compareWithBind(files, view);
        EXPECT_EQ(result.problem, "");
        EXPECT_EQ(result.mirrored, names);
        ++checked;
    }
    EXPECT_EQ(checked, 12u);
    // Without FOLLOW_INCLUDES, or without ZONES_VIEW in a file with views,
    // nothing is mirrored and the reason says which key changes that.
    const std::tuple<const char*, const char*, std::string> unread[] = {
        {"debian", "FOLLOW_INCLUDES=FALSE\n",
         "it includes \"@DIR@/named.conf.options\", \"@DIR@/named.conf.local\", "
         "\"@DIR@/named.conf.default-zones\", not read while FOLLOW_INCLUDES=FALSE"},
        {"split-horizon", "ZONES_VIEW=\n",
         "its zones sit in views \"internal\" (2), \"external\" (2): set ZONES_VIEW"}};
    for (const auto& [layout, setting, reason] : unread) {
        testutil::TempDir dir;
        for (const auto& file : layouts[layout]) {
            testutil::writeFile(dir.file(file.first), withDir(file.second, dir));
        }
        const auto agent = askAgent(dir, setting);
        EXPECT_EQ(agent->getLastResult(), readResult::NoZoneBlocks);
        EXPECT_NE(agent->getNoZonesReason().find(withDir(reason, dir)), std::string::npos)
            << agent->getNoZonesReason();
    }
}

class ZoneTrackingTest : public testing::Test {
protected:
    void SetUp() override { fresh(); }

    // A fresh parser of the zones file, following includes.
    void fresh() {
        testutil::writeFile(dir.file("vantrel.conf"),
                            "ZONES_FILE=" + zonesPath + "\nFOLLOW_INCLUDES=TRUE\n");
        config = std::make_unique<ConfigFileParser>(dir.file("vantrel.conf"));
        parser = std::make_unique<ZoneFileParser>(config.get());
    }
    // Renames a new zones file into place: a change whatever the clock.
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
    // Each record with its flags (F found, N new, D deleted), then the
    // counts zonesChanged hands over, or "none".
    std::string state() const {
        std::string out;
        for (const zoneData& z : *parser->getZones()) {
            out += z.getZoneName() + ":" + (z.isFound() ? "F" : "") + (z.isNewZone() ? "N" : "") +
                   (z.isDeleted() ? "D" : "") + " ";
        }
        int counts[2] = {0, 0};
        return out + (parser->zonesChanged(counts[0], counts[1])
                          ? "+" + std::to_string(counts[0]) + " -" + std::to_string(counts[1])
                          : "none");
    }

    testutil::TempDir dir;
    std::string zonesPath = dir.file("named.conf");
    std::unique_ptr<ConfigFileParser> config;
    std::unique_ptr<ZoneFileParser> parser;
    std::string log;
};

std::string master(const std::string& _name) {
    return "zone \"" + _name + "\" { type master; file \"" + _name + ".db\"; };\n";
}

TEST_F(ZoneTrackingTest, ARenameIsNewPlusDeletedAndNamesCompareAsDnsNames) {
    // A secondary zone and a primary one of class CHAOS are read, not added.
    writeZones(master("b.example") + master("A.example.") +
               "zone \"s.example\" { type slave; };\nzone version.bind chaos { type master; };\n");
    EXPECT_EQ(read(), 4);
    EXPECT_EQ(log,
              "Loading zone:b.example\nLoading zone:A.example.\nLoading zone:s.example\nLoading "
              "zone:version.bind\nZone changes:2\n");
    EXPECT_EQ(state(), "A.example:N b.example:N +2 -0");
    // Renamed into place with an older time; letter case and the trailing dot
    // do not make another zone.
    const timespec old[2] = {{1600000000, 0}, {1600000000, 0}};
    testutil::writeFile(dir.file("staged"), master("a.EXAMPLE") + master("x.example"));
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file("staged").c_str(), old, 0), 0);
    ASSERT_EQ(rename(dir.file("staged").c_str(), zonesPath.c_str()), 0);
    EXPECT_EQ(read(), 2);
    EXPECT_EQ(state(), "A.example:F b.example:D x.example:N +1 -1");
    parser->getZones()->erase(parser->getZones()->begin() + 1);  // the service deleted it
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(log, "Zones file hasn't changed. Deferring update.\n");
    EXPECT_EQ(state(), "A.example: x.example: none");
    // A known zone that turned secondary stays; a new secondary is not added.
    writeZones(master("a.example") +
               "zone x.example { type slave; };\nzone y.example { type slave; };\n");
    EXPECT_EQ(read(), 3);
    EXPECT_EQ(state(), "A.example:F x.example:F +0 -0");
}

// Texts BIND would refuse and files that cannot be used are refused at every
// pass with the file, the line and the reason, recording and flagging
// nothing but the owed deletion; the next good text is read as usual.
TEST_F(ZoneTrackingTest, RefusedTextsAndFilesChangeNothingButKeepOwedDeletions) {
    // The texts (tests/refused/, listed in its file "expected" with the
    // error each names), then a file made missing, a link, a FIFO and a
    // sparse file of 2 GiB.
    std::vector<std::pair<std::string, std::string>> cases;
    const std::string folder = std::string(VANTREL_SOURCE_DIR) + "/tests/refused/";
    std::istringstream listed(testutil::readFile(folder + "expected"));
    for (std::string line; std::getline(listed, line);) {
        const size_t tab = line.find('\t');
        if (line[0] != '#' && tab != std::string::npos) {
            cases.emplace_back(testutil::readFile(folder + line.substr(0, tab)),
                               line.substr(tab + 1));
        }
    }
    ASSERT_EQ(cases.size(), 23u);
    for (const char* file : {"absent", "link", "fifo", "2 GiB"}) {
        cases.emplace_back(file, file[0] == 'a'   ? "Error reading file!"
                                 : file[0] == '2' ? "Zones file too large."
                                                  : "Not a regular file:");
    }
    testutil::writeFile(dir.file("deep.conf"), "include \"deep2.conf\";\n");
    for (int depth = 2; depth < 20; ++depth) {
        testutil::writeFile(dir.file("deep" + std::to_string(depth) + ".conf"),
                            "include \"deep" + std::to_string(depth + 1) + ".conf\";\n");
    }
    for (const auto& [content, error] : cases) {
        SCOPED_TRACE(content.substr(0, 80));
        fresh();
        writeZones(master("a.example") + master("b.example"));
        read();
        writeZones(master("a.example"));  // b.example owed: the service refused it
        read();
        // Short texts stand for a file of their own made missing, a link, a
        // FIFO or a sparse file of 2 GiB.
        if (content.size() > 6) {
            writeZones(withDir(content, dir));
        } else {
            ASSERT_EQ(unlink(zonesPath.c_str()), 0);
            ASSERT_TRUE(content != "link" ||
                        symlink(dir.file("deep.conf").c_str(), zonesPath.c_str()) == 0);
            ASSERT_TRUE(content != "fifo" || mkfifo(zonesPath.c_str(), 0644) == 0);
            ASSERT_TRUE(
                content != "2 GiB" ||
                truncate((testutil::writeFile(zonesPath, ""), zonesPath).c_str(), 1LL << 31) == 0);
        }
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(read(), 0);
            EXPECT_EQ(parser->getLastResult(), readResult::Failed);
            EXPECT_NE(parser->getReadError().find(withDir(error, dir)), std::string::npos)
                << parser->getReadError();
            EXPECT_NE(log.find(parser->getReadError() + "\n"), std::string::npos);
            EXPECT_EQ(state(), "a.example: b.example:D none");
        }
        unlink(zonesPath.c_str());
        writeZones(master("a.example") + master("c.example"));
        EXPECT_EQ(read(), 2);
        EXPECT_EQ(state(), "a.example:F b.example:D c.example:N +1 -1");
    }
}

TEST_F(ZoneTrackingTest, AnIncludeTheAgentMayNotReadIsRefusedUntilItsPermissionsAreFixed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the files to nobody and drop to that user";
    }
    writeZones(master("a.example") + "include \"" + dir.file("more.conf") + "\";\n");
    testutil::writeFile(dir.file("more.conf"), master("b.example"));
    ASSERT_EQ(read(), 2);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_TRUE(nobody != nullptr && chmod(dir.path().c_str(), 0755) == 0 &&
                chmod(zonesPath.c_str(), 0644) == 0 &&
                chown(dir.file("more.conf").c_str(), nobody->pw_uid, nobody->pw_gid) == 0 &&
                chmod(dir.file("more.conf").c_str(), 0) == 0);
    testing::internal::CaptureStdout();
    const int failures = testutil::runAsNobody([this] {
        const bool refused =
            parser->readZones() == 0 && state() == "a.example: b.example: none" &&
            parser->getReadError().find("included file \"" + dir.file("more.conf") +
                                        "\" cannot be read (Permission denied); grant the user "
                                        "nobody read access") != std::string::npos;
        // Restoring the permissions changes only the status-change time.
        return refused && chmod(dir.file("more.conf").c_str(), 0644) == 0 &&
                       parser->readZones() == 2
                   ? 0
                   : 1;
    });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures, 0);
}

}  // namespace
