#include "support/in_memory_contact_store.hpp"

namespace app::platform {

InMemoryContactStore::InMemoryContactStore(std::shared_ptr<AccessPrompter> prompter)
    : ContactStore(std::move(prompter)) {}

void InMemoryContactStore::enumerateContacts(const std::function<bool(const Contact&)>& visit) {
    std::vector<Contact> snapshot;
    {
        std::lock_guard lock(mutex_);
        if (failure_) throw PlatformError("enumerate contacts", *failure_);
        snapshot = contacts_;
    }
    for (const auto& contact : snapshot)
        if (!visit(contact)) return;
}

void InMemoryContactStore::add(Contact contact) {
    std::lock_guard lock(mutex_);
    if (contact.identifier.empty()) contact.identifier = "contact#" + std::to_string(contacts_.size() + 1);
    contacts_.push_back(std::move(contact));
}

void InMemoryContactStore::setFailure(std::optional<std::string> cause) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(cause);
}

}  // namespace app::platform
