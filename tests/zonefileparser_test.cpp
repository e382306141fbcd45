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
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
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
    static const Names local = {"localhost", "localhost.localdomain", "0.in-addr.arpa",
                                "127.in-addr.arpa", "255.in-addr.arpa", "1.0.0.127.in-addr.arpa",
                                "10.in-addr.arpa", "168.192.in-addr.arpa", "1.168.192.in-addr.arpa",
                                "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa"};
    const std::string suffix = ".excluded.test";
    return local.count(_name) > 0 ||
           (_name.size() > suffix.size() && _name.compare(_name.size() - suffix.size(), suffix.size(), suffix) == 0);
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
};

bindVerdict askBind(const testutil::TempDir& _dir, const std::string& _view) {
    const auto run = testutil::runProcess(
        {"/bin/sh", "-c", "named-checkconf -l named.conf 2>&1"}, _dir.path());
    bindVerdict verdict;
    verdict.accepted = run.status == 0;
    verdict.message = run.out;
    for (const char* parser : {"missing ';'", "expected", "unexpected end", "syntax error",
                               "unbalanced", "unexpected token", "redefined", "too many"}) {
        verdict.syntaxError = verdict.syntaxError || run.out.find(parser) != std::string::npos;
    }
    // Each line: name (which may hold blanks), class, view, type, read from
    // the right; an in-view zone's type is "in-view <view>".
    std::map<std::pair<std::string, std::string>, std::string> types;  // by view, name
    std::istringstream in(verdict.accepted ? run.out : "");
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> w;
        for (size_t end = line.size(), at; w.size() < 4 && (at = line.rfind(' ', end - 1)) != std::string::npos; end = at) {
            w.insert(w.begin(), line.substr(at + 1, end - at - 1));
        }
        if (w.size() == 4 && w[2] != "in-view") {
            w.erase(w.begin());
        } else if (w.size() == 4) {
            w = {w[0], w[1], "in-view " + w[3]};
        }
        const std::string name = comparable(line.substr(0, line.size() - (w[0].size() + w[1].size() + w[2].size() + 3)));
        types[{w[1], name}] = w[2].compare(0, 8, "in-view ") == 0 ? w[2] : asciiLower(w[2]);
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

// What the agent makes of the same files: the names it mirrors, or the
// reason it refused the text.
struct agentVerdict {
    bool refused = false;
    std::string error;
    Names mirrored;
    std::unique_ptr<ZoneFileParser> parser;
};

agentVerdict askAgent(const testutil::TempDir& _dir, const std::string& _settings) {
    testutil::writeFile(_dir.file("vantrel.conf"),
                        "ZONES_FILE=" + _dir.file("named.conf") + "\n" + _settings);
    const ConfigFileParser config(_dir.file("vantrel.conf"));
    agentVerdict verdict;
    verdict.parser = std::make_unique<ZoneFileParser>(&config);
    verdict.parser->setReportSkipped(true);
    testing::internal::CaptureStdout();
    verdict.parser->readZones();
    testing::internal::GetCapturedStdout();
    verdict.refused = verdict.parser->getLastResult() == readResult::Failed;
    verdict.error = verdict.parser->getReadError();
    for (const zoneData& zone : *verdict.parser->getZones()) {
        verdict.mirrored.insert(comparable(zone.getZoneName()));
    }
    return verdict;
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
std::string compareWithBind(const Files& _files, const std::string& _view,
                            const std::string& _settings, Names* _mirrored = nullptr,
                            bindVerdict* _bind = nullptr) {
    testutil::TempDir dir;
    for (const auto& file : _files) {
        testutil::writeFile(dir.file(file.first), withDir(file.second, dir));
    }
    const bindVerdict bind = askBind(dir, _view);
    const agentVerdict agent = askAgent(
        dir, "FOLLOW_INCLUDES=TRUE\nZONES_VIEW=" + _view + "\nEXCLUDE_ZONES=*.EXCLUDED.test\n" +
                 withDir(_settings, dir));
    if (_mirrored != nullptr) {
        *_mirrored = agent.mirrored;
    }
    if (_bind != nullptr) {
        *_bind = bind;
    }
    const auto list = [](const Names& _names) {
        std::string out;
        for (const std::string& name : _names) {
            out += " " + name;
        }
        return out;
    };
    if (bind.accepted && (agent.refused || agent.mirrored != bind.primaries)) {
        return "BIND accepts and serves" + list(bind.primaries) + "; the agent " +
               (agent.refused ? "refused: " + agent.error : "mirrors" + list(agent.mirrored));
    }
    if (!bind.accepted && bind.syntaxError && !agent.refused) {
        return "BIND refused (" + bind.message + "); the agent mirrors" + list(agent.mirrored);
    }
    return "";
}

// Generated configurations: options, acl, key, logging and controls around
// zones (outside views or in two views, one with an in-view zone) whose
// statements come in random order, quoted and unquoted names, classes, the
// three comment styles also inside strings and around names, includes at
// the top, in views and inside zone bodies; one in four texts then broken.
class configGenerator {
public:
    explicit configGenerator(uint32_t _seed) : random(_seed) {}

    Files generate(std::string* _view) {
        files.clear();
        serial = 0;
        std::vector<std::string> top = {
            "options {" + shuffled({"directory \"@DIR@\";", "recursion no;",
                                    "allow-transfer { trusted; };", "version \"//none\";",
                                    "listen-on port 53 { any; };"}) +
                "};",
            "acl \"trusted\" { 192.0.2.0/24; !198.51.100.7; localhost; };",
            "key \"rndc-key\" { algorithm hmac-sha256; secret \"c2VjcmV0c2VjcmV0\"; };",
            "logging { channel c { file \"/tmp/named#1.log\" versions 3 size 5m; severity info; "
            "}; category default { c; }; };",
            "controls { inet 127.0.0.1 port 953 allow { 127.0.0.1; } keys { \"rndc-key\"; }; };"};
        const bool views = pick(3) == 0;
        *_view = !views ? "" : pick(4) == 0 ? "" : pick(2) == 0 ? "inside" : "Outside";
        if (views) {
            std::string inside = zones(3 + pick(5), "inside");
            std::string outside = zones(3 + pick(5), "Outside");
            outside += " zone \"shared.example\" { type master; file \"shared.db\"; };";
            inside += " zone \"Shared.Example.\" { in-view \"Outside\"; };";
            // A view must come before the in-view statements that name it.
            top.push_back("view Outside { match-clients { any; }; " + outside + " };" + spacing() +
                          "view \"inside\" IN { match-clients { 10.0.0.0/8; }; " + inside + " };");
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

    // Blanks or a comment between tokens.
    std::string spacing() {
        const char* const forms[] = {" ", "\n\t", " /* c \"{ */ ", " // c \"}\n", " # c ;\n",
                                     "\r\n", " /**/"};
        return forms[pick(7)];
    }

    std::string zoneName() {
        const char* const names[] = {"example.com",  "Example.NET.", "shop.example.org",
                                     "localhost",    "0.in-addr.arpa", "168.192.in-addr.arpa",
                                     "a.excluded.test", "xn--bcher-kva.example", "b.example.",
                                     "1.168.192.in-addr.arpa", "c.example"};
        return names[pick(11)] + std::string(pick(3) == 0 ? "" : "") + "";
    }

    std::string zones(size_t _count, const std::string& _view) {
        std::vector<std::string> out;
        std::set<std::string> used;
        for (size_t i = 0; i < _count; ++i) {
            std::string name = pick(3) == 0 ? zoneName() : "z" + std::to_string(serial) + ".example";
            if (!used.insert(comparable(name)).second) {
                continue;
            }
            const std::string file = "file \"/var//named/" + _view + std::to_string(serial++) + ".db\";";
            const char* const types[] = {"master", "primary", "Master", "slave", "secondary",
                                         "forward", "stub", "PRIMARY"};
            const std::string type = types[pick(8)];
            std::vector<std::string> body = {"type " + type + (pick(4) == 0 ? " ;" : ";")};
            if (type == "forward") {
                body.push_back("forwarders { 192.0.2.1; };");
            } else {
                body.push_back(file);
            }
            if (type == "slave" || type == "secondary" || type == "stub") {
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
                                       (bare ? name : "\"" + name + "\"") + spacing() +
                                       (pick(3) == 0 ? "IN" : pick(2) == 0 ? "in" : "");
            out.push_back(header + "{" + shuffled(body) + "};");
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
    // ";" after a "}" or a type gone, a brace gone or added, a quote added.
    void breakText(std::string* _text) {
        const size_t kind = pick(5);
        const char* const marks[] = {"};", "}", "type"};
        if (kind < 3) {
            size_t at = _text->find(marks[kind], pick(_text->size()));
            at = kind == 2 ? _text->find(';', at) : at + (kind == 0);
            if (at < _text->size()) {
                _text->erase(at, 1);
            }
        } else {
            _text->insert(pick(_text->size()), kind == 3 ? "{ " : "\"");
        }
    }

    std::mt19937 random;
    Files files;
    size_t serial = 0;
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
        bindVerdict bind;
        const std::string problem = compareWithBind(files, view, "", nullptr, &bind);
        accepted += bind.accepted;
        if (std::getenv("SHOWBIND")) std::cout << bind.message.substr(0, bind.message.find('\n')) << "\n";
        refused += bind.syntaxError;
        mirrored += bind.primaries.size();
        std::string texts;
        for (const auto& file : files) {
            texts += "--- " + file.first + "\n" + file.second;
        }
        ASSERT_EQ(problem, "") << "round " << round << ":\n" << texts;
    }
    std::cout << "texts accepted by BIND " << accepted << ", refused for syntax " << refused
              << ", primary zones compared " << mirrored << "\n";
    EXPECT_GT(accepted, 150u);
    EXPECT_GT(refused, 30u);
}

}  // namespace
