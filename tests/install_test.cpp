// The Debian package as built from this build folder: its files and their
// modes, the program's hardening and the configuration template (decoded by
// the agent's own parser). The unit and the maintainer scripts are tried
// under a real systemd by the system test (tests/system/run.sh).
#include <gtest/gtest.h>

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

}  // namespace

// Its files and their owners and modes, nothing in /etc; the version, the
// pages' compression, the program's hardening; a template whose samples are
// the defaults.
TEST(PackageTest, HoldsItsFilesOwnedByRootNothingInEtcAHardenedAgentAndAValidTemplate) {
    // The package built from this build folder into a scratch folder, with its
    // files in root/ and its control files in control/: the build's
    // configuration, and only its install script runs (the build is complete).
    const testutil::TempDir dir;
    const auto built = shell(
        "cd \"$3\" && \"$1\" -G DEB --config \"$2/CPackConfig.cmake\" -B out >cpack.log 2>&1 "
        "-D CPACK_INSTALL_CMAKE_PROJECTS= -D CPACK_INSTALL_SCRIPTS=\"$2/cmake_install.cmake\" "
        "&& cd out && deb=$(ls *.deb) && dpkg-deb -x $deb ../root && dpkg-deb -e $deb "
        "../control && echo $PWD/$deb",
        {VANTREL_CPACK_COMMAND, VANTREL_BUILD_DIR, dir.path()});
    ASSERT_EQ(built.status, 0) << readFile(dir.file("cpack.log"));
    const std::string deb = built.out.substr(0, built.out.find('\n'));
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
    const std::regex sample(
        "\n//((MAX_DELETE_PERCENT|DELETE_GRACE|WATCH_ZONES_FILE|METRICS_FILE|"
        "UPDATE_INTERVAL)=)");
    testutil::writeFile(dir.file("samples.conf"), std::regex_replace(text, sample, "\n$1"));
    ASSERT_EQ(readFile(dir.file("samples.conf")).size() + 10, text.size()) << "five samples";
    const ConfigFileParser on(dir.file("samples.conf"));
    EXPECT_EQ(fuzzchecks::settingsOf(on), fuzzchecks::settingsOf(config));
    EXPECT_FALSE(config.getLoggingLevel() != INFO || config.getDaemonize() ||
                 !config.getDecodeWarnings().empty() || !on.getDecodeWarnings().empty());
}
