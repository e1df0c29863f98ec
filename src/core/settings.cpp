// The settings store: typed values over the platform's INI files.
#include "core.h"

#include "platform.h"

#include <climits>

namespace tavolex {

namespace {

constexpr size_t kSettingTextLimit = kTextFieldUnits;

platform::SettingsRoot RootOf(SettingsScope scope)
{
    switch (scope) {
    case SettingsScope::User: return platform::SettingsRoot::User;
    case SettingsScope::Machine: return platform::SettingsRoot::Machine;
    }
    return platform::SettingsRoot::User;
}

std::optional<std::string> ReadRaw(std::string_view section, std::string_view name,
                                   SettingsScope scope)
{
    return platform::ReadIniValue(RootOf(scope), section, name);
}

bool WriteRaw(std::string_view section, std::string_view name, std::string_view value,
              SettingsScope scope, SettingsPersistence persistence)
{
    platform::IniPersistence how = platform::IniPersistence::Durable;
    switch (persistence) {
    case SettingsPersistence::Durable: how = platform::IniPersistence::Durable; break;
    case SettingsPersistence::Coalesced: how = platform::IniPersistence::Coalesced; break;
    }
    platform::IniWrite result = platform::WriteIniValue(RootOf(scope), section, name, value, how);
    switch (result) {
    case platform::IniWrite::Ok: return true;
    case platform::IniWrite::BadName:
        LogError("Settings: refused the name [%s] %s", section, name);
        return false;
    case platform::IniWrite::Unwritable:
        LogError("Settings: could not write %s", platform::SettingsFilePath(RootOf(scope)));
        return false;
    }
    return false;
}

// C's atoi, clamped: blanks, a sign, then digits up to the first other character.
int ParseIntLikeAtoi(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            break;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}


} // namespace

int ReadSettingInt(std::string_view section, std::string_view name, int defaultValue,
                   SettingsScope scope)
{
    std::optional<std::string> raw = ReadRaw(section, name, scope);
    if (!raw || raw->empty())
        return defaultValue;
    return ParseIntLikeAtoi(*raw);
}

bool WriteSettingInt(std::string_view section, std::string_view name, int value,
                     SettingsScope scope,
                      SettingsPersistence persistence)
{
    return WriteRaw(section, name, std::to_string(value), scope, persistence);
}

bool ReadSettingBool(std::string_view section, std::string_view name, bool defaultValue,
                     SettingsScope scope)
{
    std::optional<std::string> raw = ReadRaw(section, name, scope);
    if (!raw || raw->empty())
        return defaultValue;
    return (*raw)[0] != '0';
}

bool WriteSettingBool(std::string_view section, std::string_view name, bool value,
                      SettingsScope scope,
                      SettingsPersistence persistence)
{
    return WriteRaw(section, name, value ? "1" : "0", scope, persistence);
}

std::string ReadSettingText(std::string_view section, std::string_view name,
                            std::string_view defaultValue, SettingsScope scope)
{
    std::optional<std::string> raw = ReadRaw(section, name, scope);
    if (!raw)
        return std::string(CutUtf8ToUnits(defaultValue, kSettingTextLimit));
    return std::string(CutUtf8ToUnits(*raw, kSettingTextLimit));
}

bool WriteSettingText(std::string_view section, std::string_view name, std::string_view text,
                      SettingsScope scope,
                      SettingsPersistence persistence)
{
    return WriteRaw(section, name, text, scope, persistence);
}

std::string ReadSettingBinary(std::string_view section, std::string_view name, SettingsScope scope)
{
    std::optional<std::string> raw = ReadRaw(section, name, scope);
    if (!raw || !raw->starts_with("hex:") || raw->size() % 2 != 0)
        return {};
    std::string bytes;
    for (size_t i = 4; i + 1 < raw->size(); i += 2) {
        int high = HexValue((*raw)[i]), low = HexValue((*raw)[i + 1]);
        if (high < 0 || low < 0)
            return {};
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

bool WriteSettingBinary(std::string_view section, std::string_view name, std::string_view bytes,
                        SettingsScope scope,
                      SettingsPersistence persistence)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "hex:";
    for (char byte : bytes) {
        auto b = static_cast<unsigned char>(byte);
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return WriteRaw(section, name, text, scope, persistence);
}

bool DeleteSetting(std::string_view section, std::string_view name, SettingsScope scope)
{
    return platform::DeleteIniValue(RootOf(scope), section, name) == platform::IniWrite::Ok;
}

void FlushSettings() { platform::FlushIniFiles(); }

} // namespace tavolex
