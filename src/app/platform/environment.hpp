// Paths, clock and identifiers the program takes from its surroundings.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace app::platform {

class Environment {
public:
    virtual ~Environment() = default;

    virtual std::string homeDirectory() const = 0;
    virtual std::string temporaryDirectory() const = 0;
    // $XDG_CONFIG_HOME, else ~/.config
    virtual std::string configHome() const = 0;
    // $XDG_DATA_HOME, else ~/.local/share
    virtual std::string dataHome() const = 0;
    virtual std::chrono::system_clock::time_point now() const = 0;
    // A new random (version 4) UUID in its upper-case text form.
    virtual std::string makeUuid() const = 0;
};

// The process environment, read once at construction. The lookup can be
// replaced so tests need not touch the real environment.
class SystemEnvironment : public Environment {
public:
    using Lookup = std::function<std::optional<std::string>(const char* name)>;

    SystemEnvironment();
    explicit SystemEnvironment(const Lookup& lookup);

    std::string homeDirectory() const override { return home_; }
    std::string temporaryDirectory() const override { return temp_; }
    std::string configHome() const override { return config_; }
    std::string dataHome() const override { return data_; }
    std::chrono::system_clock::time_point now() const override;
    std::string makeUuid() const override;

private:
    std::string home_, temp_, config_, data_;
};

// A random version-4 UUID, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
std::string randomUuidString();

// mkdir -p where every folder made is private to the user (0700); folders
// that exist keep their modes. Returns 0, or the errno of the failure with
// the folder that failed in `failed` (a name that exists but is no folder
// is ENOTDIR).
int makePrivateDirectories(const std::string& directory, std::string* failed = nullptr);

}  // namespace app::platform
