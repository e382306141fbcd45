// The Debian package as built from this build folder: its files and their
// modes, the systemd unit (checked by systemd-analyze), the maintainer
// scripts and the configuration template (decoded by the agent's own
// parser).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "fuzz/fuzz_checks.h"
#include "test_util.h"

namespace {

using testutil::readFile;

// Runs |script| with /bin/sh; |args| become $1, $2 and so on.
testutil::ProcessResult shell(const std::string& script, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"/bin/sh", "-c", script, "sh"});
    return testutil::runProcess(args);
}

// The package built from this build folder into a scratch folder, with its
// files in root/ and its control files in control/.
class PackageTest : public testing::Test {
protected:
    void SetUp() override {
        // The build's configuration; the build is complete, so only its
        // install script runs.
        const auto built = shell(
            "cd \"$3\" && \"$1\" -G DEB --config \"$2/CPackConfig.cmake\" -B out >cpack.log 2>&1 "
            "-D CPACK_INSTALL_CMAKE_PROJECTS= -D CPACK_INSTALL_SCRIPTS=\"$2/cmake_install.cmake\" "
            "&& cd out && deb=$(ls *.deb) && dpkg-deb -x $deb ../root && dpkg-deb -e $deb "
            "../control && echo $PWD/$deb",
            {VANTREL_CPACK_COMMAND, VANTREL_BUILD_DIR, dir.path()});
        ASSERT_EQ(built.status, 0) << readFile(dir.file("cpack.log"));
        deb = built.out.substr(0, built.out.find('\n'));
    }

    testutil::TempDir dir;
    std::string deb;
};

}  // namespace

// Its files and their owners and modes, nothing in /etc; the version, the
// pages' compression, the program's hardening; a template whose samples are
// the defaults.
TEST_F(PackageTest, HoldsItsFilesOwnedByRootNothingInEtcAHardenedAgentAndAValidTemplate) {
    EXPECT_EQ(shell("dpkg-deb -c \"$1\" | awk '$1 !~ /^d/ {print $1, $2, $6}'", {deb}).out,
              "-rw-r--r-- root/root ./lib/systemd/system/vantrel.service\n"
              "-rwxr-xr-x root/root ./usr/sbin/vantrel\n"
              "-rw-r--r-- root/root ./usr/share/doc/vantrel/changelog.Debian.gz\n"
              "-rw-r--r-- root/root ./usr/share/doc/vantrel/copyright\n"
              "-rw-r--r-- root/root ./usr/share/man/man5/vantrel.conf.5.gz\n"
              "-rw-r--r-- root/root ./usr/share/man/man8/vantrel.8.gz\n"
              "-rw-r--r-- root/root ./usr/share/vantrel/vantrel.conf.example\n");
    // No conffile (postinst creates /etc/vantrel.conf from the template); the
    // version is the newest entry of the package's changelog; pages
    // compressed as the Debian tools do (gzip -9n: no name, no time stamp);
    // the packaged program runs, with the distribution's hardening when the
    // build has it (full RELRO, BIND_NOW, PIE, stack protector).
    const std::string changelog = readFile(VANTREL_SOURCE_DIR "/packaging/deb/changelog");
    const std::string checks =
        "cd \"$1/root\" && ls ../control/conffiles 2>/dev/null; [ \"$(dpkg-deb -f \"$2\" "
        "Version)\" = \"$3\" ] || echo other version; dpkg-deb -f \"$2\" Depends | grep -q "
        "'^adduser, .*libsystemd0' || echo other dependencies; for page in man8/vantrel.8.gz "
        "man5/vantrel.conf.5.gz; do od -An -tx1 -N8 usr/share/man/$page; done; usr/sbin/vantrel "
        "-v | head -c 8; [ \"$4\" = 1 ] || exit; { readelf -dlW usr/sbin/vantrel | grep -oE "
        "'GNU_RELRO|NOW PIE'; nm -D usr/sbin/vantrel | grep -o __stack_chk_fail; } | LC_ALL=C sort";
    EXPECT_EQ(shell(checks, {dir.path(), deb, changelog.substr(9, changelog.find(')') - 9),
                             VANTREL_HARDENED ? "1" : "0"})
                  .out,
              std::string(" 1f 8b 08 00 00 00 00 00\n 1f 8b 08 00 00 00 00 00\nVantrel ") +
                  (VANTREL_HARDENED ? "GNU_RELRO\nNOW PIE\n__stack_chk_fail\n" : ""));

    // The template: a valid configuration.
    const std::string path = dir.file("root/usr/share/vantrel/vantrel.conf.example");
    const std::string text = readFile(path);
    ASSERT_EQ(text.empty() ? ' ' : text.back(), '\n');
    const ConfigFileParser config(path);
    // With the sample lines of the new keys switched on, the agent holds
    // what it holds without them (the keys' defaults): the samples show them.
    shell(
        "sed -E "
        "'s#^//"
        "((MAX_DELETE_PERCENT|DELETE_GRACE|WATCH_ZONES_FILE|METRICS_FILE|UPDATE_INTERVAL)=)#\\1#' "
        "\"$1\" >\"$2\"",
        {path, dir.file("samples.conf")});
    ASSERT_EQ(readFile(dir.file("samples.conf")).size() + 10, text.size()) << "five samples";
    const ConfigFileParser on(dir.file("samples.conf"));
    EXPECT_EQ(fuzzchecks::settingsOf(on), fuzzchecks::settingsOf(config));
    EXPECT_FALSE(config.getLoggingLevel() != INFO || config.getDaemonize() ||
                 !config.getDecodeWarnings().empty() || !on.getDecodeWarnings().empty());
}

// A hardened notify service of the user vantrel that systemd accepts, and
// maintainer scripts that create the user and the configuration and use the
// systemd helpers.
TEST_F(PackageTest, UnitAndMaintainerScriptsAreWhatSystemdAndDebianExpect) {
    const std::string unit = readFile(dir.file("root/lib/systemd/system/vantrel.service"));
    // Each setting on a line of its own, once.
    for (const std::string line :
         {"Type=notify", "NotifyAccess=main", "WatchdogSec=60s",
          "ExecReload=/bin/kill -HUP $MAINPID", "ExecStart=/usr/sbin/vantrel -c /etc/vantrel.conf",
          "User=vantrel", "Group=vantrel", "Restart=on-failure", "RestartPreventExitStatus=1 255",
          "CapabilityBoundingSet=", "ProtectSystem=strict",
          "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX", "WantedBy=multi-user.target"}) {
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line;
        EXPECT_EQ(testutil::countOf(unit, "\n" + line.substr(0, line.find('=') + 1)), 1u) << line;
    }
    // Executable shell scripts; then every line of the four but the comments.
    const std::string scripts = "cd " + dir.file("control") + " && for s in *inst *rm; do ";
    EXPECT_EQ(shell(scripts + "stat -c '%a %n' $s; sh -n $s || echo \"$s is not valid\"; done").out,
              "755 postinst\n755 preinst\n755 postrm\n755 prerm\n");
    const std::string code = shell(scripts + "grep -v '^[[:space:]]*#' $s; done").out;
    // No placeholder left; systemctl only to reload systemd, the unit through
    // the helpers.
    EXPECT_FALSE(
        std::regex_search(code, std::regex("DEBHELPER|systemctl (?!--system daemon-reload)")));
    // The user, the configuration file and the unit's state, installed,
    // stopped on removal and forgotten on purge.
    for (const char* step :
         {"systemctl --system daemon-reload", "adduser --system", "--home /nonexistent vantrel",
          "umask 077", "chown root:vantrel", "chmod 0640",
          "deb-systemd-helper --quiet was-enabled 'vantrel.service'",
          "deb-systemd-helper update-state 'vantrel.service'",
          "deb-systemd-invoke try-restart 'vantrel.service'",
          "deb-systemd-invoke stop 'vantrel.service'", "rm -f /etc/vantrel.conf",
          "deb-systemd-helper purge 'vantrel.service'"}) {
        EXPECT_NE(code.find(step), std::string::npos) << step;
    }
    if (shell("command -v systemd-analyze").status != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed; the unit was not verified";
    }
    // A copy that starts the packaged program, checked with the packaged
    // manual pages, and at least as hardened as the unit that ran the agent
    // as root (exposure 1.6); then a copy with a mistake, which the check
    // must see. Only lines about this unit count; a host's own may add others.
    const std::string verify =
        "mkdir -p \"$1\" && sed "
        "\"s|^ExecStart=/usr/sbin/vantrel|ExecStart=$2/usr/sbin/vantrel|;$3\" "
        "\"$2/lib/systemd/system/vantrel.service\" >\"$1/vantrel.service\" || exit 2; "
        "out=$(MANPATH=\"$2/usr/share/man\" systemd-analyze verify \"$1/vantrel.service\" 2>&1); "
        "status=$?; printf '%s\\n' \"$out\" | grep vantrel; echo \"status $status\"; "
        "systemd-analyze security --offline=yes \"$1/vantrel.service\" | awk '/Overall exposure/ "
        "{for (i = 1; i <= NF; i++) if ($i ~ /^[0-9.]+$/) print $i <= 1.6}'";
    EXPECT_EQ(shell(verify, {dir.file("good"), dir.file("root"), ""}).out, "status 0\n1\n");
    EXPECT_THAT(shell(verify, {dir.file("bad"), dir.file("root"), "s/=notify/=notifi/"}).out,
                testing::HasSubstr("notifi"));
}
