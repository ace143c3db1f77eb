// zqpack reads archives packed for any system. Names packed for a Windows
// code page are turned into UTF-8 before the catalogue is checked, so that
// listings show real names and `zqpack extract` creates them; the bytes as
// stored are kept for the listing.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "archive/catalogue.h"

namespace zq::pack {

struct HostNames {
    // Unmarked archives are checked with the fixed two-byte ranges of code
    // page 932 (listing and testing); extraction checks them with this
    // system's own rule, the one its path code follows.
    bool fixed_lead_bytes_when_unmarked = false;
    uint16_t code_page = 0;                  // what the names were converted from; 0: none
    std::map<uint32_t, std::string> stored;  // converted name reference -> the bytes as stored
};

// The catalogue's host_names hook; its context is a HostNames.
int take_host_names(Catalogue* catalogue, LeadBytes* lead);

// `text` as valid UTF-8: bytes that are not UTF-8 become U+FFFD. Sets
// `*changed` when any did.
std::string valid_utf8(const std::string& text, bool* changed);

}  // namespace zq::pack
