// Contacts in memory; consent through a fake prompter by default.
#pragma once

#include "app/platform/contact_store.hpp"
#include "support/fake_access_prompter.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace app::platform {

class InMemoryContactStore : public ContactStore {
public:
    explicit InMemoryContactStore(std::shared_ptr<AccessPrompter> prompter = std::make_shared<FakeAccessPrompter>());

    void enumerateContacts(const std::function<bool(const Contact&)>& visit) override;

    void add(Contact contact);
    // Makes walks (and so name searches) fail with this cause; nullopt: succeed again.
    void setFailure(std::optional<std::string> cause);

private:
    std::mutex mutex_;
    std::vector<Contact> contacts_;
    std::optional<std::string> failure_;
};

}  // namespace app::platform
