// The program's table of families on the Linux platform: every switch has its
// family, and each family works on the stores and folders the user named.
#include "app/hosting/tool_families.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/registry/tool_error.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using app::tools::Arguments;
using app::tools::ToolSwitch;
using testsupport::ScopedVariable;

// A fresh home whose defaults name their own calendar and notes folders, and
// an xdg-open that records what it is asked to open.
class Composition : public ::testing::Test {
protected:
    Composition() {
        fs::create_directories(home_.file("config/brisolet"));
        fs::create_directories(home_.file("bin"));
        testsupport::writeFile(home_.file("config/brisolet/defaults.json"),
                               R"({"calendarsDirectory":")" + home_.file("my calendars") +
                                   R"(","notesDirectory":"~/my notes"})");
        testsupport::writeScript(home_.file("bin/xdg-open"), "printf '%s\\n' \"$1\" >> \"$HOME/opened\"\n");
    }

    // Files below the folder with the extension.
    static int filesIn(const std::string& folder, const std::string& extension) {
        int count = 0;
        if (!fs::exists(folder)) return 0;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.is_regular_file() && entry.path().extension() == extension) ++count;
        return count;
    }

    testsupport::ScratchDir home_;
    ScopedVariable homeVariable_{"HOME", home_.path().c_str()};
    ScopedVariable config_{"XDG_CONFIG_HOME", home_.file("config").c_str()};
    ScopedVariable data_{"XDG_DATA_HOME", home_.file("data").c_str()};
    testsupport::ScopedPath path_{home_.file("bin") + ":/usr/bin:/bin"};
};

// One test: the calendar services are made once per process, over the first
// platform's store.
TEST_F(Composition, EverySwitchHasItsFamilyWorkingOnThePlatformsStoresAndStandIns) {
    const auto platform = app::platform::makeLinuxPlatform();
    const auto families = app::hosting::makeToolFamilies(platform);
    ASSERT_EQ(families.size(), app::tools::kToolSwitchCount);
    for (std::size_t i = 0; i < families.size(); ++i) {
        EXPECT_EQ(app::hosting::kFamilyTable[i].toolSwitch, app::tools::kLookupOrder[i]) << i;
        EXPECT_EQ(families[i]->toolSwitch(), app::tools::kLookupOrder[i]) << i;
        EXPECT_FALSE(families[i]->definitions().empty()) << app::tools::switchKey(families[i]->toolSwitch());
    }

    // Each family reaches its store or stand-in through the one platform: the
    // calendar store and the notes folder the defaults name, the URL opener.
    const std::string calendars = home_.file("my calendars"), notes = home_.file("my notes");
    const std::string opened = home_.file("opened");
    struct Row {
        ToolSwitch family;
        std::string tool;
        Arguments arguments;
        std::string reply;  // a part of the answer
        std::string folder, extension;
        int files;
    };
    const Row rows[] = {
        {ToolSwitch::Calendar, "create_event",
         {{"title", std::string("Dentist")},
          {"startDate", std::string("2030-06-01T09:00:00Z")},
          {"endDate", std::string("2030-06-01T10:00:00Z")}},
         "Dentist", calendars, ".ics", 1},
        {ToolSwitch::Reminders, "reminders_add", {{"title", std::string("Milk")}}, "Milk", calendars, ".ics", 2},
        {ToolSwitch::Notes, "create_note",
         {{"title", std::string("Plan")}, {"content", std::string("one")}}, "Plan", notes, ".md", 1},
        {ToolSwitch::Maps, "open_map", {{"query", std::string("Paris")}}, "", "", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tool);
        std::string reply;
        try {
            reply = families[static_cast<std::size_t>(row.family)]->handle(row.tool, row.arguments, {});
        } catch (const app::tools::ToolError& e) {
            ADD_FAILURE() << e.what();
        }
        EXPECT_NE(reply.find(row.reply), std::string::npos) << reply;
        if (!row.folder.empty()) {
            EXPECT_EQ(filesIn(row.folder, row.extension), row.files);
        }
    }
    EXPECT_EQ(filesIn(home_.file("data"), ".ics"), 0) << "a second calendar store wrote under the data folder";
    EXPECT_NE(testsupport::readFile(opened).find("Paris"), std::string::npos);
}

}  // namespace
