// One table of awkward user text, run over every path that stores text and
// reads it back: each row must come back exactly, read afresh from where it
// was stored (files on disk, the outbox, the URL handed over).
#include "app/platform/contact_store.hpp"
#include "app/platform/ical_event_store.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/calendar/calendar_tools.hpp"
#include "app/tools/calendar/reminders_tools.hpp"
#include "app/tools/contacts/contacts_tools.hpp"
#include "app/tools/contacts_messages_notes_support.hpp"
#include "app/tools/mail/mail_tools.hpp"
#include "app/tools/maps/maps_stand_in.hpp"
#include "app/tools/maps/maps_tools.hpp"
#include "app/tools/messages/kde_connect_sender.hpp"
#include "app/tools/messages/messages_tools.hpp"
#include "app/tools/notes/markdown_notes_store.hpp"
#include "app/tools/notes/notes_tools.hpp"
#include "json/json.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/recording_url_opener.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace app::tools {
namespace {
using Fields = std::vector<std::string>;
using platform::FakeAccessPrompter;

const std::pair<const char*, std::string> kRows[] = {  // name, text
    {"punctuation", "a, b; c \\ d \"e\" 'f'"},
    {"trailing backslash", "ends in \\"},
    {"line feeds", "one\ntwo\n"},
    {"CR LF", "one\r\ntwo"},
    {"CR alone", "CR\rinside"},
    {"control characters", "a\u0001b\u007fc"},
    {"tabs", "\tcol 1\tcol 2"},
    {"NUL", std::string("a\0b", 3)},
    {"CJK", "会议室 第三 ミーティング 회의"},
    {"emoji with modifiers", "👍🏽 👩🏿‍💻 👨‍👩‍👧‍👦 🏳️‍🌈"},
    {"AppleScript injection", "\" & (do shell script \"touch /tmp/pwned\") & \""},
    {"markup and shell", "<script>alert(1)</script> $(id) `id` %00 %s ; DROP TABLE x; --"},
    {"blanks at both ends", "  Spaced  "},
    {"trailing blank after a backslash", " x, y; z\\ "},
    {"only blanks but one character", "    .    "},
};

// What follows "(ID: " at the end of a reply.
std::string idIn(const std::string& reply) {
    const auto at = reply.rfind("(ID: ");
    return at == std::string::npos ? "" : reply.substr(at + 5, reply.size() - at - 6);
}

// The percent-decoded value of `key` in a URL's query.
std::string queryValue(const std::string& url, const std::string& key) {
    std::size_t at = url.find('?');
    while (at != std::string::npos && url.compare(at + 1, key.size() + 1, key + "=") != 0) at = url.find('&', at + 1);
    if (at == std::string::npos) return "<absent>";
    std::string out;
    for (std::size_t i = at + key.size() + 2; i < url.size() && url[i] != '&'; ++i) {
        if (url[i] == '%' && i + 2 < url.size()) {
            out += static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += url[i];
        }
    }
    return out;
}

std::string vCardText(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(std::strchr("\\,;", c) && c ? "\\" : "") + c;
    return out;
}

struct NoPlaces : LocalSearch, DirectionsProvider, MapsFormatters {
    std::optional<std::vector<MapItem>> search(const std::string& query) override {
        queries.push_back(query);
        return std::vector<MapItem>{};
    }
    std::optional<std::vector<Route>> calculate(const MapItem&, const MapItem&, TransportType, bool) override { return {}; }
    std::optional<std::string> duration(double) override { return {}; }
    std::string distance(double) override { return {}; }
    std::vector<std::string> queries;
};

struct Path {
    const char* name;
    std::function<Fields(const std::string&, const std::string& folder)> storeAndRead;
    std::vector<std::string> notCarried = {"NUL"};  // rows the stored form cannot hold
    std::vector<std::string> refused = {};          // rows answered with an error, and nothing stored
};
// iCalendar and vCard text has one line break, written \n: a carriage return cannot be stored.
const std::vector<std::string> kNoCarriageReturn = {"NUL", "CR LF", "CR alone"};
// The tools refuse a control character but a tab and a line break (a CR LF
// is one, and is stored as \n).
const std::vector<std::string> kNoControls = {"NUL", "CR alone", "control characters"};

auto createdNotes(const std::string& title, const std::string& text, const std::string& folder) {
    auto host = std::make_shared<platform::TemplateScriptHost>(std::make_shared<FakeAccessPrompter>());
    registerNotesScripts(*host, std::make_shared<MarkdownNotesStore>(folder + "/notes"));
    NotesToolFamily(std::make_shared<cmntest::FixedEnvironment>(folder), host)
        .handle("create_note", {{"title", title}, {"content", text}}, {});
    return MarkdownNotesStore(folder + "/notes").notes();
}

const Path kPaths[] = {
    {"events: title, location, notes",
     [](const std::string& text, const std::string& folder) {
         auto store = std::make_shared<platform::IcalEventStore>(folder, std::make_shared<FakeAccessPrompter>(), nullptr);
         CalendarToolHandler tools(std::make_shared<CalendarManager>(store), nullptr);
         const std::string id = idIn(tools.handle("create_event", {{"title", text}, {"location", text}, {"notes", text},
                                                                  {"startDate", "2030-01-02T10:00:00Z"},
                                                                  {"endDate", "2030-01-02T11:00:00Z"}}, {}));
         auto event = platform::IcalEventStore(folder, std::make_shared<FakeAccessPrompter>(), nullptr).event(id);
         if (!event || event->isAllDay) return Fields{"<not stored as given>"};
         return Fields{event->title, event->location.value_or("<none>"), event->notes.value_or("<none>")};
     },
     {"CR LF"},
     kNoControls},
    {"reminders: title, notes",
     [](const std::string& text, const std::string& folder) {
         auto store = std::make_shared<platform::IcalEventStore>(folder, std::make_shared<FakeAccessPrompter>(), nullptr);
         RemindersToolHandler tools(std::make_shared<EventKitService>(store), nullptr);
         const std::string id = idIn(tools.handle("reminders_add", {{"title", text}, {"notes", text}}, {}));
         auto reminder = platform::IcalEventStore(folder, std::make_shared<FakeAccessPrompter>(), nullptr).reminder(id);
         if (!reminder) return Fields{"<not stored>"};
         return Fields{reminder->title.value_or("<none>"), reminder->notes.value_or("<none>")};
     },
     {"CR LF"},
     kNoControls},
    {"notes: body",
     [](const std::string& text, const std::string& folder) {
         auto notes = createdNotes("Body", text, folder);
         return notes.size() == 1 ? Fields{notes[0].body} : Fields{"<not stored>"};
     }},
    {"notes: title",
     [](const std::string& text, const std::string& folder) {
         auto notes = createdNotes(text, text, folder);
         return notes.size() == 1 ? Fields{notes[0].name} : Fields{"<not stored>"};
     },
     {"line feeds", "CR LF", "tabs"},  // a title is its file name: tabs and line breaks become blanks
     kNoControls},
    {"contacts from a vCard",
     [](const std::string& text, const std::string& folder) {
         testsupport::writeFile(folder + "/c.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nN:;" + vCardText(text) + ";;;\r\nFN:" +
                                                       vCardText(text) + "\r\nTEL:555\r\nEND:VCARD\r\n");
         auto store = std::make_shared<platform::VCardContactStore>(folder, std::make_shared<FakeAccessPrompter>());
         const json::Value listed = json::parse(ContactsToolFamily(std::make_shared<ContactsManager>(store))
                                                    .handle("get_all_contacts", {}, {}));
         Fields names;
         for (const auto& member : listed.asObject().members()) names.push_back(member.first);
         return names;
     },
     kNoCarriageReturn},
    {"message body handed to the sender",
     [](const std::string& text, const std::string& folder) {
         // A paired phone that records the body it is handed.
         testsupport::writeScript(folder + "/kdeconnect-cli",
                                  "if [ \"$1\" = --list-available ]; then echo phone; exit 0; fi\n"
                                  "printf '%s' \"${2#--send-sms=}\" > '" + folder + "/sent'\n");
         testsupport::ScopedPath path(folder + ":/usr/bin:/bin");
         auto host = std::make_shared<platform::TemplateScriptHost>(std::make_shared<FakeAccessPrompter>());
         registerMessagesScripts(*host, std::make_shared<KdeConnectSender>());
         MessagesToolFamily(std::make_shared<cmntest::FixedEnvironment>(folder), host)
             .handle("send_message", {{"phoneNumber", "+15550100"}, {"message", text}}, {});
         return Fields{testsupport::readFile(folder + "/sent")};
     },
     {},
     {"NUL"}},  // an argument vector holds no NUL
    {"mail subject and body in the URL",
     [](const std::string& text, const std::string&) {
         platform::RecordingUrlOpener opener;
         sendEmail(opener, "a@b.c", text, text);
         return Fields{queryValue(opener.urls().at(0), "subject"), queryValue(opener.urls().at(0), "body")};
     },
     {}},
    {"maps: searched and opened query",
     [](const std::string& text, const std::string&) {
         auto places = std::make_shared<NoPlaces>();
         auto opener = std::make_shared<platform::RecordingUrlOpener>();
         auto host = std::make_shared<platform::TemplateScriptHost>(std::make_shared<FakeAccessPrompter>());
         registerMapsScripts(*host, std::make_shared<MapsStandIn>(opener));
         MapsService maps(places, places, places, host);
         handleMapsTool(maps, "search_locations", {{"query", text}});
         handleMapsTool(maps, "open_map", {{"query", text}});
         return Fields{places->queries.at(0), queryValue(opener->urls().at(0), "query")};
     },
     {}},
};

TEST(TextRoundTrip, EveryRowComesBackExactlyOnEveryPath) {
    for (const auto& path : kPaths) {
        for (const auto& [name, text] : kRows) {
            if (std::ranges::count(path.notCarried, name) + std::ranges::count(path.refused, name) > 0) continue;
            SCOPED_TRACE(std::string(path.name) + " / " + name);
            testsupport::ScratchDir dir;
            Fields read;
            try {
                read = path.storeAndRead(text, dir.path());
            } catch (const std::exception& e) {
                read = {std::string("failed: ") + e.what()};
            }
            EXPECT_EQ(read, Fields(read.empty() ? 1 : read.size(), text));
        }
    }
}

// A text the stored form cannot hold is refused, never stored altered.
TEST(TextRoundTrip, RowsAPathCannotHoldAreRefusedAndNothingIsStored) {
    for (const auto& path : kPaths) {
        for (const auto& [name, text] : kRows) {
            if (std::ranges::count(path.refused, name) == 0) continue;
            SCOPED_TRACE(std::string(path.name) + " / " + name);
            testsupport::ScratchDir dir;
            EXPECT_THROW(path.storeAndRead(text, dir.path()), ToolError);
            for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
                const auto file = entry.path().filename();
                EXPECT_FALSE(file.extension() == ".ics" || file.extension() == ".md" || file == "sent") << entry.path();
            }
        }
    }
}

}  // namespace
}  // namespace app::tools
