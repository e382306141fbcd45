// The Debian package as built from this build folder: its files and their
// modes, the systemd unit (checked by systemd-analyze), the maintainer
// scripts, the configuration template (decoded by the agent's own parser)
// and the manual pages (rendered by man).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "test_util.h"

namespace {

using testutil::ProcessResult;
using testutil::readFile;
using testutil::TempDir;

// Runs |script| with /bin/sh; |args| become $1, $2 and so on.
ProcessResult shell(const std::string& script, const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{"/bin/sh", "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::runProcess(argv);
}

bool haveTool(const std::string& name) {
    return shell("command -v \"$1\" >/dev/null 2>&1", {name}).status == 0;
}

// The package built from this build folder into a scratch folder, with its
// files in root/ and its control files in control/.
class PackageTest : public testing::Test {
protected:
    void SetUp() override {
        // The build's configuration; the build is complete, so only its
        // install script runs.
        const ProcessResult built = shell(
            "printf 'include(\"%s/CPackConfig.cmake\")\\nset(CPACK_INSTALL_CMAKE_PROJECTS \"\")\\n"
            "set(CPACK_INSTALL_SCRIPTS \"%s/cmake_install.cmake\")\\n' \"$2\" \"$2\" "
            ">\"$3/pkg.cmake\" && "
            "\"$1\" -G DEB --config \"$3/pkg.cmake\" -B \"$3/out\" >\"$3/cpack.log\" 2>&1 && "
            "cd \"$3/out\" && deb=$(ls *.deb) && dpkg-deb -x \"$deb\" ../root && "
            "dpkg-deb -e \"$deb\" ../control && echo \"$PWD/$deb\"",
            {VANTREL_CPACK_COMMAND, VANTREL_BUILD_DIR, dir.path()});
        ASSERT_EQ(built.status, 0) << readFile(dir.file("cpack.log"));
        deb = built.out.substr(0, built.out.find('\n'));
    }
    std::string root(const std::string& path) const { return dir.file("root/" + path); }

    TempDir dir;
    std::string deb;
};

}  // namespace

TEST_F(PackageTest, HoldsTheAgentItsDocumentsAndUnitOwnedByRootAndNothingInEtc) {
    const ProcessResult listing =
        shell("dpkg-deb -c \"$1\" | awk '$1 !~ /^d/ {print $1, $2, $6}'", {deb});
    EXPECT_EQ(listing.out,
              "-rw-r--r-- root/root ./lib/systemd/system/vantrel.service\n"
              "-rwxr-xr-x root/root ./usr/sbin/vantrel\n"
              "-rw-r--r-- root/root ./usr/share/doc/vantrel/changelog.Debian.gz\n"
              "-rw-r--r-- root/root ./usr/share/doc/vantrel/copyright\n"
              "-rw-r--r-- root/root ./usr/share/man/man5/vantrel.conf.5.gz\n"
              "-rw-r--r-- root/root ./usr/share/man/man8/vantrel.8.gz\n"
              "-rw-r--r-- root/root ./usr/share/vantrel/vantrel.conf.example\n");
    // No conffile: postinst creates /etc/vantrel.conf from the template.
    EXPECT_FALSE(std::filesystem::exists(dir.file("control/conffiles")));
    // The version is the newest entry of the package's changelog.
    const std::string changelog = readFile(VANTREL_SOURCE_DIR "/packaging/deb/changelog");
    const std::string version = changelog.substr(9, changelog.find(')') - 9);
    EXPECT_TRUE(std::regex_search(
        shell("dpkg-deb -f \"$1\" Version Depends", {deb}).out,
        std::regex("^Version: " + version + "\nDepends: adduser, .*libsystemd0")));
    // Compressed as the Debian tools do: gzip -9n, no name, no time stamp.
    EXPECT_EQ(shell("for page; do od -An -tx1 -N8 \"$page\"; done",
                    {root("usr/share/man/man8/vantrel.8.gz"),
                     root("usr/share/man/man5/vantrel.conf.5.gz")})
                  .out,
              " 1f 8b 08 00 00 00 00 00\n 1f 8b 08 00 00 00 00 00\n");
    // The packaged program runs, and carries the distribution's hardening.
    EXPECT_EQ(testutil::runProcess({root("usr/sbin/vantrel"), "-v"}).out.rfind("Vantrel ", 0), 0u);
    if (VANTREL_HARDENED) {  // full RELRO, BIND_NOW, PIE, stack protector
        const std::string marks =
            "{ readelf -dlW \"$1\" | grep -oE 'GNU_RELRO|NOW PIE'; "
            "nm -D \"$1\" | grep -o __stack_chk_fail; } | LC_ALL=C sort";
        EXPECT_EQ(shell(marks, {root("usr/sbin/vantrel")}).out,
                  "GNU_RELRO\nNOW PIE\n__stack_chk_fail\n");
    }
}

TEST_F(PackageTest, UnitIsAHardenedNotifyServiceOfTheUserVantrelThatSystemdAccepts) {
    const std::string unit = readFile(root("lib/systemd/system/vantrel.service"));
    // Each setting on a line of its own, once.
    for (const std::string line :
         {"Type=notify", "NotifyAccess=main", "WatchdogSec=60s",
          "ExecReload=/bin/kill -HUP $MAINPID", "ExecStart=/usr/sbin/vantrel -c /etc/vantrel.conf",
          "User=vantrel", "Group=vantrel", "Restart=on-failure", "RestartPreventExitStatus=1 255",
          "CapabilityBoundingSet=", "ProtectSystem=strict",
          "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX", "WantedBy=multi-user.target"}) {
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line;
        const std::string key = "\n" + line.substr(0, line.find('=') + 1);
        EXPECT_EQ(unit.find(key), unit.rfind(key)) << line;
    }
    if (!haveTool("systemd-analyze")) {
        GTEST_SKIP() << "systemd-analyze is not installed; the unit was not verified";
    }
    // A copy that starts the packaged program, checked with the packaged
    // manual pages; then a copy with a mistake, which the check must see.
    // Only lines about this unit count; a host's own units may add others.
    const std::string verify =
        "mkdir -p \"$1\" && sed "
        "\"s|^ExecStart=/usr/sbin/vantrel|ExecStart=$2/usr/sbin/vantrel|;$3\" "
        "\"$2/lib/systemd/system/vantrel.service\" >\"$1/vantrel.service\" || exit 2; "
        "out=$(MANPATH=\"$2/usr/share/man\" systemd-analyze verify \"$1/vantrel.service\" 2>&1); "
        "status=$?; printf '%s\\n' \"$out\" | grep vantrel; exit $status";
    const ProcessResult good = shell(verify, {dir.file("good"), dir.file("root"), ""});
    EXPECT_EQ(good.out + "status " + std::to_string(good.status), "status 0");
    const ProcessResult bad =
        shell(verify, {dir.file("bad"), dir.file("root"), "s/=notify/=notifi/"});
    EXPECT_NE(bad.out.find("notifi"), std::string::npos) << bad.out;
    // At least as hardened as the unit that ran the agent as root (1.6).
    const std::string score =
        "systemd-analyze security --offline=yes \"$1/vantrel.service\" | "
        "awk '/Overall exposure/ {for (i = 1; i <= NF; i++) if ($i ~ /^[0-9.]+$/) print $i <= "
        "1.6}'";
    EXPECT_EQ(shell(score, {dir.file("good")}).out, "1\n");
}

TEST_F(PackageTest, MaintainerScriptsCreateTheUserAndConfigurationAndUseTheSystemdHelpers) {
    std::string code;  // every line of the four scripts but the comments
    for (const std::string script : {"preinst", "postinst", "prerm", "postrm"}) {
        const std::string path = dir.file("control/" + script);
        EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0755))
            << script;
        EXPECT_EQ(shell("sh -n \"$1\"", {path}).status, 0) << script;
        code += std::regex_replace(readFile(path), std::regex("(^|\n)[ \t]*#[^\n]*"), "$1");
    }
    EXPECT_EQ(code.find("DEBHELPER"), std::string::npos);
    EXPECT_NE(code.find("systemctl --system daemon-reload"), std::string::npos);
    // systemctl only to reload systemd; the unit through the helpers.
    EXPECT_FALSE(std::regex_search(code, std::regex("systemctl (?!--system daemon-reload)")));
    // The user, the configuration file and the unit's state, installed,
    // stopped on removal and forgotten on purge.
    for (const std::string step :
         {"adduser --system", "--home /nonexistent vantrel", "umask 077", "chown root:vantrel",
          "chmod 0640", "deb-systemd-helper --quiet was-enabled 'vantrel.service'",
          "deb-systemd-helper update-state 'vantrel.service'",
          "deb-systemd-invoke try-restart 'vantrel.service'",
          "deb-systemd-invoke stop 'vantrel.service'", "rm -f /etc/vantrel.conf",
          "deb-systemd-helper purge 'vantrel.service'"}) {
        EXPECT_NE(code.find(step), std::string::npos) << step;
    }
}

TEST_F(PackageTest, TemplateIsAValidConfigurationWhoseSamplesAreTheDefaults) {
    const std::string path = root("usr/share/vantrel/vantrel.conf.example");
    const std::string text = readFile(path);
    ASSERT_EQ(text.empty() ? ' ' : text.back(), '\n');
    const ConfigFileParser config(path);
    EXPECT_EQ(config.getLoggingLevel(), INFO);
    EXPECT_TRUE(config.getDecodeWarnings().empty());
    EXPECT_FALSE(config.getDaemonize());
    // With the sample lines of the new keys switched on, the agent holds
    // what it holds without them: the samples show the defaults.
    const std::string samples = std::regex_replace(
        text,
        std::regex("\n//((MAX_DELETE_PERCENT|WATCH_ZONES_FILE|METRICS_FILE|UPDATE_INTERVAL)=)"),
        "\n$1");
    ASSERT_EQ(samples.size() + 8, text.size()) << "four sample lines expected";
    testutil::writeFile(dir.file("samples.conf"), samples);
    const ConfigFileParser on(dir.file("samples.conf"));
    const ConfigFileParser defaults;
    EXPECT_EQ(on.getMaxDeletePercent(), defaults.getMaxDeletePercent());
    EXPECT_EQ(on.getWatchZonesFile(), defaults.getWatchZonesFile());
    EXPECT_EQ(on.getMetricsFile(), defaults.getMetricsFile());
    EXPECT_EQ(on.getUpZoneInterval(), defaults.getUpZoneInterval());
    EXPECT_TRUE(on.getDecodeWarnings().empty());
}

TEST_F(PackageTest, ManualPagesRenderWithoutWarnings) {
    if (!haveTool("man")) {
        GTEST_SKIP() << "man is not installed; the manual pages were not rendered";
    }
    // Warnings of man and the formatter only, then whether a page came out.
    const std::string render =
        "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l \"$1\" 2>&1 >/dev/null; "
        "LC_ALL=C.UTF-8 MANWIDTH=80 man -l \"$1\" | grep '^NAME' >/dev/null || echo 'nothing "
        "rendered'";
    for (const std::string page : {"man8/vantrel.8.gz", "man5/vantrel.conf.5.gz"}) {
        EXPECT_EQ(shell(render, {root("usr/share/man/" + page)}).out, "") << page;
    }
    testutil::writeFile(dir.file("broken.8"), ".TH BROKEN 8\n.SH NAME\nbroken \\- page\n.BOGUS\n");
    EXPECT_NE(shell(render, {dir.file("broken.8")}).out.find("BOGUS"), std::string::npos);
}
