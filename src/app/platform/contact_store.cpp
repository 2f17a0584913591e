#include "app/platform/contact_store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <stdexcept>

#include "app/platform/platform_error.hpp"
#include "app/platform/small_file.hpp"
#include "app/platform/unicode_text.hpp"
#include "app/platform/vcard.hpp"

namespace app::platform {

bool contactNameMatches(const Contact& contact, std::string_view query) {
    auto words = splitAtWhiteSpace(query);
    if (words.empty()) return false;
    std::string given = foldCase(contact.givenName);
    std::string family = foldCase(contact.familyName);
    bool byWords = true;
    for (const auto& word : words) {
        std::string folded = foldCase(word);
        if (!given.starts_with(folded) && !family.starts_with(folded)) byWords = false;
    }
    if (byWords) return true;
    const std::string written = foldCase(contact.formattedName);
    return !written.empty() && written.starts_with(foldCase(trimmingWhiteSpace(query)));
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

// VCardContactStore

namespace {

bool hasVCardExtension(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return extension == ".vcf";
}

// The file's bytes, or why the file is skipped: it cannot be opened or read
// (a link to nothing, a file of another user), it is not a regular file (a
// FIFO or device is never opened blocking) or it is larger than `limit`.
struct FileRead {
    std::string data;
    std::optional<std::string> skipped;
};

FileRead readFile(const std::filesystem::path& path, std::size_t limit) {
    std::string why;
    std::optional<std::string> data = readSmallFile(path, limit, &why);
    if (!data) return {{}, std::move(why)};
    return {std::move(*data), std::nullopt};
}

}  // namespace

VCardContactStore::VCardContactStore(std::string directory, std::shared_ptr<AccessPrompter> prompter,
                                     std::shared_ptr<DiagnosticSink> sink)
    : ContactStore(std::move(prompter)), directory_(std::move(directory)), sink_(std::move(sink)) {}

void VCardContactStore::enumerateContacts(const std::function<bool(const Contact&)>& visit) {
    namespace fs = std::filesystem;
    const std::string operation = "list contacts in " + directory_;
    std::error_code error;
    if (!fs::exists(directory_, error)) {
        if (error) throw PlatformError(operation, error.message());
        return;  // no folder yet: no contacts
    }
    // Files below the folder by their path inside it; folders walked from a
    // list (no recursion), at most maxDepth deep. Links to folders are
    // followed (address books kept where a sync tool puts them), each real
    // folder walked once, so a loop of links ends and nothing is read twice.
    std::vector<std::string> files;
    std::vector<std::pair<std::string, int>> folders{{"", 0}};
    std::set<std::pair<dev_t, ino_t>> walked;
    while (!folders.empty()) {
        auto [relative, depth] = folders.back();
        folders.pop_back();
        const fs::path folder = relative.empty() ? fs::path(directory_) : fs::path(directory_) / relative;
        struct stat self {};
        if (::stat(folder.c_str(), &self) == 0 && !walked.emplace(self.st_dev, self.st_ino).second) continue;
        fs::directory_iterator it(folder, error);
        if (error) throw PlatformError(operation, error.message());
        for (; it != fs::directory_iterator(); it.increment(error)) {
            if (error) throw PlatformError(operation, error.message());
            const std::string name = it->path().filename().string();
            if (name.starts_with('.')) continue;
            const std::string inside = relative.empty() ? name : relative + "/" + name;
            std::error_code kindError;
            if (it->is_directory(kindError)) {
                if (depth + 1 < maxDepth) folders.emplace_back(inside, depth + 1);
            } else if (hasVCardExtension(it->path())) {
                files.push_back(inside);
            }
        }
        if (error) throw PlatformError(operation, error.message());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        const fs::path path = fs::path(directory_) / file;
        // One file that cannot be read whole never hides the others' contacts.
        FileRead read;
        bool going = true;
        try {
            read = readFile(path, maxFileSize);
            if (!read.skipped)
                going = forEachVCard(read.data, file, [&](Contact&& contact) { return visit(contact); });
        } catch (const std::bad_alloc&) {
            read.skipped = "out of memory while reading it";
        }
        if (read.skipped) {
            std::lock_guard lock(mutex_);
            if (sink_ && reported_.insert(path.string()).second)
                sink_->write("Contacts: skipping " + path.string() + ": " + *read.skipped);
            continue;
        }
        if (!going) return;
    }
}

}  // namespace app::platform
