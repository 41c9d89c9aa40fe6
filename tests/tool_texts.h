// Texts the tool prints, as the tests expect them byte for byte.
#ifndef TESTS_TOOL_TEXTS_H
#define TESTS_TOOL_TEXTS_H

#include <string>

const std::string WELCOME =
    "Welcome to the utility of the firmware upgrade program provided by Tarvane Technology.This program "
    "overwrites the firmware image that was stored in the flash. The settings you have ever made to the "
    "computer may be wiped out. Please BACKUP files before you continue this process!!. During the upgrade "
    "process, please do not plug off the power supply. Otherwise, incomplete process would damage the flash "
    "and force the computer into a disable state. After the upgrade is completed, power the computer again.\n"
    "The time spent of this procedure depends on where the upgrade program resides. It takes about 5 minute "
    "to complete.\n\nContinue the process? (y/n)";

#endif
