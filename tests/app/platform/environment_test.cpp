#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/environment.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <regex>
#include <set>
#include <thread>
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

TEST(StderrDiagnosticSink, OneLinePerCallEvenFromManyThreads) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    {
        StderrDiagnosticSink sink(fds[1]);
        sink.write("first\nsecond\r");
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 25; ++i) sink.write(std::string(100, static_cast<char>('a' + t)));
            });
        }
        for (auto& th : threads) th.join();
    }
    ::close(fds[1]);
    std::string all;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(all.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_EQ(lines[0], "first\\nsecond\\r");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].size(), 100u);
        EXPECT_EQ(lines[i], std::string(100, lines[i][0]));
    }
}

}  // namespace
}  // namespace app::platform
