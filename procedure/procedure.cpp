#include "procedure.h"

#include <stdio.h>

#include "../image/image_writer.h"
#include "../image/payload.h"
#include "../network/report.h"
#include "../network/settings_files.h"
#include "../restart/restart.h"

static const WCHAR WELCOME_TEXT[] =
    TEXT("Welcome to the utility of the firmware upgrade program provided by Tarvane Technology.")
    TEXT("This program overwrites the firmware image that was stored in the flash. ")
    TEXT("The settings you have ever made to the computer may be wiped out. ")
    TEXT("Please BACKUP files before you continue this process!!. ")
    TEXT("During the upgrade process, please do not plug off the power supply. ")
    TEXT("Otherwise, incomplete process would damage the flash and force the computer into a disable state. ")
    TEXT("After the upgrade is completed, power the computer again.\n")
    TEXT("The time spent of this procedure depends on where the upgrade program resides. ")
    TEXT("It takes about 5 minute to complete.\n\nContinue the process? (y/n)");

bool is_unattended(LPCWSTR command_line)
{
    return command_line != NULL && command_line[0] == '-' && command_line[1] == 's' && command_line[2] == 0;
}

int run_upgrade_procedure(HINSTANCE instance, LPCWSTR command_line)
{
    bool unattended = is_unattended(command_line);

    Payload payload;
    if (!find_payload(instance, &payload)) {
        return 0;
    }
    print_banner();
    wprintf(WELCOME_TEXT);
    if (!unattended && !read_first_answer()) {
        return 0;
    }
    if (!write_image(payload)) {
        return 0;
    }
    run_report_phase();
    run_carry_over_phase(unattended);
    run_restart_phase(unattended);
    return 0;
}
