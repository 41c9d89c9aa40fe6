#include "lan_settings.h"

#include <stdio.h>

// The device ignores the access mask; desktop Windows refuses every query on
// a key opened without query access.
#ifdef FWUPGRADE_DESKTOP_WINDOWS
static const REGSAM LAN_KEY_ACCESS = KEY_QUERY_VALUE;
#else
static const REGSAM LAN_KEY_ACCESS = 0;
#endif

const LPCWSTR LAN_TEXT_VALUE_NAMES[LAN_TEXT_VALUE_COUNT] = {
    TEXT("IpAddress"), TEXT("Subnetmask"), TEXT("DefaultGateway"), TEXT("DNS"), TEXT("WINS")};

bool lan_key_path(int n, WCHAR* path)
{
    int written;
    if (n >= 1 && n <= 4) {
        written = _snwprintf(path, LAN_TEXT_CHARS, TEXT("Comm\\PCI\\RTCENIC%d\\Parms\\TcpIp"), n);
    } else if (n >= 5 && n <= 12) {
        written = _snwprintf(path, LAN_TEXT_CHARS, TEXT("Comm\\PCI\\RTL8139%d\\Parms\\TcpIp"), n - 4);
    } else {
        return false;
    }
    path[LAN_TEXT_CHARS - 1] = 0;
    return written > 0;
}

LanKey open_lan_key(int n)
{
    LanKey key;
    key.handle = NULL;
    key.open = false;
    WCHAR path[LAN_TEXT_CHARS];
    if (lan_key_path(n, path)) {
        key.open = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, LAN_KEY_ACCESS, &key.handle) == ERROR_SUCCESS;
    }
    return key;
}

bool read_lan_text(LanKey key, LPCWSTR value_name, WCHAR* text)
{
    for (DWORD i = 0; i < VALUE_BYTES / sizeof(WCHAR); ++i) {
        text[i] = 0;
    }
    if (!key.open) {
        return false;
    }
    DWORD type = 0;
    DWORD size = VALUE_BYTES;
    if (RegQueryValueExW(key.handle, value_name, NULL, &type, (LPBYTE)text, &size) != ERROR_SUCCESS) {
        text[0] = 0;
        return false;
    }
    // The text ends at its first zero or at the end of the bytes read, so
    // an unterminated value never runs into what follows it. An odd last
    // byte is the low half of a character whose high half stayed zero.
    DWORD count = (size + 1) / sizeof(WCHAR);
    if (count > VALUE_BYTES / sizeof(WCHAR)) {
        count = VALUE_BYTES / sizeof(WCHAR);
    }
    text[count] = 0;
    return true;
}

bool read_lan_dhcp(LanKey key, DWORD* number)
{
    *number = 0;
    if (!key.open) {
        return false;
    }
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    return RegQueryValueExW(key.handle, TEXT("EnableDHCP"), NULL, &type, (LPBYTE)number, &size) == ERROR_SUCCESS;
}

void close_lan_key(LanKey key)
{
    if (key.open) {
        RegCloseKey(key.handle);
    }
}
