#include "app/tools/contacts/contacts_manager.hpp"

#include "app/platform/unicode_text.hpp"
#include "app/tools/registry/process_wide.hpp"
#include "app/tools/registry/tool_error.hpp"

#include <stdexcept>

namespace app::tools {

namespace {

constexpr const char* kDomain = "ContactsManager";
constexpr int kCode = 1;

// The scan's bound on named people with numbers.
constexpr std::int64_t kScanLimit = 5000;

}  // namespace

// ContactDirectory

void ContactDirectory::set(std::string name, std::vector<std::string> numbers) {
    auto it = index_.find(name);
    if (it != index_.end()) {
        entries_[it->second].second = std::move(numbers);
        return;
    }
    index_.emplace(name, entries_.size());
    entries_.emplace_back(std::move(name), std::move(numbers));
}

// Text helpers

std::string contactFullName(const platform::Contact& contact) {
    // A card written family name first (张伟 for N:张;伟, as Chinese, Japanese
    // and Korean names are) is listed as written, not turned round.
    if (!contact.givenName.empty() && !contact.familyName.empty()) {
        const auto squeezed = [](std::string_view text) {
            std::string out;
            for (const auto& word : platform::splitAtWhiteSpace(text)) out += word;
            return out;
        };
        const std::string_view written = platform::trimmingWhiteSpace(contact.formattedName);
        if (squeezed(written) == squeezed(contact.familyName) + squeezed(contact.givenName)) return std::string(written);
    }
    std::string name = contact.givenName;
    if (!contact.familyName.empty()) {
        if (!name.empty()) name += ' ';
        name += contact.familyName;
    }
    return name;
}

// ContactsManager

ContactsManager::ContactsManager(std::shared_ptr<platform::ContactStore> store,
                                 std::shared_ptr<platform::DiagnosticSink> diagnostics)
    : store_(std::move(store)), diagnostics_(std::move(diagnostics)) {
    if (!store_) throw std::invalid_argument("ContactsManager needs a contact store");
    if (!diagnostics_) diagnostics_ = std::make_shared<platform::StderrDiagnosticSink>();
}

std::shared_ptr<ContactsManager> ContactsManager::shared(std::shared_ptr<platform::ContactStore> store,
                                                        std::shared_ptr<platform::DiagnosticSink> diagnostics) {
    return processWide<ContactsManager>(
        [&] { return std::make_shared<ContactsManager>(std::move(store), std::move(diagnostics)); });
}

void ContactsManager::requestAccess() {
    using platform::AuthorizationStatus;
    switch (store_->authorizationStatus()) {
        case AuthorizationStatus::Restricted:
        case AuthorizationStatus::Denied:
            throw ToolError(kDomain, kCode, "Access denied or restricted");
        case AuthorizationStatus::NotDetermined:
            if (!store_->requestAccess()) throw ToolError(kDomain, kCode, "Access denied");
            return;
        case AuthorizationStatus::FullAccess:
            return;
        default:
            throw ToolError(kDomain, kCode, "Unknown authorization status");
    }
}

ContactDirectory ContactsManager::fetchAllContacts(std::int64_t limit) {
    ContactDirectory directory;
    std::int64_t taken = 0;
    store_->enumerateContacts([&](const platform::Contact& contact) {
        // The limit is tested before a contact is read.
        if (taken >= limit) return false;
        std::string name = contactFullName(contact);
        if (name.empty() || contact.phoneNumbers.empty()) return true;
        directory.set(std::move(name), contact.phoneNumbers);
        ++taken;
        return true;
    });
    return directory;
}

std::vector<std::string> ContactsManager::findPhoneNumbers(const std::string& name) {
    std::vector<std::string> numbers;
    try {
        for (const auto& contact : store_->contactsMatchingName(name))
            numbers.insert(numbers.end(), contact.phoneNumbers.begin(), contact.phoneNumbers.end());
    } catch (const std::exception& error) {
        // A failed search finds nobody; the scan below still runs.
        numbers.clear();
        diagnostics_->write(std::string("find_phone_number: name search failed: ") + error.what());
    }
    if (!numbers.empty()) return numbers;

    std::string key(platform::trimmingWhiteSpace(platform::lowercased(name)));
    // Every name contains the empty text: a blank query would match a stranger.
    if (key.empty()) return {};

    ContactDirectory directory = fetchAllContacts(kScanLimit);
    std::vector<std::string> lowered;
    lowered.reserve(directory.size());
    for (const auto& entry : directory.entries()) lowered.push_back(platform::lowercased(entry.first));

    for (std::size_t i = 0; i < lowered.size(); ++i)
        if (lowered[i] == key) return directory.entries()[i].second;
    for (std::size_t i = 0; i < lowered.size(); ++i)
        if (lowered[i].find(key) != std::string::npos || key.find(lowered[i]) != std::string::npos)
            return directory.entries()[i].second;
    return {};
}

}  // namespace app::tools
