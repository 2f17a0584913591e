#include "support/fake_access_prompter.hpp"

namespace app::platform {

FakeAccessPrompter::FakeAccessPrompter(AccessAsker asker) : asker_(std::move(asker)) {}

AuthorizationStatus FakeAccessPrompter::authorizationStatus(const AccessSubject& subject) {
    std::lock_guard lock(mutex_);
    auto it = statuses_.find(subject);
    return it == statuses_.end() ? AuthorizationStatus::NotDetermined : it->second;
}

bool FakeAccessPrompter::requestAccess(const AccessSubject& subject) {
    AccessAsker asker;
    {
        std::lock_guard lock(mutex_);
        auto it = statuses_.find(subject);
        if (it != statuses_.end() && it->second != AuthorizationStatus::NotDetermined)
            return it->second == AuthorizationStatus::FullAccess;
        ++prompts_[subject];
        asker = asker_;
    }
    bool granted = asker(subject);
    std::lock_guard lock(mutex_);
    auto [it, inserted] = statuses_.try_emplace(subject, AuthorizationStatus::NotDetermined);
    if (it->second == AuthorizationStatus::NotDetermined)
        it->second = granted ? AuthorizationStatus::FullAccess : AuthorizationStatus::Denied;
    return it->second == AuthorizationStatus::FullAccess;
}

void FakeAccessPrompter::setStatus(const AccessSubject& subject, AuthorizationStatus status) {
    std::lock_guard lock(mutex_);
    statuses_[subject] = status;
}

void FakeAccessPrompter::setAsker(AccessAsker asker) {
    std::lock_guard lock(mutex_);
    asker_ = std::move(asker);
}

int FakeAccessPrompter::promptCount(const AccessSubject& subject) const {
    std::lock_guard lock(mutex_);
    auto it = prompts_.find(subject);
    return it == prompts_.end() ? 0 : it->second;
}

}  // namespace app::platform
