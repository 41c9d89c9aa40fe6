// The tool's console output, piece by piece, as the end-to-end tests expect it.
#ifndef TESTS_TRANSCRIPT_H
#define TESTS_TRANSCRIPT_H

#include <cstddef>
#include <string>

const std::string WELCOME =
    "Welcome to the utility of the firmware upgrade program provided by Tarvane Technology.This program "
    "overwrites the firmware image that was stored in the flash. The settings you have ever made to the "
    "computer may be wiped out. Please BACKUP files before you continue this process!!. During the upgrade "
    "process, please do not plug off the power supply. Otherwise, incomplete process would damage the flash "
    "and force the computer into a disable state. After the upgrade is completed, power the computer again.\n"
    "The time spent of this procedure depends on where the upgrade program resides. It takes about 5 minute "
    "to complete.\n\nContinue the process? (y/n)";
const std::string BANNER = "The new firmware is QL-305-TX V1.0\n\n";
const std::string WAIT = "The firmware upgrade procedure may take 1 minute, please wait..\n";
const std::string COMPLETE = "Firmware upgrade complete!\n";
const std::string FAILED = "Firmware upgrade failed!\n";
const std::string OLD_IMAGE = "B000FF\nthe old boot image";
const std::string REBOOT_QUESTION = "Reboot now? (Y/N)";

inline std::string progress(size_t size)
{
    std::string line = "\n";
    for (size_t done = 0; done < size; done += 4096) {
        line += "\r" + std::to_string(done) + " / " + std::to_string(size);
    }
    return line + "\r" + std::to_string(size) + " / " + std::to_string(size) + "\n";
}

// Up to "Firmware upgrade complete!\n".
inline std::string installed_transcript(size_t size, const std::string& banner = BANNER)
{
    return banner + WELCOME + WAIT + progress(size) + COMPLETE;
}

// The report's block of LAN n: the value after each label, "" where none was read.
inline std::string lan_block(int n, const std::string (&values)[5])
{
    return "LAN" + std::to_string(n) + " Interface Configuration:\n" + "IP Address: \t" + values[0] + "\n" +
           "SubNet Mask: \t" + values[1] + "\n" + "Gateway: \t" + values[2] + "\n" + "DNS: \t\t" + values[3] +
           "\n" + "WINS: \t\t" + values[4] + "\n";
}

// The report of a device whose registry holds no LAN settings at all.
inline std::string empty_report()
{
    std::string report = "lan:6\n";
    for (int n = 1; n <= 6; ++n) {
        report += lan_block(n, {"", "", "", "", ""});
    }
    return report;
}

const std::string CARRY_OVER_QUESTION = "Do you want to keep the current network settings on the next boot (Y/N)?";

// What follows a completed installation on a device with an empty registry,
// up to the last question.
inline std::string rest_of_run()
{
    return empty_report() + CARRY_OVER_QUESTION + REBOOT_QUESTION;
}

// Everything a run that installs the image prints on a device with an empty
// registry; the last question ends it.
inline std::string completed_transcript(size_t size, const std::string& banner = BANNER)
{
    return installed_transcript(size, banner) + rest_of_run();
}

#endif
