// Text equality as the protocol model defines it: canonically equivalent
// Unicode texts are equal (and hash alike).
#pragma once

#include "mcp/hash.hpp"

#include <string>
#include <string_view>

namespace mcp {

bool textEquals(std::string_view a, std::string_view b);
// Feeds the NFC form of the text, so that equal texts hash alike.
void hashText(Hasher& h, std::string_view text);

}  // namespace mcp
