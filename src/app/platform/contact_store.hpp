// The user's contacts, read-only, and the consent to read them.
// VCardContactStore reads vCard files.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/access_prompter.hpp"
#include "app/platform/diagnostic_sink.hpp"

namespace app::platform {

struct Contact {
    std::string identifier;
    std::string givenName;
    std::string familyName;
    std::vector<std::string> phoneNumbers;  // as stored, in stored order
    std::string formattedName = {};  // the name as written on the card (FN), when it has one

    bool operator==(const Contact&) const = default;
};

// The store's name matching: every blank-separated word of the query is a
// case-insensitive prefix of the given or the family name, or the whole
// query is one of the name as written on the card (a name such as 张伟 is
// written family name first, without a blank). A blank query matches nobody.
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

// The *.vcf files of a folder and its sub-folders, one per address book as
// khard and vdirsyncer keep them (the program uses
// $XDG_DATA_HOME/brisolet/contacts or the folder `contactsDirectory` names),
// read anew at every walk. Store order: path below the folder (byte order),
// then position in the file; identifiers are "<path>#<position>". A missing
// folder holds no contacts; an unreadable folder fails the walk. A file
// that cannot be opened or read, one over maxFileSize and anything not a
// regular file (a FIFO, a device, never opened blocking) are skipped with one
// diagnostic each ("Contacts: skipping <path>: <why>"); folders deeper than
// maxDepth are not walked.
// Links to folders are followed, and each folder is walked once however many
// links lead to it.
class VCardContactStore : public ContactStore {
public:
    static constexpr std::size_t maxFileSize = 64 * 1024 * 1024;
    static constexpr int maxDepth = 4;

    VCardContactStore(std::string directory, std::shared_ptr<AccessPrompter> prompter,
                      std::shared_ptr<DiagnosticSink> sink = nullptr);
    void enumerateContacts(const std::function<bool(const Contact&)>& visit) override;

private:
    std::string directory_;
    std::shared_ptr<DiagnosticSink> sink_;
    std::mutex mutex_;
    std::set<std::string> reported_;  // skipped paths already reported
};

}  // namespace app::platform
