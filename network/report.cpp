#include "report.h"

#include <stdio.h>

#include "lan_settings.h"

void show_lan_settings(int n)
{
    static const LPCWSTR LABELS[LAN_TEXT_VALUE_COUNT] = {
        TEXT("IP Address: \t"), TEXT("SubNet Mask: \t"), TEXT("Gateway: \t"), TEXT("DNS: \t\t"), TEXT("WINS: \t\t")};

    if (n >= 1 && n <= 12) {
        wprintf(TEXT("LAN%d Interface Configuration:\n"), n);
    }
    LanKey key = open_lan_key(n);
    WCHAR text[LAN_TEXT_CHARS];
    for (int i = 0; i < LAN_TEXT_VALUE_COUNT; ++i) {
        bool read = read_lan_text(key, LAN_TEXT_VALUE_NAMES[i], text);
        wprintf(LABELS[i]);
        if (read) {
            wprintf(TEXT("%s\n"), text);
        } else {
            wprintf(TEXT("\n"));
        }
    }
    close_lan_key(key);
}

void run_report_phase()
{
    printf("lan:%d\n", LAN_COUNT);
    for (int n = 1; n <= LAN_COUNT; ++n) {
        show_lan_settings(n);
    }
}
