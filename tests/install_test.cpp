// Installation of the agent as a system daemon: the tree that
// "cmake --install" lays out in a scratch DESTDIR, the systemd unit (checked
// by systemd-analyze), the manual pages (rendered by man), the example
// configuration (decoded by the agent's own parser) and the Debian package.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::ProcessResult;
using testutil::TempDir;

const std::string kSourceDir = VANTREL_SOURCE_DIR;
const std::string kBuildDir = VANTREL_BUILD_DIR;

// Every key the configuration file knows.
const std::vector<std::string> kConfigKeys = {
    "CPANEL_METHOD",   "CPANEL_ZONES_FILE", "ZONES_FILE", "SERVER_HOSTNAME", "DAEMONIZE",
    "UPDATE_INTERVAL", "LOG_LEVEL",         "TOKEN",      "CA_FILE"};

// Runs |script| with /bin/sh; |args| become $1, $2 and so on.
ProcessResult shell(const std::string& script, const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{"/bin/sh", "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::runProcess(argv);
}

bool haveTool(const std::string& name) {
    return shell("command -v \"$1\" >/dev/null 2>&1", {name}).status == 0;
}

// Installs the build folder into |destdir| for |prefix|; the output holds
// cmake's standard output and standard error.
ProcessResult installInto(const std::string& destdir, const std::string& prefix) {
    return shell(
        "DESTDIR=\"$1\"; export DESTDIR; exec \"$2\" --install \"$3\" --prefix \"$4\" 2>&1",
        {destdir, VANTREL_CMAKE_COMMAND, kBuildDir, prefix});
}

// Paths, relative to |root|, of everything in it that is not a folder.
std::set<std::string> entriesUnder(const std::string& root) {
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_symlink() || !entry.is_directory()) {
            found.insert(fs::relative(entry.path(), root).string());
        }
    }
    return found;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

mode_t permissionsOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Where one prefix puts the five installed files.
struct Layout {
    std::string prefix;
    std::string program;
    std::string example;
    std::string unit;
    std::string manual8;
    std::string manual5;

    std::set<std::string> all() const { return {program, example, unit, manual8, manual5}; }
};

const Layout kUsr{"/usr",
                  "usr/sbin/vantrel",
                  "etc/vantrel.conf.example",
                  "lib/systemd/system/vantrel.service",
                  "usr/share/man/man8/vantrel.8",
                  "usr/share/man/man5/vantrel.conf.5"};
const Layout kUsrLocal{"/usr/local",
                       "usr/local/sbin/vantrel",
                       "usr/local/etc/vantrel.conf.example",
                       "usr/local/lib/systemd/system/vantrel.service",
                       "usr/local/share/man/man8/vantrel.8",
                       "usr/local/share/man/man5/vantrel.conf.5"};
const Layout kOpt{"/opt/vantrel",
                  "opt/vantrel/sbin/vantrel",
                  "etc/opt/vantrel/vantrel.conf.example",
                  "opt/vantrel/lib/systemd/system/vantrel.service",
                  "opt/vantrel/share/man/man8/vantrel.8",
                  "opt/vantrel/share/man/man5/vantrel.conf.5"};

// A scratch DESTDIR with the build installed into it for |layout|.
class Installed {
public:
    explicit Installed(const Layout& layout) : layout_(layout) {
        result_ = installInto(dir_.path(), layout.prefix);
    }
    bool ok() const { return result_.status == 0; }
    const std::string& output() const { return result_.out; }
    std::string root() const { return dir_.path(); }
    std::string path(const std::string& relative) const { return dir_.path() + "/" + relative; }
    const Layout& layout() const { return layout_; }

private:
    TempDir dir_;
    Layout layout_;
    ProcessResult result_;
};

// The ExecStart= line of |unit|, split into words.
std::vector<std::string> execStartWords(const std::string& unit) {
    std::vector<std::string> words;
    int count = 0;
    for (const std::string& line : linesOf(unit)) {
        if (line.rfind("ExecStart=", 0) == 0) {
            ++count;
            std::istringstream in(line.substr(10));
            std::string word;
            words.clear();
            while (in >> word) {
                words.push_back(word);
            }
        }
    }
    return count == 1 ? words : std::vector<std::string>();
}

}  // namespace

TEST(InstallTest, PrefixUsrLaysOutTheSystemTreeAndNothingElse) {
    Installed inst(kUsr);
    ASSERT_TRUE(inst.ok()) << inst.output();

    // Exactly the agent's files: no test program, stand-in or library.
    EXPECT_EQ(entriesUnder(inst.root()), kUsr.all()) << inst.output();

    EXPECT_TRUE(isRegularFile(inst.path(kUsr.program)));
    EXPECT_EQ(permissionsOf(inst.path(kUsr.program)), 0755);
    for (const std::string& file : {kUsr.example, kUsr.unit, kUsr.manual8, kUsr.manual5}) {
        EXPECT_TRUE(isRegularFile(inst.path(file))) << file;
        EXPECT_EQ(permissionsOf(inst.path(file)), 0644) << file;
    }
    EXPECT_EQ(testutil::readFile(inst.path(kUsr.example)),
              testutil::readFile(kSourceDir + "/packaging/vantrel.conf.example"));
    EXPECT_EQ(testutil::readFile(inst.path(kUsr.manual8)),
              testutil::readFile(kSourceDir + "/man/vantrel.8"));
    EXPECT_EQ(testutil::readFile(inst.path(kUsr.manual5)),
              testutil::readFile(kSourceDir + "/man/vantrel.conf.5"));
    // For /usr the unit is the one in the sources, unchanged.
    EXPECT_EQ(testutil::readFile(inst.path(kUsr.unit)),
              testutil::readFile(kSourceDir + "/packaging/vantrel.service"));

    // The installed program is the agent and runs.
    const ProcessResult version = testutil::runProcess({inst.path(kUsr.program), "-v"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(
        version.out.rfind(std::string("Vantrel ") + VANTREL_PROJECT_VERSION + " -- Build date:", 0),
        0u)
        << version.out;
}

TEST(InstallTest, OtherPrefixesKeepEverythingUnderThePrefix) {
    for (const Layout& layout : {kUsrLocal, kOpt}) {
        SCOPED_TRACE(layout.prefix);
        Installed inst(layout);
        ASSERT_TRUE(inst.ok()) << inst.output();
        EXPECT_EQ(entriesUnder(inst.root()), layout.all()) << inst.output();
        EXPECT_EQ(permissionsOf(inst.path(layout.program)), 0755);
    }
}

TEST(InstallTest, UnitStartsTheInstalledProgramWithTheInstalledConfiguration) {
    for (const Layout& layout : {kUsr, kUsrLocal, kOpt}) {
        SCOPED_TRACE(layout.prefix);
        Installed inst(layout);
        ASSERT_TRUE(inst.ok()) << inst.output();
        const std::string unit = testutil::readFile(inst.path(layout.unit));
        const std::vector<std::string> words = execStartWords(unit);
        ASSERT_EQ(words.size(), 3u) << "one ExecStart= of the form <program> -c <file>:\n" << unit;
        EXPECT_EQ(words[0], layout.prefix + "/sbin/vantrel");
        EXPECT_EQ("/" + layout.program, words[0]);
        EXPECT_EQ(words[1], "-c");
        // The configuration file lies beside the installed example.
        EXPECT_EQ(words[2] + ".example", "/" + layout.example);
        // The unit names no path of another layout.
        if (layout.prefix != "/usr") {
            EXPECT_EQ(unit.find("/usr/sbin/vantrel"), std::string::npos);
            EXPECT_EQ(unit.find(" /etc/vantrel.conf"), std::string::npos);
        }
    }
    // For /usr the unit hands the agent the file it would pick by itself.
    Installed inst(kUsr);
    ASSERT_TRUE(inst.ok()) << inst.output();
    const std::vector<std::string> words = execStartWords(testutil::readFile(inst.path(kUsr.unit)));
    EXPECT_EQ(words, (std::vector<std::string>{"/usr/sbin/vantrel", "-c", "/etc/vantrel.conf"}));
}

TEST(InstallTest, UnitIsASupervisedHardenedForegroundService) {
    const std::string unit = testutil::readFile(kSourceDir + "/packaging/vantrel.service");
    std::map<std::string, std::vector<std::string>> settings;
    std::string section;
    for (const std::string& line : linesOf(unit)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            section = line;
            continue;
        }
        const size_t eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        settings[section + line.substr(0, eq)].push_back(line.substr(eq + 1));
    }
    const auto only = [&](const std::string& key) {
        const auto it = settings.find(key);
        return it != settings.end() && it->second.size() == 1 ? it->second[0]
                                                              : std::string("<absent>");
    };
    // The agent stays in the foreground: a forking start would end the service.
    EXPECT_EQ(only("[Service]Type"), "simple");
    EXPECT_EQ(only("[Service]Restart"), "on-failure");
    EXPECT_EQ(only("[Service]NoNewPrivileges"), "yes");
    EXPECT_EQ(only("[Service]ProtectSystem"), "strict");
    EXPECT_EQ(only("[Service]ProtectHome"), "yes");
    EXPECT_EQ(only("[Service]PrivateTmp"), "yes");
    EXPECT_EQ(only("[Service]CapabilityBoundingSet"), "");
    EXPECT_EQ(only("[Service]RestrictAddressFamilies"), "AF_INET AF_INET6 AF_UNIX");
    EXPECT_EQ(only("[Service]ReadOnlyPaths"), "-/etc/bind");
    EXPECT_EQ(only("[Unit]Wants"), "network-online.target");
    EXPECT_EQ(only("[Unit]After"), "network-online.target");
    EXPECT_EQ(only("[Install]WantedBy"), "multi-user.target");
    // Nothing may let it write: the agent writes no file.
    EXPECT_EQ(settings.count("[Service]ReadWritePaths"), 0u);
}

TEST(InstallTest, UnitPassesSystemdAnalyzeVerify) {
    if (!haveTool("systemd-analyze")) {
        GTEST_SKIP() << "systemd-analyze is not installed; the unit was not verified";
    }
    Installed inst(kUsr);
    ASSERT_TRUE(inst.ok()) << inst.output();
    // systemd-analyze wants the program of ExecStart= to exist, and the
    // manual pages of Documentation= to be found by man: point the copy at
    // the installed program and man at the installed pages.
    TempDir scratch;
    std::string unit = testutil::readFile(inst.path(kUsr.unit));
    const std::string program = "ExecStart=/usr/sbin/vantrel ";
    const size_t at = unit.find(program);
    ASSERT_NE(at, std::string::npos) << unit;
    unit.replace(at, program.size(), "ExecStart=" + inst.path(kUsr.program) + " ");
    const std::string copy = scratch.file("vantrel.service");
    testutil::writeFile(copy, unit);
    const std::string verify =
        "MANPATH=\"$1\"; export MANPATH; exec systemd-analyze verify \"$2\" 2>&1";
    const ProcessResult result = shell(verify, {inst.path("usr/share/man"), copy});
    // Only lines about this unit count; a host's own units may add others.
    std::string complaints;
    for (const std::string& line : linesOf(result.out)) {
        if (line.find("vantrel") != std::string::npos) {
            complaints += line + "\n";
        }
    }
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(complaints, "");

    // The same check sees a mistake, so a silent run above means something.
    std::string broken = unit;
    const size_t type = broken.find("Type=simple");
    ASSERT_NE(type, std::string::npos);
    broken.replace(type, 11, "Type=simpel");
    const std::string brokenCopy = scratch.file("broken/vantrel.service");
    fs::create_directories(scratch.file("broken"));
    testutil::writeFile(brokenCopy, broken);
    const ProcessResult bad = shell(verify, {inst.path("usr/share/man"), brokenCopy});
    EXPECT_NE(bad.out.find("simpel"), std::string::npos) << bad.out;
}

TEST(InstallTest, ManualPagesRenderWithoutWarnings) {
    if (!haveTool("man")) {
        GTEST_SKIP() << "man is not installed; the manual pages were not rendered";
    }
    Installed inst(kUsr);
    ASSERT_TRUE(inst.ok()) << inst.output();
    // Standard error only: warnings of man and of the formatter.
    const std::string render =
        "LC_ALL=\"$1\" MANWIDTH=80 man --warnings -l \"$2\" 2>&1 >/dev/null; "
        "LC_ALL=\"$1\" MANWIDTH=80 man -l \"$2\" | grep NAME >/dev/null || echo 'nothing rendered'";
    for (const std::string& page : {kUsr.manual8, kUsr.manual5}) {
        for (const char* locale : {"C.UTF-8", "C"}) {
            SCOPED_TRACE(page + " in " + locale);
            const ProcessResult result = shell(render, {locale, inst.path(page)});
            EXPECT_EQ(result.out, "");
        }
    }
    // The same check sees a broken page.
    TempDir scratch;
    testutil::writeFile(scratch.file("broken.8"),
                        ".TH BROKEN 8\n.SH NAME\nbroken \\- page\n.BOGUS\n");
    EXPECT_NE(shell(render, {"C.UTF-8", scratch.file("broken.8")}).out.find("BOGUS"),
              std::string::npos);
}

TEST(InstallTest, ManualPagesCoverTheOptionsKeysAndVersion) {
    const std::string page8 = testutil::readFile(kSourceDir + "/man/vantrel.8");
    const std::string page5 = testutil::readFile(kSourceDir + "/man/vantrel.conf.5");
    const std::string version = std::string("\"Vantrel ") + VANTREL_PROJECT_VERSION + "\"";
    EXPECT_NE(page8.find(version), std::string::npos) << "title line names another version";
    EXPECT_NE(page5.find(version), std::string::npos) << "title line names another version";

    // Every option that the program's help screen lists, and check mode.
    const ProcessResult help = testutil::runProcess({VANTREL_BINARY, "-h"});
    ASSERT_EQ(help.status, 0);
    std::set<std::string> options{"-t", "--test"};
    const std::regex option("(^|\\s)(--?[a-z]+)");
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end; ++it) {
        options.insert((*it)[2]);
    }
    EXPECT_GE(options.size(), 8u) << help.out;
    // The tags of the paragraphs (the line after each .TP), with roff's
    // "\-" read as a dash.
    std::vector<std::string> tags;
    const std::vector<std::string> lines = linesOf(page8);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == ".TP") {
            tags.push_back(std::regex_replace(lines[i + 1], std::regex("\\\\-"), "-"));
        }
    }
    for (const std::string& opt : options) {
        const std::regex described("(^|[\\s\"])" + opt + "([\\s\",]|$)");
        bool found = false;
        for (const std::string& tag : tags) {
            found = found || std::regex_search(tag, described);
        }
        EXPECT_TRUE(found) << opt << " has no paragraph of its own";
    }
    for (const char* status : {".B 0\n", ".B 1\n", ".B 255\n"}) {
        EXPECT_NE(page8.find(status), std::string::npos) << "exit status " << status;
    }
    for (const std::string& key : kConfigKeys) {
        EXPECT_NE(page5.find(".BI " + key + "= "), std::string::npos) << key << " is not described";
    }
}

TEST(InstallTest, ExampleConfigurationDecodesToTheDefaults) {
    Installed inst(kUsr);
    ASSERT_TRUE(inst.ok()) << inst.output();
    const std::string example = inst.path(kUsr.example);
    // The parser ends the process on a missing file or a symbolic link.
    ASSERT_TRUE(isRegularFile(example));
    ConfigFileParser config(example);
    EXPECT_EQ(config.getServerHostname(), "");
    EXPECT_EQ(config.getToken(), "");
    EXPECT_EQ(config.getZoneFileName(), "");
    EXPECT_FALSE(config.getDaemonize());
    EXPECT_EQ(config.getUpZoneInterval(), 180);
    EXPECT_EQ(config.getLoggingLevel(), DEBUG);
    EXPECT_EQ(config.getCaFile(), "");
    EXPECT_EQ(config.getCpanelZonesFile(), "");
    EXPECT_FALSE(config.isCofigAcceptable());
}

TEST(InstallTest, ExampleSampleLinesWorkWhenSwitchedOn) {
    const std::string text = testutil::readFile(kSourceDir + "/packaging/vantrel.conf.example");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "the last line would be ignored";
    EXPECT_EQ(text.find('\r'), std::string::npos) << "carriage returns end up in values";

    // Remove the "//" in front of every sample setting, as the file tells
    // the operator to, and decode the result.
    std::map<std::string, std::string> samples;
    std::string enabled;
    const std::regex sample("^//([A-Z_]+)=(.*)$");
    for (const std::string& line : linesOf(text)) {
        std::smatch m;
        if (std::regex_match(line, m, sample)) {
            EXPECT_EQ(samples.count(m[1]), 0u) << "two samples of " << m[1];
            samples[m[1]] = m[2];
            enabled += line.substr(2) + "\n";
        } else {
            enabled += line + "\n";
        }
    }
    for (const std::string& key : kConfigKeys) {
        EXPECT_EQ(samples.count(key), 1u) << "no sample line for " << key;
    }
    ASSERT_EQ(samples.size(), kConfigKeys.size());

    TempDir dir;
    const std::string path = dir.file("vantrel.conf");
    testutil::writeFile(path, enabled);
    chmod(path.c_str(), 0600);
    ConfigFileParser config(path);
    // Each sample arrives whole: no comment cuts it, nothing trails it.
    EXPECT_EQ(config.getServerHostname(), samples["SERVER_HOSTNAME"]);
    EXPECT_EQ(config.getToken(), samples["TOKEN"]);
    EXPECT_EQ(config.getZoneFileName(), samples["ZONES_FILE"]);
    EXPECT_EQ(config.getCaFile(), samples["CA_FILE"]);
    EXPECT_EQ(config.getCpanelZonesFile(), samples["CPANEL_ZONES_FILE"]);
    EXPECT_TRUE(config.isCofigAcceptable());
    // The host name is bare: no scheme, no path.
    EXPECT_EQ(samples["SERVER_HOSTNAME"].find('/'), std::string::npos);
    // The samples of the switches and numbers show the defaults, and
    // DAEMONIZE stays off for systemd.
    EXPECT_EQ(samples["UPDATE_INTERVAL"], "180");
    EXPECT_EQ(config.getUpZoneInterval(), 180);
    EXPECT_EQ(samples["LOG_LEVEL"], "DEBUG");
    EXPECT_EQ(config.getLoggingLevel(), DEBUG);
    EXPECT_NE(samples["DAEMONIZE"], "TRUE");
    EXPECT_FALSE(config.getDaemonize());
    EXPECT_FALSE(config.getCpanelMethod());
}

TEST(InstallTest, DebianPackageHoldsTheSystemLayout) {
    if (!haveTool("dpkg-deb")) {
        GTEST_SKIP() << "dpkg-deb is not installed; no Debian package was built";
    }
    // The build's package configuration, with the installation run directly
    // (the build is complete) and the package written to a scratch folder.
    TempDir scratch;
    const std::string config = scratch.file("package.cmake");
    testutil::writeFile(config, "include(\"" + kBuildDir +
                                    "/CPackConfig.cmake\")\n"
                                    "set(CPACK_INSTALL_CMAKE_PROJECTS \"\")\n"
                                    "set(CPACK_INSTALL_SCRIPTS \"" +
                                    kBuildDir +
                                    "/cmake_install.cmake\")\n"
                                    "set(CPACK_PACKAGE_DIRECTORY \"" +
                                    scratch.file("out") + "\")\n");
    const ProcessResult built =
        shell("exec \"$1\" -G DEB --config \"$2\" 2>&1", {VANTREL_CPACK_COMMAND, config});
    ASSERT_EQ(built.status, 0) << built.out;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(scratch.file("out"))) {
        if (entry.path().extension() == ".deb") {
            deb = entry.path().string();
        }
    }
    ASSERT_FALSE(deb.empty()) << built.out;

    const ProcessResult listing = shell("dpkg-deb -c \"$1\" | awk '$1 !~ /^d/ {print $6}'", {deb});
    ASSERT_EQ(listing.status, 0);
    std::set<std::string> files;
    for (const std::string& line : linesOf(listing.out)) {
        files.insert(line.substr(line.rfind("./", 0) == 0 ? 2 : 0));
    }
    EXPECT_EQ(files, kUsr.all());

    const ProcessResult fields = shell("dpkg-deb -f \"$1\" Package Version Depends", {deb});
    EXPECT_NE(fields.out.find("Package: vantrel\n"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find(std::string("Version: ") + VANTREL_PROJECT_VERSION + "\n"),
              std::string::npos)
        << fields.out;
    EXPECT_NE(fields.out.find("Depends: "), std::string::npos) << fields.out;

    // The example under /etc is a conffile; the maintainer scripts are
    // executable shell scripts.
    const std::string control = scratch.file("control");
    ASSERT_EQ(shell("dpkg-deb -e \"$1\" \"$2\"", {deb, control}).status, 0);
    EXPECT_EQ(testutil::readFile(control + "/conffiles"), "/etc/vantrel.conf.example\n");
    for (const std::string script : {"postinst", "prerm", "postrm"}) {
        SCOPED_TRACE(script);
        EXPECT_EQ(permissionsOf(control + "/" + script), 0755);
        EXPECT_EQ(shell("sh -n \"$1\"", {control + "/" + script}).status, 0);
    }
}
