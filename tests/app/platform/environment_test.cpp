#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/environment.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace app::platform {
namespace {
struct EnvCase {
    std::map<std::string, std::string> variables;
    std::string home, temp, config, data;
};

TEST(SystemEnvironment, DirectoriesAndFallbacks) {
    const EnvCase cases[] = {
        {{{"HOME", "/home/u"}}, "/home/u", "/tmp", "/home/u/.config", "/home/u/.local/share"},
        {{{"HOME", "/home/u/"}, {"TMPDIR", "/var/tmp/"}}, "/home/u", "/var/tmp", "/home/u/.config",
         "/home/u/.local/share"},
        {{{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/x/cfg"}, {"XDG_DATA_HOME", "/x/data"}},
         "/home/u", "/tmp", "/x/cfg", "/x/data"},
        // Empty and relative XDG values are ignored.
        {{{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", ""}, {"XDG_DATA_HOME", "rel/data"}, {"TMPDIR", ""}},
         "/home/u", "/tmp", "/home/u/.config", "/home/u/.local/share"},
    };
    for (const auto& c : cases) {
        SystemEnvironment env([&](const char* name) -> std::optional<std::string> {
            auto it = c.variables.find(name);
            if (it == c.variables.end()) return std::nullopt;
            return it->second;
        });
        EXPECT_EQ(env.homeDirectory(), c.home);
        EXPECT_EQ(env.temporaryDirectory(), c.temp);
        EXPECT_EQ(env.configHome(), c.config);
        EXPECT_EQ(env.dataHome(), c.data);
    }
}

}  // namespace
}  // namespace app::platform
