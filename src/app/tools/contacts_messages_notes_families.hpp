// Plugging the contacts, messages and notes families into the registry.
#pragma once

#include "app/platform/platform.hpp"
#include "app/tools/tool_family.hpp"

#include <memory>
#include <vector>

namespace app::tools {

// Appends the contacts family (over the shared ContactsManager, made over
// the platform's contact store; none without one), and the messages and
// notes families (none without an environment and a script host), and
// teaches a template script host the Messages and Notes scripts with their
// stand-ins on the program's store.
void addContactsMessagesAndNotesFamilies(std::vector<std::unique_ptr<ToolFamily>>& families,
                                         const platform::Platform& platform);

}  // namespace app::tools
