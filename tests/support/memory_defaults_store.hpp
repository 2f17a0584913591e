// User defaults in memory, with a log of the writes.
#pragma once

#include "app/platform/defaults_store.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

// A map in memory with a log of the writes.
class MemoryDefaultsStore : public DefaultsStore {
public:
    struct Write {
        std::string key;
        DefaultsValue value;
        WriteMode mode;
    };

    MemoryDefaultsStore() = default;
    explicit MemoryDefaultsStore(std::map<std::string, DefaultsValue, std::less<>> initial)
        : values_(std::move(initial)) {}

    std::optional<DefaultsValue> object(std::string_view key) override;
    std::vector<Write> writes() const;
    void clearWrites();

protected:
    void store(std::string_view key, DefaultsValue value, WriteMode mode) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue, std::less<>> values_;
    std::vector<Write> writes_;
};

}  // namespace app::platform
