// The user's contacts, read-only, and the consent to read them.
// VCardContactStore reads vCard files; InMemoryContactStore is the fake.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/access_prompter.hpp"

namespace app::platform {

struct Contact {
    std::string identifier;
    std::string givenName;
    std::string familyName;
    std::vector<std::string> phoneNumbers;  // as stored, in stored order

    bool operator==(const Contact&) const = default;
};

// The store's name matching: every blank-separated word of the query is a
// case-insensitive prefix of the given or the family name. A blank query
// matches nobody.
bool contactNameMatches(const Contact& contact, std::string_view query);

class ContactStore {
public:
    explicit ContactStore(std::shared_ptr<AccessPrompter> prompter);
    virtual ~ContactStore() = default;

    // Consent, through the access prompter (Contacts).
    AuthorizationStatus authorizationStatus();
    bool requestAccess();

    // Walks the contacts in store order; `visit` returns false to stop after
    // the current contact. Throws PlatformError when the walk fails.
    virtual void enumerateContacts(const std::function<bool(const Contact&)>& visit) = 0;
    // The contacts whose name matches, in store order.
    virtual std::vector<Contact> contactsMatchingName(std::string_view name);

private:
    std::shared_ptr<AccessPrompter> prompter_;
};

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

// The *.vcf files of a folder (the program uses $XDG_DATA_HOME/brisolet/contacts),
// read anew at every walk. Store order: file name (byte order), then
// position in the file; identifiers are "<file name>#<position>". A missing
// folder holds no contacts; an unreadable folder or file, or a file over
// maxFileSize, fails the walk.
class VCardContactStore : public ContactStore {
public:
    static constexpr std::size_t maxFileSize = 64 * 1024 * 1024;

    VCardContactStore(std::string directory, std::shared_ptr<AccessPrompter> prompter);
    void enumerateContacts(const std::function<bool(const Contact&)>& visit) override;

private:
    std::string directory_;
};

}  // namespace app::platform
