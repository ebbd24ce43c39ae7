// The language change: checks, install, boot locale, removal, update.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrio::engine {

// Installs the discovered pack named `name` and removes the other language
// packs.  0, or -6, -7, -8, -9, -10, -11, -12 or -14.
std::int32_t ChangeLanguage(std::optional<std::string_view> name);

}  // namespace kestrio::engine
