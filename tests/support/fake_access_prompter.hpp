// Access decisions in memory.
#pragma once

#include "app/platform/access_prompter.hpp"

#include <map>
#include <mutex>

namespace app::platform {

// Statuses set directly, the question answered by a replaceable asker
// (default: grant), questions counted.
class FakeAccessPrompter : public AccessPrompter {
public:
    explicit FakeAccessPrompter(AccessAsker asker = grantAccess);

    AuthorizationStatus authorizationStatus(const AccessSubject& subject) override;
    bool requestAccess(const AccessSubject& subject) override;

    void setStatus(const AccessSubject& subject, AuthorizationStatus status);
    void setAsker(AccessAsker asker);
    int promptCount(const AccessSubject& subject) const;

private:
    mutable std::mutex mutex_;
    AccessAsker asker_;
    std::map<AccessSubject, AuthorizationStatus> statuses_;
    std::map<AccessSubject, int> prompts_;
};

}  // namespace app::platform
