#ifndef FWUPGRADE_LAN_SETTINGS_H
#define FWUPGRADE_LAN_SETTINGS_H

#include <windows.h>

// The LAN interfaces the tool reports and carries over: LAN 1 to LAN 6.
const int LAN_COUNT = 6;

// The byte budget of one text read: 130 wide characters, terminator included.
const DWORD VALUE_BYTES = 260;
// Room for a text read and for a key path, in wide characters.
const int LAN_TEXT_CHARS = 260;

// The text values of a LAN, in the order every reader reads them:
// IpAddress, Subnetmask, DefaultGateway, DNS, WINS.
const int LAN_TEXT_VALUE_COUNT = 5;
extern const LPCWSTR LAN_TEXT_VALUE_NAMES[LAN_TEXT_VALUE_COUNT];

// The TCP/IP registry key of one LAN interface.
struct LanKey {
    HKEY handle;
    bool open;
};

// The key path of LAN n (1 to 12) into path, which holds LAN_TEXT_CHARS
// characters; false for any other number.
bool lan_key_path(int n, WCHAR* path);
LanKey open_lan_key(int n);
// The value's text into text (LAN_TEXT_CHARS characters), or false.
bool read_lan_text(LanKey key, LPCWSTR value_name, WCHAR* text);
bool read_lan_dhcp(LanKey key, DWORD* number);
void close_lan_key(LanKey key);

#endif
