#include "app/tools/contacts/contacts_tools.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"
#include "json/json.hpp"
#include "json/utf8.hpp"

#include <stdexcept>

namespace app::tools {

namespace {

constexpr const char* kDomain = "ContactsTool";
constexpr std::int64_t kDefaultLimit = 1000;

// The platform writer's pretty layout with its default slash escaping.
constexpr json::WriteOptions kReplyFormat{.sortedKeys = false, .escapeSlashes = true, .pretty = true};

std::string directoryJson(const ContactDirectory& directory) {
    json::Object object;
    object.reserve(directory.size());
    for (const auto& [name, numbers] : directory.entries()) {
        json::Array list;
        list.reserve(numbers.size());
        for (const auto& number : numbers) list.emplace_back(json::repairUtf8(number));
        // Repairing may make two names equal; the later one wins, as in the directory.
        object.set(json::repairUtf8(name), std::move(list));
    }
    std::string text = json::write(std::move(object), kReplyFormat);
    return json::isValidUtf8(text) ? text : "{}";
}

std::string joined(const std::vector<std::string>& numbers) {
    std::string out;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i) out += ", ";
        out += numbers[i];
    }
    return out;
}

const ToolRow<std::string (*)(ContactsManager&, const Arguments&)> kContactsTools[] = {
    {"get_all_contacts", "Get all contacts and their phone numbers.", "获取所有联系人及其电话号码。",
     objectSchema(AnyMap{{"limit", schemaProperty("integer", "Maximum number of contacts to return (default: 1000)")}},
                  AnyList{}),
     [](ContactsManager& manager, const Arguments& arguments) {
         std::int64_t limit = intArgument(arguments, "limit").value_or(kDefaultLimit);
         return directoryJson(manager.fetchAllContacts(limit));
     }},
    {"find_phone_number", "Find a contact's phone number by name.", "通过姓名查找联系人的电话号码。",
     objectSchema(AnyMap{{"name", schemaProperty("string", "The name of the contact to find")}}, AnyList{"name"}),
     [](ContactsManager& manager, const Arguments& arguments) {
         auto person = textArgument(arguments, "name");
         if (!person) throw ToolError(kDomain, 400, "Missing name argument");
         auto numbers = manager.findPhoneNumbers(*person);
         if (numbers.empty()) return "No phone numbers found for '" + *person + "'";
         return joined(numbers);
     }},
};

}  // namespace

std::vector<MCPTool> contactsToolDefinitions() { return toolDefinitions(kContactsTools); }

std::string handleContactsTool(ContactsManager& manager, const std::string& name, const Arguments& arguments) {
    manager.requestAccess();
    return toolNamed(kContactsTools, name, kDomain, "contacts").handler(manager, arguments);
}

ContactsToolFamily::ContactsToolFamily(std::shared_ptr<ContactsManager> manager) : manager_(std::move(manager)) {
    if (!manager_) throw std::invalid_argument("ContactsToolFamily needs a contacts manager");
}

ToolResult ContactsToolFamily::run(const std::string& name, const Arguments& arguments, std::stop_token) {
    return handleContactsTool(*manager_, name, arguments);
}

}  // namespace app::tools
