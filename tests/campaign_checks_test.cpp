// ce-campaign's own parts, called directly: each promise's check on a real
// run spoilt one way at a time must name that promise and no other; the
// comparison of two builds tells a real difference from the host's timing;
// the answers it expects are the ones the tool takes; its SHA-256 is
// sha256sum's.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include "device_fixture.h"
#include "promises.h"

namespace {

using campaign::Node;
using campaign::Step;

// A whole interactive run of the sample build that installs, keeps the
// settings and restarts, on a device made as the campaign makes one.
struct Baseline {
    TempDevice folder;
    std::string image = read_file(SAMPLE_IMAGE);
    campaign::Draw draw;
    campaign::Prepared prepared;
    Step step;

    Baseline()
    {
        campaign::Snapshot device;
        EXPECT_EQ(campaign::load_device(SAMPLE_DEVICE, device), "");
        std::string cwd = folder.path() + "/run";
        mkdir(cwd.c_str(), 0700);
        EXPECT_EQ(campaign::prepare_device(device, draw, image, cwd + "/device", prepared), "");
        step.name = "the run";
        step.input.keys = "y\nY\nY\n";
        EXPECT_EQ(campaign::take_snapshot(cwd, step.before), "");
        step.execution = campaign::execute({TOOL_SAMPLE}, cwd + "/device", cwd,
                                           {{"CE_STORAGE_BYTES", std::to_string(prepared.storage_bytes)}},
                                           step.input.keys, 60);
        EXPECT_EQ(campaign::take_snapshot(cwd, step.after), "");
        step.trace = step.after["device/trace.log"].content;
    }

    std::vector<std::string> broken(const Step& spoilt, const campaign::Draw& drawn) const
    {
        campaign::Expectations expected{&image, &prepared, &drawn, 60};
        std::vector<std::string> names;
        for (const campaign::Broken& found : campaign::check_step(expected, spoilt)) {
            names.push_back(found.promise);
        }
        return names;
    }
};

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    return at == std::string::npos ? "<" + from + " not found>" : text.replace(at, from.size(), to);
}

// The run's trace up to and including its first line that begins with head.
std::string trace_through(const std::string& trace, const std::string& head)
{
    size_t at = trace.find("\n" + head);
    return at == std::string::npos ? "<" + head + " not found>" : trace.substr(0, trace.find('\n', at + 1) + 1);
}

void cut_after(Step& s, const std::string& head)
{
    s.trace = trace_through(s.trace, head) + "power cut\n";
    s.faults.cut = static_cast<uint32_t>(lines_of(s.trace).size());
    s.execution.status = -1;
    s.execution.signal = SIGKILL;
}

TEST(CampaignChecks, EachSpoiltRunBreaksItsOwnPromiseOnly)
{
    Baseline run;
    ASSERT_NE(run.step.execution.out.find("reboot.exe 1: "), std::string::npos) << run.step.execution.out;
    const std::string lan1 = "device/root/lan1";
    struct Row {
        const char* what;
        std::function<void(Step&, campaign::Draw&)> spoil;
        std::vector<std::string> broken;
    };
    const Row rows[] = {
        {"the run as it was", [](Step&, campaign::Draw&) {}, {}},
        {"a trace that ends inside a line", [](Step& s, campaign::Draw&) { s.trace.pop_back(); }, {campaign::WHOLE_TRACE}},
        {"a trace line that is no call", [](Step& s, campaign::Draw&) { s.trace += "hello there\n"; },
         {campaign::WHOLE_TRACE}},
        {"a cut with lines after it", [](Step& s, campaign::Draw&) { s.trace = "power cut\n" + s.trace; },
         {campaign::WHOLE_TRACE}},
        {"a cut at another call than asked",
         [](Step& s, campaign::Draw&) {
             cut_after(s, "Sleep ");
             s.faults.cut += 1;
         },
         {campaign::WHOLE_TRACE}},
        {"exit status 3", [](Step& s, campaign::Draw&) { s.execution.status = 3; }, {campaign::EXIT_STATUS}},
        {"killed with no cut in the trace",
         [](Step& s, campaign::Draw&) {
             s.execution.status = -1;
             s.execution.signal = SIGKILL;
         },
         {campaign::EXIT_STATUS}},
        {"past the time limit", [](Step& s, campaign::Draw&) { s.execution.timed_out = true; }, {campaign::ENDS_IN_TIME}},
        {"a file beside the device", [](Step& s, campaign::Draw&) { s.after["stray"] = Node(); }, {campaign::CONFINED}},
        {"registry.reg changed", [](Step& s, campaign::Draw&) { s.after["device/registry.reg"].content += ";"; },
         {campaign::CONFINED}},
        {"a file of root/ that is not the tool's changed, no program started",
         [](Step& s, campaign::Draw&) {
             s.trace = replaced(s.trace, "0x10 ok\n", "0x10 failed ERROR_FILE_NOT_FOUND\n");
             s.after["device/root/Windows/log.txt"] = Node();
         },
         {campaign::CONFINED}},
        // root/ is where the restart program may write.
        {"a file of root/ that is not the tool's made while the restart program ran",
         [](Step& s, campaign::Draw&) { s.after["device/root/Windows/log.txt"] = Node(); }, {}},
        {"NK.bin half the new image",
         [](Step& s, campaign::Draw&) {
             std::string& boot = s.after["device/root/NK.bin"].content;
             boot.resize(boot.size() / 2);
         },
         {campaign::WHOLE_IMAGE, campaign::COMPLETE_ONLY_WHEN_INSTALLED}},
        {"NK.bin the old image after \"complete\"",
         [&run](Step& s, campaign::Draw&) { s.after["device/root/NK.bin"].content = run.prepared.boot_image; },
         {campaign::COMPLETE_ONLY_WHEN_INSTALLED}},
        {"two settings lines swapped",
         [&](Step& s, campaign::Draw&) {
             s.after[lan1].content = replaced(s.after[lan1].content, "192.168.3.127\n255.255.255.0", "255.255.255.0\n192.168.3.127");
         },
         {campaign::SETTINGS_FILES}},
        {"a settings file cut short with no cut",
         [&](Step& s, campaign::Draw&) { s.after[lan1].content.resize(3); }, {campaign::SETTINGS_FILES}},
        {"a settings file cut short by a cut after it was opened",
         [&](Step& s, campaign::Draw&) {
             s.after[lan1].content.resize(3);
             cut_after(s, "_wfopen \\lan1 w ");
             s.execution.out = replaced(s.execution.out, "reboot.exe 1: the device would restart now.\n", "");
         },
         {}},
        {"a settings file with a byte of its own after a cut",
         [&](Step& s, campaign::Draw&) {
             s.after[lan1].content.resize(3);
             s.after[lan1].content += "!";
             cut_after(s, "_wfopen \\lan1 w ");
         },
         {campaign::SETTINGS_FILES}},
        {"the clean run leaves the old image",
         [&run](Step& s, campaign::Draw&) {
             s.clean = true;
             s.execution.out = replaced(s.execution.out, "Firmware upgrade complete!", "Firmware upgrade failed!");
             s.after["device/root/NK.bin"].content = run.prepared.boot_image;
         },
         {campaign::CLEAN_RUN_INSTALLS}},
        {"the clean run leaves the old image, the driver refusing",
         [&run](Step& s, campaign::Draw& d) {
             s.clean = true;
             d.driver_accepts = false;
             s.execution.out = replaced(s.execution.out, "Firmware upgrade complete!", "Firmware upgrade failed!");
             s.after["device/root/NK.bin"].content = run.prepared.boot_image;
         },
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Step spoilt = run.step;
        campaign::Draw drawn = run.draw;
        row.spoil(spoilt, drawn);
        EXPECT_EQ(run.broken(spoilt, drawn), row.broken);
    }
}

TEST(CampaignChecks, TheBuildsDifferOnlyInWhatTheyDoNotInTheHostsTiming)
{
    Baseline run;
    const std::string started = "CreateProcessW \\windows\\reboot.exe \"1\" 0x10 ok\n";
    const std::string looks = "GetExitCodeProcess \\windows\\reboot.exe ok 259\nSleep 100\n";
    struct Row {
        const char* what;
        std::function<void(Step&)> spoil;
        std::string difference;  // the start of what the comparison names; "" for none
    };
    const Row rows[] = {
        {"the same run", [](Step&) {}, ""},
        {"a byte of the console",
         [](Step& s) { s.execution.out[10] = static_cast<char>(s.execution.out[10] ^ 1); },
         "in the run, the console differs from byte 10"},
        {"a settings file", [](Step& s) { s.after["device/root/lan2"].content += "x"; },
         "in the run, device/root/lan2 differs"},
        {"a line of the trace",
         [](Step& s) { s.trace = replaced(s.trace, "RegCloseKey HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1", "RegCloseKey X"); },
         "in the run, the trace differs at its line "},
        {"more looks at the restart program",
         [&](Step& s) { s.trace = replaced(s.trace, started, started + looks + looks); }, ""},
        {"a cut among the looks, the restart program's words lost",
         [](Step& s) {
             cut_after(s, "GetExitCodeProcess ");
             s.execution.out = replaced(s.execution.out, "reboot.exe 1: the device would restart now.\n", "");
         },
         ""},
        {"a cut among the looks and a file that differs",
         [](Step& s) {
             cut_after(s, "GetExitCodeProcess ");
             s.after["device/root/lan6"].content = "";
         },
         "in the run, device/root/lan6 differs"},
        {"an exit status", [](Step& s) { s.execution.status = 1; }, "in the run, the host build exited with 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Step device = run.step;
        row.spoil(device);
        std::vector<campaign::Broken> broken = campaign::compare_builds(run.step, device);
        if (row.difference.empty()) {
            EXPECT_TRUE(broken.empty()) << broken.front().detail;
        } else {
            ASSERT_EQ(broken.size(), 1u);
            EXPECT_EQ(broken[0].promise, campaign::PARITY);
            EXPECT_EQ(broken[0].detail.rfind(row.difference, 0), 0u) << broken[0].detail;
        }
    }
}

// What the tool takes from the keys, run by run, against what the campaign
// expects it to take.
TEST(CampaignChecks, TheAnswersExpectedAreTheOnesTheToolTakes)
{
    const std::string image = read_file(SAMPLE_IMAGE);
    const char* const keys[] = {"",          "y",          "n",          "Y",           "\r\ny",      "yx\nN\nn",
                                "y\x1ay",    "yyy",        "y\xC3\xA9NY", "ynY",         "y\xFF y",    "Y\r\n\rN\r\ny",
                                "yqqq",      "\xC3\xA9yy", "y\nY",        "Yn\x1a" "Y"};
    for (const char* typed_keys : keys) {
        SCOPED_TRACE(std::string("keys \"") + typed_keys + "\"");
        TempDevice device;
        std::filesystem::copy(SAMPLE_DEVICE, device.path(),
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
        RunResult run = device.run(TOOL_SAMPLE, {}, typed(typed_keys));
        campaign::Input input;
        input.keys = typed_keys;
        campaign::Answers expected = campaign::answers_of(input);
        EXPECT_EQ(device.read("root/NK.bin") == image, expected.goes_on);
        if (expected.goes_on) {
            // LAN 1 of the sample is fixed: "N" kept, "0" the defaults.
            EXPECT_EQ(device.read("root/lan1").substr(0, 2), expected.keeps ? "N\n" : "0\n");
        }
        EXPECT_EQ(run.out.find("reboot.exe 1: ") != std::string::npos, expected.restarts) << run.out;
    }
}

TEST(CampaignChecks, ItsSha256IsSha256sums)
{
    for (size_t size : {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
        std::string bytes;
        for (size_t i = 0; i < size; ++i) {
            bytes += static_cast<char>((i * 37 + 11) & 0xFF);
        }
        RunOptions options;
        options.input = bytes;
        RunResult sum = run_program("/usr/bin/sha256sum", {}, options);
        ASSERT_EQ(sum.status, 0) << sum.err;
        EXPECT_EQ(campaign::sha256_hex(bytes), sum.out.substr(0, 64)) << size << " bytes";
    }
}

}  // namespace
