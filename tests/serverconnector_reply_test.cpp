// The pure judging functions of the API client: reply messages, zone lists
// and form encoding, without any network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serverConnector.h"

namespace {

TEST(ServerReplyReading, MessageIsReadFromObjectsAndNullOnly) {
    struct Case {
        std::string text;
        bool read;
        bool parsed;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"({"message":"ok"})", true, true, "ok"},
        {R"({"message":"ok","other":{"x":[1,2]}})", true, true, "ok"},
        {R"( // note
            {"message":"recheck"})",
         true, true, "recheck"},
        {R"({"message":null})", true, true, ""},
        {R"({})", true, true, ""},
        {"null", true, true, ""},
        {R"({"message":12})", true, true, "12"},
        {R"({"message":false})", true, true, "false"},
        {R"({"message":{"text":"ok"}})", false, true, ""},
        {R"({"message":["ok"]})", false, true, ""},
        {R"([{"message":"ok"}])", false, true, ""},
        {"[]", false, true, ""},
        {R"("ok")", false, true, ""},
        {"3.5", false, true, ""},
        {"true", false, true, ""},
        {"", false, false, ""},
        {"<html>error</html>", false, false, ""},
        {R"({"message":"ok")", false, false, ""},
        {std::string(5000, '['), false, false, ""},
        {std::string(5000, '{'), false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        std::string message = "stale";
        bool parsed = !c.parsed;
        EXPECT_EQ(serverConnector::readReplyMessage(c.text, message, parsed), c.read);
        EXPECT_EQ(parsed, c.parsed);
        EXPECT_EQ(message, c.message);
    }
}

TEST(ServerReplyReading, ZoneListAcceptsArraysOfObjectsAndEmptyShapes) {
    struct Case {
        std::string text;
        bool read;
        bool parsed;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {R"([{"zone":"a.example"},{"zone":"B.example","id":3}])",
         true,
         true,
         {"a.example", "B.example"}},
        {R"([{"zone":"a.example"},{"zone":"a.example"}])", true, true, {"a.example", "a.example"}},
        {R"([null,{},{"zone":null},{"zone":7},{"zone":true}])",
         true,
         true,
         {"", "", "", "7", "true"}},
        {"[]", true, true, {}},
        {"{}", true, true, {}},
        {"null", true, true, {}},
        {R"("a.example")", true, true, {}},
        {"12", true, true, {}},
        {"false", true, true, {}},
        {R"({"message":"Unauthorized"})", false, true, {}},
        {R"([{"zone":"a.example"},3])", false, true, {}},
        {R"([{"zone":"a.example"},"b.example"])", false, true, {}},
        {R"([[{"zone":"a.example"}]])", false, true, {}},
        {R"([{"zone":{"name":"a.example"}}])", false, true, {}},
        {R"([{"zone":["a.example"]}])", false, true, {}},
        {"", false, false, {}},
        {R"([{"zone":"a.example"})", false, false, {}},
        {std::string(3000, '['), false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        std::vector<std::string> names = {"stale"};
        bool parsed = !c.parsed;
        EXPECT_EQ(serverConnector::readZoneList(c.text, names, parsed), c.read);
        EXPECT_EQ(parsed, c.parsed);
        EXPECT_EQ(names, c.names);
    }
}

TEST(ServerReplyReading, FormValuesEncodeEverythingButUnreservedBytes) {
    struct Case {
        std::string value;
        std::string encoded;
    };
    const std::vector<Case> cases = {
        {"a.example", "a.example"},    {"Sub-Domain_01.Example.~", "Sub-Domain_01.Example.~"},
        {"a&b=c", "a%26b%3Dc"},        {"x y+z%", "x%20y%2Bz%25"},
        {"zone[0]", "zone%5B0%5D"},    {std::string("nul\0byte", 8), "nul%00byte"},
        {"\xc3\xa9\xff", "%C3%A9%FF"}, {"", ""},
    };
    for (const Case& c : cases) {
        std::string encoded = "stale";
        EXPECT_TRUE(serverConnector::encodeFormValue(c.value, encoded));
        EXPECT_EQ(encoded, c.encoded);
    }
}

}  // namespace
