#include "settings_files.h"

#include <stdio.h>

#include "../procedure/procedure.h"
#include "../procedure/storage.h"
#include "lan_settings.h"

// "\lan<n>", opened in text mode "w": created, or emptied if present. A
// file that cannot be opened is skipped, and the other LANs still get theirs.
static FILE* open_settings_file(int n)
{
    WCHAR name[16];
    _snwprintf(name, 16, TEXT("\\lan%d"), n);
    name[15] = 0;
    return _wfopen(name, TEXT("w"));
}

// On the storage before the close, so that a power cut after the run
// cannot leave a settings file empty.
static void close_settings_file(FILE* file)
{
    flush_to_storage(file);
    fclose(file);
}

void write_kept_settings(int n)
{
    LanKey key = open_lan_key(n);
    FILE* file = open_settings_file(n);
    if (file != NULL) {
        DWORD dhcp = 0;
        bool dhcp_read = read_lan_dhcp(key, &dhcp);
        // A line that cannot be written ends the file: the lines after it
        // would stand in its place.
        bool written = fwprintf(file, dhcp_read && dhcp == 1 ? TEXT("Y\n") : TEXT("N\n")) >= 0;
        WCHAR text[LAN_TEXT_CHARS];
        for (int i = 0; written && i < LAN_TEXT_VALUE_COUNT; ++i) {
            if (read_lan_text(key, LAN_TEXT_VALUE_NAMES[i], text)) {
                written = fwprintf(file, TEXT("%s\n"), text) >= 0;
            } else {
                written = fwprintf(file, TEXT("\n")) >= 0;
            }
        }
        close_settings_file(file);
    }
    close_lan_key(key);
}

void write_default_settings(int n)
{
    FILE* file = open_settings_file(n);
    if (file == NULL) {
        return;
    }
    WCHAR address[32];
    _snwprintf(address, 32, TEXT("192.168.%d.127"), n + 2);
    address[31] = 0;
    // Each line only after the one before it was written, as above.
    if (fwprintf(file, TEXT("%d\n"), 0) >= 0 && fwprintf(file, TEXT("%s\n"), address) >= 0 &&
        fwprintf(file, TEXT("%s\n"), TEXT("255.255.255.0")) >= 0 && fwprintf(file, TEXT("\n")) >= 0 &&
        fwprintf(file, TEXT("\n")) >= 0) {
        fwprintf(file, TEXT("\n"));
    }
    close_settings_file(file);
}

void run_carry_over_phase(bool unattended)
{
    printf("Do you want to keep the current network settings on the next boot (Y/N)?");
    // At the end of input the answer is the one an unattended run takes.
    bool keep = unattended || read_yes_no(true);
    for (int n = 1; n <= LAN_COUNT; ++n) {
        if (keep) {
            write_kept_settings(n);
        } else {
            write_default_settings(n);
        }
    }
}
