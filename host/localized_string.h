// The host application's string table, through which plug-ins translate the
// texts they show. Without a table, or without an entry, a text stays English.
#pragma once

#include <map>
#include <string>

namespace ph {

// English text to translated text.
using StringTable = std::map<std::string, std::string>;

// Replaces the table (thread-safe). The host sets it once at start-up.
void setStringTable(StringTable table);

// The entry for `key`, else `key` itself. `comment` tells translators where
// the text appears; the lookup does not use it.
std::string localizedString(const std::string& key, const std::string& comment);

}  // namespace ph
