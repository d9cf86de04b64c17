// String values in the registry, for the bus's statistics reports. Each call opens its key, does its
// work and closes the key again. Nothing here throws or logs: a read falls back to the caller's
// default, a write or a delete answers whether it succeeded. Thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

// The text of value_name under root\sub_key (an empty sub_key names root itself), up to its first 0.
// A REG_EXPAND_SZ value is returned as stored, without expanding variables. default_value when the key
// or the value is missing, the value is of another type, is shorter than one code unit, has an odd
// size or lacks its terminating 0. A value that holds only the terminating 0 is the empty text.
std::u16string ReadRegString(platform::RegistryRoot root, std::u16string_view sub_key, std::u16string_view value_name,
                             std::u16string_view default_value);

// Stores data up to its first 0 code unit, plus a terminating 0, as the REG_SZ value value_name under
// root\sub_key, creating the key when it is missing. An empty name with empty data writes nothing and
// succeeds; data without storage (a null view) fails.
bool WriteRegString(platform::RegistryRoot root, std::u16string_view sub_key, std::u16string_view value_name,
                    std::u16string_view data);

// Deletes the named values under HKEY_CURRENT_USER\sub_key, trying every name even after a failure. A
// value or a key that does not exist counts as deleted.
bool DeleteRegValues(std::u16string_view sub_key, const std::vector<std::u16string>& value_names);
