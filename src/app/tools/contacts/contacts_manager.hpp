// The one owner of the contact store the contacts tools and the permission
// panel use: asks for access, lists people with their numbers, finds the
// numbers of a named person.
#pragma once

#include "app/platform/contact_store.hpp"
#include "app/platform/diagnostic_sink.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace app::tools {

// Full name to that person's numbers as stored. Names are unique; setting a
// name again replaces its numbers where they stand, so iteration keeps the
// order in which names first appeared.
class ContactDirectory {
public:
    using Entry = std::pair<std::string, std::vector<std::string>>;

    void set(std::string name, std::vector<std::string> numbers);
    const std::vector<Entry>& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> index_;
};

class ContactsManager {
public:
    // Throws std::invalid_argument for a null store. A failed name search
    // (which counts as finding nobody) is reported to `diagnostics`; a null
    // sink is standard error.
    explicit ContactsManager(std::shared_ptr<platform::ContactStore> store,
                             std::shared_ptr<platform::DiagnosticSink> diagnostics = nullptr);
    virtual ~ContactsManager() = default;

    // The process-wide manager, made at the first call over the given store
    // (the program's one contact store). Later calls return it and ignore the
    // arguments. Throws std::invalid_argument while none is made and the store
    // is null.
    static std::shared_ptr<ContactsManager> shared(std::shared_ptr<platform::ContactStore> store,
                                                   std::shared_ptr<platform::DiagnosticSink> diagnostics = nullptr);

    // Returns when the contacts may be read. Throws ToolError
    // "ContactsManager" 1 "Access denied or restricted" (restricted, denied),
    // "Access denied" (the prompt refused), "Unknown authorization status"
    // (any other status); a failure to ask passes on unchanged.
    virtual void requestAccess();

    // Named people with numbers, in store order, until `limit` of them were
    // taken (a replaced name counts again). The store's failure passes on.
    virtual ContactDirectory fetchAllContacts(std::int64_t limit);

    // The numbers of everyone the store's name search finds; when it finds
    // none, the numbers of one person whose lower-cased full name equals, or
    // else contains or is contained in, the lower-cased trimmed name. A blank
    // name finds nobody.
    virtual std::vector<std::string> findPhoneNumbers(const std::string& name);

    const std::shared_ptr<platform::ContactStore>& store() const { return store_; }

private:
    std::shared_ptr<platform::ContactStore> store_;
    std::shared_ptr<platform::DiagnosticSink> diagnostics_;
};

// The contact's given and family name, empty parts left out, joined by one
// blank; a card whose written name (FN) is its family name then its given
// name, as Chinese, Japanese and Korean names are written, keeps that name.
std::string contactFullName(const platform::Contact& contact);

}  // namespace app::tools
