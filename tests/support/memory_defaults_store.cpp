#include "support/memory_defaults_store.hpp"

namespace app::platform {

std::optional<DefaultsValue> MemoryDefaultsStore::object(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void MemoryDefaultsStore::store(std::string_view key, DefaultsValue value, WriteMode mode) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), value);
    writes_.push_back({std::string(key), std::move(value), mode});
}

std::vector<MemoryDefaultsStore::Write> MemoryDefaultsStore::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

void MemoryDefaultsStore::clearWrites() {
    std::lock_guard lock(mutex_);
    writes_.clear();
}

}  // namespace app::platform
