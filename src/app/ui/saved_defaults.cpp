#include "app/ui/saved_defaults.hpp"

#include "app/platform/directory_watch.hpp"

namespace app::ui {

// Passes every line on, keeping the last.
class SavedDefaults::Reports : public platform::DiagnosticSink {
public:
    explicit Reports(std::shared_ptr<platform::DiagnosticSink> next) : next_(std::move(next)) {}

    void write(std::string_view line) override {
        noteFailure(line);
        if (next_) next_->write(line);
    }
    // Every report during a write is about it; the last one says why it failed.
    void noteFailure(std::string_view line) {
        std::lock_guard lock(mutex_);
        ++failures_;
        last_ = std::string(line);
    }
    std::size_t failures() const {
        std::lock_guard lock(mutex_);
        return failures_;
    }
    std::string last() const {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    std::shared_ptr<platform::DiagnosticSink> next_;
    mutable std::mutex mutex_;
    std::size_t failures_ = 0;
    std::string last_;
};

SavedDefaults::SavedDefaults(const std::string& path, std::shared_ptr<platform::DiagnosticSink> sink)
    : reports_(std::make_shared<Reports>(sink)),
      writer_(std::make_unique<platform::FileDefaultsStore>(path, reports_)),
      reader_(std::make_unique<platform::FileDefaultsStore>(path, std::move(sink))) {}

SavedDefaults::~SavedDefaults() = default;

std::optional<platform::DefaultsValue> SavedDefaults::object(std::string_view key) { return reader_->object(key); }

void SavedDefaults::addInteger(std::string_view key, std::int64_t delta) { writer_->addInteger(key, delta); }

void SavedDefaults::flush() { writer_->flush(); }

std::unique_ptr<platform::DirectoryWatch> SavedDefaults::watchChanges(std::function<void()> onChange) {
    return writer_->watchChanges(std::move(onChange));
}

std::string SavedDefaults::lastFailure() const { return reports_->last(); }

void SavedDefaults::store(std::string_view key, platform::DefaultsValue value, platform::WriteMode mode) {
    if (mode == platform::WriteMode::Coalesced) {
        writer_->set(key, std::move(value), mode);
        return;
    }
    bool failed;
    {
        // One write at a time, so a failure is this write's own.
        std::lock_guard lock(writeMutex_);
        const std::size_t before = reports_->failures();
        writer_->set(key, value, mode);
        // The file is the judge: a write it does not hold was not saved.
        failed = reader_->object(key) != std::optional(value);
        if (failed && reports_->failures() == before) reports_->noteFailure("Defaults: not saved: " + std::string(key));
    }
    if (failed) saveFailed_.send();
}

}  // namespace app::ui
