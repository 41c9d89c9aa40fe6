// One execution of the tool on a device: its console, its end, within a
// time limit, and every process it left behind ended.
#ifndef CE_CAMPAIGN_EXECUTE_H
#define CE_CAMPAIGN_EXECUTE_H

#include <map>
#include <string>
#include <vector>

namespace campaign {

struct Execution {
    std::string out, err;
    int status = -1;   // the exit status, or -1 when a signal ended it
    int signal = 0;
    bool timed_out = false;
    bool not_started = false;  // fork or exec failed; err says why
};

// Runs command (its first word an absolute path) with CE_DEVICE=device and
// the knobs, in the folder cwd, the keys typed and then the end of input.
// After seconds it ends the run and everything it started.
Execution execute(const std::vector<std::string>& command, const std::string& device, const std::string& cwd,
                  const std::map<std::string, std::string>& knobs, const std::string& keys, double seconds);

// This process adopts what its runs leave behind, so that it can end them.
void adopt_orphans();
// Ends and reaps every process left behind by the runs.
void end_leftovers();

// Set by SIGTERM or SIGINT: a run ends what it started and stops.
bool stop_requested();
void take_stop_signals();

}  // namespace campaign

#endif
