// The cPanel user-domains loader over real files.
#include <gtest/gtest.h>
#include <unistd.h>

#include "ConfigFileParser.h"
#include "test_util.h"
#include "userFileLoader.h"

namespace {

class UserFileLoaderTest : public testing::Test {
protected:
    // Loads |path| and returns what went to standard output.
    std::string reload(userFileLoader& loader, const std::string& path) {
        loader.setDomainsFile(path);
        testing::internal::CaptureStdout();
        loader.reloadData();
        return testing::internal::GetCapturedStdout();
    }
    std::vector<std::pair<std::string, std::string>> entries(userFileLoader& loader) {
        std::vector<std::pair<std::string, std::string>> result;
        for (const typeZoneLine& line : *loader.getZonesVector()) {
            result.emplace_back(line.zone, line.username);
        }
        return result;
    }
    testutil::TempDir dir;
    userFileLoader loader{nullptr};
};

TEST_F(UserFileLoaderTest, LoadsEntriesInFileOrder) {
    testutil::writeFile(dir.file("userdomains"), "example.com: alice\n\nexample.org: bob");
    EXPECT_EQ(reload(loader, dir.file("userdomains")),
              "Found zone:example.com -- username:alice\n"
              "Found zone:example.org -- username:bob\n"
              "Total zones 2\n");
    EXPECT_EQ(entries(loader), (std::vector<std::pair<std::string, std::string>>{
                                   {"example.com", "alice"}, {"example.org", "bob"}}));
}

TEST_F(UserFileLoaderTest, FieldsTrimSpacesOnly) {
    testutil::writeFile(dir.file("userdomains"),
                        "  a.example  :   carol  \nb.example:\nc.example: dave\r\n\td.example: x\n"
                        "no colon here\ne.example:frank\n");
    reload(loader, dir.file("userdomains"));
    EXPECT_EQ(entries(loader),
              (std::vector<std::pair<std::string, std::string>>{{"a.example", "carol"},
                                                                {"b.example", ""},
                                                                {"c.example", "dave\r"},
                                                                {"\td.example", "x"},
                                                                {"e.example", "rank"}}));
}

TEST_F(UserFileLoaderTest, FailedReloadKeepsPreviousList) {
    testutil::writeFile(dir.file("userdomains"), "a.example: alice\n");
    reload(loader, dir.file("userdomains"));
    ASSERT_EQ(entries(loader).size(), 1u);

    ASSERT_EQ(symlink(dir.file("userdomains").c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(reload(loader, dir.file("link")), "Not a regular file!\n");
    EXPECT_EQ(reload(loader, dir.file("missing")), "CPanel UserFile: Error reading file\n");
    EXPECT_EQ(reload(loader, dir.path()), "Not a regular file!\n");
    EXPECT_EQ(entries(loader).size(), 1u);
}

TEST_F(UserFileLoaderTest, SecondReloadReplacesList) {
    testutil::writeFile(dir.file("userdomains"), "a.example: alice\nb.example: bob\n");
    reload(loader, dir.file("userdomains"));
    testutil::writeFile(dir.file("userdomains"), "c.example: carol\n");
    reload(loader, dir.file("userdomains"));
    EXPECT_EQ(entries(loader),
              (std::vector<std::pair<std::string, std::string>>{{"c.example", "carol"}}));
}

TEST_F(UserFileLoaderTest, PathComesFromConfiguration) {
    testutil::writeFile(dir.file("userdomains"), "a.example: alice\n");
    testutil::writeFile(dir.file("vantrel.conf"),
                        "CPANEL_ZONES_FILE=" + dir.file("userdomains") + "\n");
    ConfigFileParser config(dir.file("vantrel.conf"));
    userFileLoader configured(&config);
    EXPECT_EQ(configured.getDomainsFile(), "");
    configured.useConfiguredDomainsFile();
    EXPECT_EQ(configured.getDomainsFile(), dir.file("userdomains"));
    testing::internal::CaptureStdout();
    configured.reloadData();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(configured.getZonesVector()->size(), 1u);
}

}  // namespace
