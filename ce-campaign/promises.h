// The tool's promises, checked after every run of a campaign, and the
// comparison of the host build with the device build on the same draw.
#ifndef CE_CAMPAIGN_PROMISES_H
#define CE_CAMPAIGN_PROMISES_H

#include <string>
#include <vector>

#include "campaign.h"
#include "device_folders.h"
#include "execute.h"

namespace campaign {

// The promises by their short names, as the summary counts them.
extern const char* const EXIT_STATUS;
extern const char* const WHOLE_IMAGE;
extern const char* const COMPLETE_ONLY_WHEN_INSTALLED;
extern const char* const SETTINGS_FILES;
extern const char* const CONFINED;
extern const char* const WHOLE_TRACE;
extern const char* const CLEAN_RUN_INSTALLS;
extern const char* const ENDS_IN_TIME;
extern const char* const PARITY;
// The promise in words.
std::string promise_words(const std::string& name);

struct Broken {
    std::string promise;
    std::string detail;
};

// One run of the tool on a device, as the checks see it: the run's folder
// before and after (the device folder is device/ in it), and the lines the
// run added to trace.log.
struct Step {
    std::string name;      // "the first run", ...
    Input input;
    Faults faults;
    bool clean = false;    // the run after all others: it must install
    Snapshot before, after;
    Execution execution;
    std::string trace;
};

struct Expectations {
    const std::string* image;
    const Prepared* device;
    const Draw* draw;
    double time_limit;
};

std::vector<Broken> check_step(const Expectations& expected, const Step& step);
// The first difference between the two builds' runs of one step, if any.
std::vector<Broken> compare_builds(const Step& host, const Step& device);

}  // namespace campaign

#endif
