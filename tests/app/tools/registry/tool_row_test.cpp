// Rows of definition and handler: the listing a family gives and the row a
// call's name finds.
#include "app/tools/registry/tool_row.hpp"

#include <gtest/gtest.h>

#include <string>

namespace app::tools {
namespace {

using Row = ToolRow<std::string (*)(int&, const Arguments&)>;

const Row kRows[] = {
    {"send_email", "Send.", "发送。", objectSchema(AnyMap{{"to", schemaProperty("string", "To")}}, AnyList{"to"}),
     [](int& calls, const Arguments&) { return "first " + std::to_string(++calls); }},
    {"send_email_later", "Later.", "稍后。", objectSchema({}, {}),
     [](int& calls, const Arguments&) { return "second " + std::to_string(++calls); }},
};

TEST(ToolRow, ANameFindsOnlyItsOwnRow) {
    const struct {
        std::string name;
        std::string answer;  // empty: no row
    } cases[] = {
        {"send_email", "first 1"},  {"send_email_later", "second 1"}, {"Send_Email", ""},
        {"send_emai", ""},          {"send_email ", ""},              {"", ""},
        {std::string("send_email\0x", 12), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Row* row = findTool(kRows, c.name);
        if (c.answer.empty()) {
            EXPECT_EQ(row, nullptr);
            continue;
        }
        ASSERT_NE(row, nullptr);
        int calls = 0;
        EXPECT_EQ(row->handler(calls, {}), c.answer);
    }
}

TEST(ToolRow, DefinitionsFollowTheTableAndAreNewAtEveryListing) {
    const auto first = toolDefinitions(kRows);
    const auto second = toolDefinitions(kRows);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 2u);
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].name, kRows[i].name);
        EXPECT_EQ(first[i].description, kRows[i].description);
        EXPECT_EQ(first[i].displayDescription, kRows[i].displayDescription);
        EXPECT_EQ(first[i].inputSchema, kRows[i].inputSchema);
        EXPECT_EQ(first[i].serverName, "Local");
        EXPECT_NE(first[i].serverId, second[i].serverId);
    }
    EXPECT_NE(first[0].serverId, first[1].serverId);
}

}  // namespace
}  // namespace app::tools
