// The contacts family: "get_all_contacts" lists people with their phone
// numbers as JSON, "find_phone_number" gives the numbers of a named person.
// Nothing is ever written to the contacts.
#pragma once

#include "app/tools/contacts/contacts_manager.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <memory>
#include <string>
#include <vector>

namespace app::tools {

std::vector<MCPTool> contactsToolDefinitions();

// Access is asked first, for every name, so a refusal is reported even for a
// name this family does not have. Throws ToolError "ContactsTool" 400
// "Missing name argument", 404 "Unknown contacts tool: <name>"; the
// manager's errors pass on unchanged.
std::string handleContactsTool(ContactsManager& manager, const std::string& name, const Arguments& arguments);

class ContactsToolFamily : public ToolFamily {
public:
    // Throws std::invalid_argument for a null manager.
    explicit ContactsToolFamily(std::shared_ptr<ContactsManager> manager);
    ToolSwitch toolSwitch() const override { return ToolSwitch::Contacts; }
    std::vector<MCPTool> definitions() const override { return contactsToolDefinitions(); }
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

private:
    std::shared_ptr<ContactsManager> manager_;
};

}  // namespace app::tools
