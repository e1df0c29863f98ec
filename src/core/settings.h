// Settings: small named values grouped in sections, kept for the user and, for a few, for the
// whole machine (the files behind them are platform's). Part of core's face (core.h).
//
//     int port = ReadSettingInt("WebServer", "Port", 0);
#pragma once

#include <string>
#include <string_view>

namespace tavolex {

enum class SettingsScope { User, Machine };

// Durable: the file holds the value when the write returns (the default; what must survive a
// crash, such as reserved key ranges, needs it). Coalesced: for values written on a hot path;
// reads see the value at once, the file gets it within a second and when the process ends.
enum class SettingsPersistence { Durable, Coalesced };

// Absent or empty values give the default. Numbers read like C's atoi: leading blanks, a sign,
// digits up to the first other character (so "12ab" is 12 and "abc" is 0), clamped to int.
int ReadSettingInt(std::string_view section, std::string_view name, int defaultValue,
                   SettingsScope scope = SettingsScope::User);
bool WriteSettingInt(std::string_view section, std::string_view name, int value,
                     SettingsScope scope = SettingsScope::User,
                      SettingsPersistence persistence = SettingsPersistence::Durable);
// Any non-empty text is true unless it starts with "0".
bool ReadSettingBool(std::string_view section, std::string_view name, bool defaultValue,
                     SettingsScope scope = SettingsScope::User);
bool WriteSettingBool(std::string_view section, std::string_view name, bool value,
                      SettingsScope scope = SettingsScope::User,
                      SettingsPersistence persistence = SettingsPersistence::Durable);
// Stored unchanged; at most kTextFieldUnits characters are read back.
std::string ReadSettingText(std::string_view section, std::string_view name,
                            std::string_view defaultValue,
                            SettingsScope scope = SettingsScope::User);
bool WriteSettingText(std::string_view section, std::string_view name, std::string_view text,
                      SettingsScope scope = SettingsScope::User,
                      SettingsPersistence persistence = SettingsPersistence::Durable);
// Binary values ("hex:" in the file). Absent or malformed values read as empty.
std::string ReadSettingBinary(std::string_view section, std::string_view name,
                              SettingsScope scope = SettingsScope::User);
bool WriteSettingBinary(std::string_view section, std::string_view name, std::string_view bytes,
                        SettingsScope scope = SettingsScope::User,
                      SettingsPersistence persistence = SettingsPersistence::Durable);
bool DeleteSetting(std::string_view section, std::string_view name,
                   SettingsScope scope = SettingsScope::User);
// Writes every coalesced value that still waits, now.
void FlushSettings();

} // namespace tavolex
