#include "app/platform/contact_store.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/platform/platform_error.hpp"
#include "app/platform/unicode_text.hpp"
#include "app/platform/vcard.hpp"

namespace app::platform {

bool contactNameMatches(const Contact& contact, std::string_view query) {
    auto words = splitAtWhiteSpace(query);
    if (words.empty()) return false;
    std::string given = foldCase(contact.givenName);
    std::string family = foldCase(contact.familyName);
    for (const auto& word : words) {
        std::string folded = foldCase(word);
        if (!given.starts_with(folded) && !family.starts_with(folded)) return false;
    }
    return true;
}

// ContactStore

ContactStore::ContactStore(std::shared_ptr<AccessPrompter> prompter) : prompter_(std::move(prompter)) {
    if (!prompter_) throw std::invalid_argument("a contact store needs an access prompter");
}

AuthorizationStatus ContactStore::authorizationStatus() {
    return prompter_->authorizationStatus(AccessSubject::contacts());
}

bool ContactStore::requestAccess() { return prompter_->requestAccess(AccessSubject::contacts()); }

std::vector<Contact> ContactStore::contactsMatchingName(std::string_view name) {
    std::vector<Contact> found;
    if (splitAtWhiteSpace(name).empty()) return found;
    enumerateContacts([&](const Contact& contact) {
        if (contactNameMatches(contact, name)) found.push_back(contact);
        return true;
    });
    return found;
}

// InMemoryContactStore

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

// VCardContactStore

namespace {

bool hasVCardExtension(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return extension == ".vcf";
}

std::string readFile(const std::filesystem::path& path, std::size_t limit) {
    const std::string operation = "read contacts file " + path.string();
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    if (error) throw PlatformError(operation, error.message());
    if (size > limit)
        throw PlatformError(operation, "larger than " + std::to_string(limit / (1024 * 1024)) + " MiB");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw errnoError(operation, errno);
    std::string data;
    data.resize(static_cast<std::size_t>(size));
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    if (in.bad()) throw errnoError(operation, errno);
    data.resize(static_cast<std::size_t>(in.gcount()));  // the file may have shrunk meanwhile
    return data;
}

}  // namespace

VCardContactStore::VCardContactStore(std::string directory, std::shared_ptr<AccessPrompter> prompter)
    : ContactStore(std::move(prompter)), directory_(std::move(directory)) {}

void VCardContactStore::enumerateContacts(const std::function<bool(const Contact&)>& visit) {
    namespace fs = std::filesystem;
    const std::string operation = "list contacts in " + directory_;
    std::error_code error;
    if (!fs::exists(directory_, error)) {
        if (error) throw PlatformError(operation, error.message());
        return;  // no folder yet: no contacts
    }
    std::vector<fs::path> files;
    fs::directory_iterator it(directory_, error);
    if (error) throw PlatformError(operation, error.message());
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) throw PlatformError(operation, error.message());
        const fs::path& path = it->path();
        std::error_code kindError;
        if (hasVCardExtension(path) && fs::is_regular_file(path, kindError)) files.push_back(path);
    }
    if (error) throw PlatformError(operation, error.message());
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    for (const auto& file : files) {
        std::string data = readFile(file, maxFileSize);
        for (const auto& contact : parseVCards(data, file.filename().string()))
            if (!visit(contact)) return;
    }
}

}  // namespace app::platform
