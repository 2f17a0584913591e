// The settings program's user defaults: what it shows is what the file holds.
// A switch the user moves is written to the file; when that write fails (a
// read-only folder, a lock that cannot be taken) reads still give the file's
// value, so the switch returns to it, and saveFailed() tells the window why.
#pragma once

#include "app/platform/defaults_store.hpp"
#include "app/tools/registry/change_signal.hpp"

#include <memory>
#include <mutex>
#include <string>

namespace app::ui {

class SavedDefaults : public platform::DefaultsStore {
public:
    // Reports go to `sink` as well.
    SavedDefaults(const std::string& path, std::shared_ptr<platform::DiagnosticSink> sink);
    ~SavedDefaults() override;

    // The file's value (read again when the file changed).
    std::optional<platform::DefaultsValue> object(std::string_view key) override;
    void addInteger(std::string_view key, std::int64_t delta) override;
    void flush() override;
    std::unique_ptr<platform::DirectoryWatch> watchChanges(std::function<void()> onChange) override;

    // Fires on the writing thread after a write that did not reach the file.
    tools::ChangeSignal& saveFailed() { return saveFailed_; }
    // Why the last failed write failed.
    std::string lastFailure() const;

protected:
    void store(std::string_view key, platform::DefaultsValue value, platform::WriteMode mode) override;

private:
    class Reports;
    std::shared_ptr<Reports> reports_;
    std::unique_ptr<platform::FileDefaultsStore> writer_;  // its reports tell a failed write
    std::unique_ptr<platform::FileDefaultsStore> reader_;  // never written: holds what the file holds
    std::mutex writeMutex_;
    tools::ChangeSignal saveFailed_;
};

}  // namespace app::ui
