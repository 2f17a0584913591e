// The window's text of every tool, in listing order, pinned byte for byte
// (the protocol's part of each definition is pinned by tools_list.json).
#include "app/tools/calendar/calendar_tools.hpp"
#include "app/tools/calendar/reminders_tools.hpp"
#include "app/tools/contacts/contacts_tools.hpp"
#include "app/tools/desktop/macos_control_tools.hpp"
#include "app/tools/mail/mail_tools.hpp"
#include "app/tools/maps/maps_tools.hpp"
#include "app/tools/messages/messages_tools.hpp"
#include "app/tools/music/music_tools.hpp"
#include "app/tools/notes/notes_tools.hpp"
#include "app/vision/vision_tools.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

namespace {

using app::tools::MCPTool;

TEST(ToolCatalogue, EveryFamilysWindowTextsStayAsTheyWere) {
    using Definitions = std::vector<MCPTool> (*)();
    const Definitions inListingOrder[] = {
        app::tools::calendarToolDefinitions, app::tools::reminderToolDefinitions,
        app::tools::contactsToolDefinitions, app::tools::messagesToolDefinitions,
        app::tools::mailToolDefinitions,     app::tools::notesToolDefinitions,
        app::tools::musicToolDefinitions,    app::tools::mapsToolDefinitions,
        app::tools::macOSControlToolDefinitions, app::vision::visionTools,
    };
    std::string listed;
    std::set<std::string> serverIds;
    for (const auto definitions : inListingOrder) {
        for (const auto& tool : definitions()) {
            listed += tool.name + "\t" + tool.displayDescription + "\n";
            EXPECT_EQ(tool.serverName, "Local") << tool.name;
            EXPECT_TRUE(serverIds.insert(tool.serverId).second) << tool.name;
        }
    }
    std::ifstream file(BRISOLET_TOOL_TEXTS, std::ios::binary);
    ASSERT_TRUE(file) << BRISOLET_TOOL_TEXTS;
    EXPECT_EQ(listed, std::string(std::istreambuf_iterator<char>(file), {}));
}

}  // namespace
