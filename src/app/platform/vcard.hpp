// Reading vCard text (versions 2.1, 3.0 and 4.0) into contacts.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/contact_store.hpp"

namespace app::platform {

// Every card of the text, in order; identifiers are `source` + "#" + the
// card's position from 1. Folded lines are unfolded; N gives the family and
// given name (a card whose N is missing or empty takes FN as its given name
// unless FN is its organisation's name), FN the name as written; each TEL gives a number ("tel:" of a URI value
// dropped). Value escapes are decoded, quoted-printable values and CHARSET
// parameters honoured, and text that is still not UTF-8 is repaired with
// U+FFFD. Lines that are not properties are skipped; a card missing its END
// at the end of the text still counts.
std::vector<Contact> parseVCards(std::string_view text, std::string_view source);

// The same cards handed to `visit` one at a time, as each is read: what is
// held beside the text is one line and one card. False when `visit` stopped it.
bool forEachVCard(std::string_view text, std::string_view source, const std::function<bool(Contact&&)>& visit);

}  // namespace app::platform
