#include "app/ui/default_applications.hpp"
#include "app/ui/onboarding_model.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <stdlib.h>
#include <sys/stat.h>

namespace app::ui {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // path under the root -> contents ("FIFO" makes a FIFO)
using Env = std::map<std::string, std::string>;    // "@" in a value stands for the root

std::string entry(const std::string& mime, const std::string& more = "", const std::string& exec = "true %U") {
    return "[Desktop Entry]\nType=Application\nName=x\nExec=" + exec + "\n" +
           (mime.empty() ? "" : "MimeType=" + mime + "\n") + more;
}

struct Tree {
    std::string root;
    explicit Tree(const Files& files) {
        root = ::testing::TempDir() + "xdg-XXXXXX";
        if (!::mkdtemp(root.data())) throw std::runtime_error("mkdtemp failed");
        for (const auto& [path, text] : files) {
            fs::create_directories(fs::path(root + "/" + path).parent_path());
            if (text == "FIFO") ::mkfifo((root + "/" + path).c_str(), 0600);
            else std::ofstream(root + "/" + path) << text;
        }
    }
    ~Tree() { fs::remove_all(root); }
    Env environment(const Env& given) const {
        Env env{{"HOME", root}, {"XDG_CONFIG_HOME", root + "/config"}, {"XDG_DATA_HOME", root + "/data"},
                {"XDG_CONFIG_DIRS", root + "/etc"}, {"XDG_DATA_DIRS", root + "/usr"}, {"PATH", "/usr/bin:/bin"}};
        for (auto [name, value] : given) {
            for (std::size_t at; (at = value.find('@')) != std::string::npos;) value.replace(at, 1, root);
            env[name] = value;
        }
        return env;
    }
};

XdgFolders foldersOf(const Env& env) {
    return XdgFolders::fromEnvironment([&](const char* name) -> std::optional<std::string> {
        auto it = env.find(name);
        return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
}

// What `xdg-mime query default` answers in the same folders.
std::string xdgMime(const std::string& mime, const Env& env) {
    std::vector<std::string> environment;
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
    testsupport::ChildProcess child({"xdg-mime", "query", "default", mime}, environment, true);
    std::string answer = child.readLine().value_or("");
    EXPECT_EQ(child.wait(), 0) << "xdg-mime failed";
    return answer;
}

TEST(DefaultApplication, FoundAsXdgMimeFindsIt) {
    ASSERT_TRUE(testsupport::onPath("xdg-mime")) << "xdg-mime (xdg-utils) is not installed";
    const std::string cal = "text/calendar";
    struct Case {
        const char* name;
        Files files;
        Env env;
        std::string mime;
        std::string expected;  // the desktop id, "" for none
        bool likeXdgMime = true;
    };
    const Case cases[] = {
        {"the user's list",
         {{"config/mimeapps.list", "[Default Applications]\ntext/calendar=a.desktop;\n"},
          {"data/applications/a.desktop", entry("")}, {"data/applications/b.desktop", entry(cal + ";")}},
         {}, cal, "a.desktop"},
        {"an id without a file passes to the next list",
         {{"config/mimeapps.list", "[Default Applications]\ntext/calendar=gone.desktop\n"},
          {"usr/applications/mimeapps.list", "[Added Associations]\ntext/calendar=a.desktop\n"
                                             "[Default Applications]\ntext/calendar=b.desktop\n"},
          {"data/applications/a.desktop", entry("")}, {"usr/applications/b.desktop", entry("")}},
         {}, cal, "b.desktop"},
        {"config folders before data folders",
         {{"etc/mimeapps.list", "[Default Applications]\ntext/vcard=a.desktop\n"},
          {"data/applications/mimeapps.list", "[Default Applications]\ntext/vcard=b.desktop\n"},
          {"data/applications/a.desktop", entry("")}, {"data/applications/b.desktop", entry("")}},
         {}, "text/vcard", "a.desktop"},
        {"the desktop's own list first",
         {{"config/mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=a.desktop\n"},
          {"config/x-test-mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=b.desktop\n"},
          {"data/applications/a.desktop", entry("")}, {"data/applications/b.desktop", entry("")}},
         {{"XDG_CURRENT_DESKTOP", "X-Test"}}, "x-scheme-handler/mailto", "b.desktop"},
        {"a program that is not installed does not count",
         {{"config/mimeapps.list", "[Default Applications]\naudio/mpeg=a.desktop\n"},
          {"data/applications/a.desktop", entry("", "", "brisolet-no-such-player %U")},
          {"data/applications/c.desktop", entry("audio/mpeg;audio/ogg;")}},
         {}, "audio/mpeg", "c.desktop"},
        {"an entry in a vendor folder",
         {{"config/mimeapps.list", "[Default Applications]\ntext/calendar=vendor-cal.desktop\n"},
          {"usr/applications/vendor/cal.desktop", entry("", "", "/bin/sh -c true")}},
         {}, cal, "vendor-cal.desktop"},
        {"the caches built from the entries",
         {{"usr/applications/mimeinfo.cache", "[MIME Cache]\ntext/calendar=d.desktop;e.desktop;\n"},
          {"usr/applications/d.desktop", entry(cal)}, {"usr/applications/e.desktop", entry(cal)}},
         {}, cal, "d.desktop"},
        {"entries: the highest preference",
         {{"data/applications/a.desktop", entry(cal + ";")},
          {"usr/applications/b.desktop", entry(cal + ";", "InitialPreference=5\n")},
          {"usr/applications/c.desktop", entry("text/plain;")}},
         {}, cal, "b.desktop"},
        {"entries: the user's first, then name order",
         {{"data/applications/z.desktop", entry(cal + ";")}, {"usr/applications/a.desktop", entry(cal + ";")},
          {"data/applications/y.desktop", entry(cal + ";")}},
         {}, cal, "y.desktop"},
        {"a list that is a FIFO is not waited on",
         {{"config/mimeapps.list", "FIFO"},
          {"data/applications/mimeapps.list", "[Default Applications]\ntext/vcard=a.desktop\n"},
          {"data/applications/a.desktop", entry("")}},
         {}, "text/vcard", "a.desktop"},
        {"no handler", {{"data/applications/a.desktop", entry("text/plain;")}}, {}, "x-scheme-handler/sms", ""},
        {"the default's list read through: the first installed one",
         {{"config/mimeapps.list", "[Default Applications]\ntext/calendar=gone.desktop;b.desktop;\n"},
          {"data/applications/b.desktop", entry("")}},
         {}, cal, "b.desktop", false},  // xdg-mime only tries the first
        {"a hidden user copy hides the system's entry",
         {{"data/applications/a.desktop", entry(cal + ";", "Hidden=true\n")},
          {"usr/applications/a.desktop", entry(cal + ";")}},
         {}, cal, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree(c.files);
        const Env env = tree.environment(c.env);
        const auto found = defaultApplication(c.mime, foldersOf(env));
        EXPECT_EQ(found ? found->id : "", c.expected);
        if (c.likeXdgMime) {
            EXPECT_EQ(xdgMime(c.mime, env), c.expected);
        }
    }
}

TEST(DefaultApplication, RowsAndTheirIcons) {
    const std::string png = "\x89PNG\r\n\x1a\nnot really";
    Tree tree({
        {"config/mimeapps.list", "[Default Applications]\ntext/calendar=cal.desktop\naudio/mpeg=player.desktop\n"
                                 "x-scheme-handler/mailto=mail.desktop\n"},
        {"data/applications/cal.desktop", entry("", "Icon=brisolet-calendar\nIcon[de]=other\n")},
        {"data/applications/player.desktop", entry("", "Icon=@/icon.png\n")},
        {"data/applications/mail.desktop", entry("", "Icon=@/fifo\n")},
        {"data/applications/org.kde.kdeconnect.sms.desktop", entry("", "Icon=kdeconnect\n")},
        {"data/applications/contacts.desktop", entry("text/vcard;")},  // no Icon=
        {"icon.png", png},
        {"fifo", "FIFO"},
    });
    // Icon= paths name the temporary root.
    for (const char* name : {"player", "mail"}) {
        const std::string path = tree.root + "/data/applications/" + name + ".desktop";
        std::string text;
        std::getline(std::ifstream(path), text, '\0');
        text.replace(text.find('@'), 1, tree.root);
        std::ofstream(path) << text;
    }
    const XdgFolders folders = foldersOf(tree.environment({}));
    // row -> the theme name or file bytes drawn; nothing for the symbol
    const std::optional<ApplicationIcon> expected[] = {
        ApplicationIcon{"brisolet-calendar", std::nullopt}, ApplicationIcon{"brisolet-calendar", std::nullopt},
        std::nullopt,                                  // contacts: an entry without an icon
        ApplicationIcon{"kdeconnect", std::nullopt},   // messages: no sms handler, KDE Connect installed
        std::nullopt,                                  // mail: its icon is no regular file
        ApplicationIcon{"", png},
    };
    for (std::size_t row = 0; row < kToolRows.size(); ++row) {
        SCOPED_TRACE(kToolRows[row].title);
        const auto app = applicationFor(kToolRows[row], folders);
        const auto icon = app ? applicationIcon(*app) : std::nullopt;
        ASSERT_EQ(icon.has_value(), expected[row].has_value());
        if (icon) {
            EXPECT_EQ(icon->themeName, expected[row]->themeName);
            EXPECT_EQ(icon->file, expected[row]->file);
        }
    }
}

}  // namespace
}  // namespace app::ui
