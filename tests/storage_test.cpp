// The emulated storage and the fault knobs, called as the tool calls them:
// what survives a power cut, what a full volume stores, how each call fails
// when CE_FAIL names it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "device_fixture.h"
#include "emulator.h"

namespace {

const char* const KNOBS[] = {"CE_POWER_CUT", "CE_FAIL", "CE_STORAGE_BYTES"};

struct StorageTest : ::testing::Test {
    TempDevice device;
    void SetUp() override { device.set_driver("accept"); }
    void TearDown() override
    {
        for (const char* knob : KNOBS) {
            unsetenv(knob);
        }
    }
    // Boots the emulation on the device with these knobs and no others.
    void boot(const std::map<std::string, std::string>& knobs)
    {
        for (const char* knob : KNOBS) {
            unsetenv(knob);
        }
        for (const auto& knob : knobs) {
            setenv(knob.first.c_str(), knob.second.c_str(), 1);
        }
        ASSERT_EQ(ce::boot(device.path()), "");
    }
    std::string content(const std::string& name)
    {
        return device.exists("root/" + name) ? device.read("root/" + name) : "<missing>";
    }
};

FILE* written(const char16_t* name, const char16_t* mode, const std::string& bytes)
{
    FILE* file = ce_wfopen(name, mode);
    if (file != nullptr) {
        ce_fwrite(bytes.data(), 1, bytes.size(), file);
    }
    return file;
}

bool flush_to_storage(FILE* file)
{
    return ce_fflush(file) == 0 && FlushFileBuffers(ce_fileno(file));
}

TEST_F(StorageTest, APowerCutKeepsWhatWasFlushedAndEveryCreateDeleteAndMove)
{
    device.write("root/untouched.bin", "durable since before the run");
    device.write("root/old.bin", "to be deleted");
    boot({{"CE_POWER_CUT", "12"}});
    EXPECT_EXIT(
        {
            FILE* a = written(u"\\a.bin", u"wb", "flushed ");  // calls 1, 2
            flush_to_storage(a);                               // 3, 4
            ce_fwrite("not flushed", 1, 11, a);                // 5
            ce_fclose(a);                                      // 6: closing does not flush
            FILE* b = ce_wfopen(u"\\b.txt", u"w");             // 7
            ce_fwprintf(b, u"%s\n", u"never flushed");         // 8
            ce_fclose(b);                                      // 9
            MoveFileW(u"a.bin", u"\\moved.bin");               // 10
            DeleteFileW(u"\\OLD.BIN");                         // 11
            DeleteFileW(u"\\moved.bin");                       // 12: the power fails first
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"moved.bin", "flushed "},
                                                                  {"b.txt", ""},
                                                                  {"untouched.bin", "durable since before the run"}}));
    std::vector<std::string> trace = lines_of(device.trace());
    ASSERT_EQ(trace.size(), 12u);
    EXPECT_EQ(trace[3], "FlushFileBuffers \\a.bin ok");
    EXPECT_EQ(trace[10], "DeleteFileW \\OLD.BIN ok");
    EXPECT_EQ(trace[11], "power cut");
}

TEST_F(StorageTest, OnlyBothHalvesOfTheFlushTogetherMakeContentsDurable)
{
    device.write("root/log.txt", "old line\n");
    device.write("root/settings", "old settings\n");
    boot({{"CE_POWER_CUT", "11"}});
    EXPECT_EXIT(
        {
            FILE* handed_only = written(u"\\handed", u"wb", "in the file system, not on the storage");  // 1, 2
            ce_fflush(handed_only);                                                                    // 3
            FILE* held_back = written(u"\\held", u"wb", "still in the run-time");                      // 4, 5
            FlushFileBuffers(ce_fileno(held_back));                                                    // 6
            FILE* appended = written(u"\\log.txt", u"a", "new line\n");                               // 7, 8
            FILE* emptied = written(u"\\settings", u"w", "new settings\n");                           // 9, 10
            DeleteFileW(u"\\nothing");  // 11: the power fails first
            (void)appended;
            (void)emptied;
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(content("handed"), "");
    EXPECT_EQ(content("held"), "");
    EXPECT_EQ(content("log.txt"), "old line\n");  // what it held was durable
    EXPECT_EQ(content("settings"), "");           // emptying it was
}

TEST_F(StorageTest, AFlushAfterMoreWritesMovesTheDurableEndOn)
{
    boot({{"CE_POWER_CUT", "9"}});
    EXPECT_EXIT(
        {
            FILE* file = written(u"\\image", u"wb", "first ");
            flush_to_storage(file);
            ce_fwrite("second ", 1, 7, file);
            flush_to_storage(file);
            ce_fwrite("third", 1, 5, file);  // 8
            ce_fclose(file);                 // 9: the power fails first
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(content("image"), "first second ");
}

TEST_F(StorageTest, AFullStreamBufferReachesTheFileInOrderYetMakesNothingDurable)
{
    // Odd pieces across several buffers' worth: every byte lands once, in
    // order; what a filled buffer handed over unflushed is lost at a cut.
    std::string bytes;
    boot({});
    FILE* whole = ce_wfopen(u"\\whole.bin", u"wb");
    for (size_t i = 0; bytes.size() < 3 * ce::STREAM_BYTES; ++i) {
        std::string piece(1 + (i * 7919) % 5000, static_cast<char>('a' + i % 26));
        ASSERT_EQ(ce_fwrite(piece.data(), 1, piece.size(), whole), piece.size());
        bytes += piece;
    }
    EXPECT_EQ(ce_fclose(whole), 0);
    EXPECT_EQ(content("whole.bin"), bytes);

    const size_t durable = ce::STREAM_BYTES + ce::STREAM_BYTES / 2 + 3;
    boot({{"CE_POWER_CUT", "6"}});
    EXPECT_EXIT(
        {
            FILE* file = written(u"\\cut.bin", u"wb", bytes.substr(0, durable));  // 1, 2
            flush_to_storage(file);                                                 // 3, 4
            ce_fwrite(bytes.data() + durable, 1, bytes.size() - durable, file);    // 5: fills the buffer
            ce_fclose(file);                                                       // 6: the power fails first
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(content("cut.bin"), bytes.substr(0, durable));
}

TEST_F(StorageTest, TheImagesBytesHeldInPlaceMixWithOthersInOrderAndAreLostUnflushed)
{
    // The image's bytes wait where they lie while they follow on from one
    // another; anything else takes them into the buffer, in order.
    const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(183), u"FIRMWARE");
    ASSERT_NE(found, nullptr);
    const char* image = static_cast<const char*>(LoadResource(nullptr, found));
    const size_t size = SizeofResource(nullptr, found);
    ASSERT_GT(size, 200u);
    const std::string whole(image, size);
    struct Piece {
        const char* bytes;
        size_t size;
    };
    const Piece pieces[] = {
        {image, 100}, {image + 100, size - 100},  // one run of the image
        {image + 7, 3},                           // not what follows: the run goes into the buffer
        {nullptr, 0},                             // fflush
        {image, 50},                              // a new run
        {"other", 5},                             // takes it into the buffer
        {image, size},                            // into the buffer behind it
    };
    std::string expected;
    boot({});
    FILE* file = ce_wfopen(u"\\mixed.bin", u"wb");
    for (const Piece& piece : pieces) {
        if (piece.bytes == nullptr) {
            ASSERT_EQ(ce_fflush(file), 0);
            continue;
        }
        ASSERT_EQ(ce_fwrite(piece.bytes, 1, piece.size, file), piece.size);
        expected.append(piece.bytes, piece.size);
    }
    EXPECT_EQ(ce_fclose(file), 0);
    EXPECT_EQ(content("mixed.bin"), expected);

    boot({{"CE_POWER_CUT", "7"}});
    EXPECT_EXIT(
        {
            FILE* cut = written(u"\\cut.bin", u"wb", whole);  // 1, 2
            flush_to_storage(cut);                          // 3, 4
            ce_fwrite(image, 1, size, cut);                 // 5: held in place again
            ce_fflush(cut);                                 // 6: in the file, not on the storage
            ce_fclose(cut);                                 // 7: the power fails first
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(content("cut.bin"), whole);
}

TEST_F(StorageTest, AFullVolumeStoresWhatFitsCountingWhatItHeldAtBoot)
{
    device.make_folder("root/Windows");
    device.write("root/Windows/reboot.exe", std::string(100, 'r'));
    device.write("root/NK.bin", std::string(50, 'k'));
    boot({{"CE_STORAGE_BYTES", "160"}});
    FILE* file = ce_wfopen(u"\\lan1", u"w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ce_fwprintf(file, u"%s\n", u"192.168"), 8);
    EXPECT_EQ(ce_fwprintf(file, u"%s\n", u"255.255"), -1);  // 2 of 8 fit
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(ce_fwrite("abcd", 2, 2, file), 0u);
    ce_fclose(file);
    EXPECT_TRUE(DeleteFileW(u"NK.bin"));  // gives its 50 bytes back
    const std::string block(52, 'b');
    FILE* again = ce_wfopen(u"\\lan1", u"a");
    EXPECT_EQ(ce_fwrite(block.data(), 4, 13, again), 12u);  // whole elements only
    ce_fclose(again);
    EXPECT_EQ(content("lan1"), "192.168\n25" + std::string(48, 'b'));
    EXPECT_EQ(device.trace(),
              "_wfopen \\lan1 w ok\n"
              "fwprintf \\lan1 \"192.168\\n\" ok\n"
              "fwprintf \\lan1 \"255.255\\n\" short 2\n"
              "fwrite \\lan1 2 2 short 0\n"
              "fclose \\lan1 ok\n"
              "DeleteFileW NK.bin ok\n"
              "_wfopen \\lan1 a ok\n"
              "fwrite \\lan1 4 13 short 12\n"
              "fclose \\lan1 ok\n");
}

TEST_F(StorageTest, EachInjectedFailureLooksLikeThatFunctionsOwnFailure)
{
    const DWORD injected = ERROR_GEN_FAILURE;
    auto open_driver = [] {
        return CreateFileW(u"UCS1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    DWORD returned = 0;

    boot({{"CE_FAIL", "CreateFileW"}});
    EXPECT_EQ(open_driver(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), injected);
    HANDLE driver = open_driver();  // only the first call fails
    EXPECT_NE(driver, INVALID_HANDLE_VALUE);
    CloseHandle(driver);

    boot({{"CE_FAIL", "DeviceIoControl"}});
    driver = open_driver();
    EXPECT_FALSE(DeviceIoControl(driver, 0x284, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), injected);
    EXPECT_TRUE(DeviceIoControl(driver, 0x284, nullptr, 0, nullptr, 0, &returned, nullptr));

    // A boot closes what the last one opened.
    boot({{"CE_FAIL", "CloseHandle"}});
    driver = open_driver();
    EXPECT_FALSE(CloseHandle(driver));
    EXPECT_EQ(GetLastError(), injected);
    EXPECT_TRUE(CloseHandle(driver));  // the failed close left it open

    device.write("root/a", "a");
    boot({{"CE_FAIL", "DeleteFileW"}});
    EXPECT_FALSE(DeleteFileW(u"a"));
    EXPECT_EQ(GetLastError(), injected);
    EXPECT_EQ(content("a"), "a");

    boot({{"CE_FAIL", "MoveFileW"}});
    EXPECT_FALSE(MoveFileW(u"a", u"b"));
    EXPECT_EQ(GetLastError(), injected);
    EXPECT_EQ(content("a"), "a");
    EXPECT_EQ(content("b"), "<missing>");

    boot({{"CE_FAIL", "_wfopen"}});
    EXPECT_EQ(ce_wfopen(u"\\c", u"wb"), nullptr);
    EXPECT_EQ(content("c"), "<missing>");

    boot({{"CE_FAIL", "fwrite"}});
    FILE* file = ce_wfopen(u"\\c", u"wb");
    EXPECT_EQ(ce_fwrite("abc", 1, 3, file), 0u);
    EXPECT_EQ(ce_fwrite("abc", 1, 3, file), 3u);
    ce_fclose(file);
    EXPECT_EQ(content("c"), "abc");

    boot({{"CE_FAIL", "fwprintf"}});
    file = ce_wfopen(u"\\c", u"w");
    EXPECT_LT(ce_fwprintf(file, u"%d\n", 1), 0);
    EXPECT_EQ(ce_fwprintf(file, u"%d\n", 2), 2);
    ce_fclose(file);
    EXPECT_EQ(content("c"), "2\n");

    boot({{"CE_FAIL", "fflush"}});
    file = written(u"\\c", u"wb", "x");
    EXPECT_EQ(ce_fflush(file), EOF);
    EXPECT_EQ(ce_fflush(file), 0);

    boot({{"CE_FAIL", "FlushFileBuffers"}});
    file = written(u"\\c", u"wb", "x");
    ce_fflush(file);
    EXPECT_FALSE(FlushFileBuffers(ce_fileno(file)));
    EXPECT_EQ(GetLastError(), injected);
    EXPECT_TRUE(FlushFileBuffers(ce_fileno(file)));

    // A close fails as when its last hand-over fails: the stream is gone and
    // what the run-time still held never reaches the file.
    boot({{"CE_FAIL", "fclose"}});
    file = written(u"\\c", u"wb", "x");
    ce_fflush(file);
    ce_fwrite("lost", 1, 4, file);
    EXPECT_EQ(ce_fclose(file), EOF);
    EXPECT_EQ(content("c"), "x");
    EXPECT_TRUE(DeleteFileW(u"c"));

    EXPECT_EQ(lines_of(device.trace()),
              (std::vector<std::string>{
                  "CreateFileW UCS1: 0xc0000000 0 3 failed ERROR_GEN_FAILURE injected",
                  "CreateFileW UCS1: 0xc0000000 0 3 ok",
                  "CloseHandle UCS1: ok",
                  "CreateFileW UCS1: 0xc0000000 0 3 ok",
                  "DeviceIoControl UCS1: 0x284 failed ERROR_GEN_FAILURE injected",
                  "DeviceIoControl UCS1: 0x284 ok",
                  "CreateFileW UCS1: 0xc0000000 0 3 ok",
                  "CloseHandle UCS1: failed ERROR_GEN_FAILURE injected",
                  "CloseHandle UCS1: ok",
                  "DeleteFileW a failed ERROR_GEN_FAILURE injected",
                  "MoveFileW a b failed ERROR_GEN_FAILURE injected",
                  "_wfopen \\c wb failed ERROR_GEN_FAILURE injected",
                  "_wfopen \\c wb ok",
                  "fwrite \\c 1 3 short 0 injected",
                  "fwrite \\c 1 3 ok",
                  "fclose \\c ok",
                  "_wfopen \\c w ok",
                  "fwprintf \\c \"1\\n\" failed injected",
                  "fwprintf \\c \"2\\n\" ok",
                  "fclose \\c ok",
                  "_wfopen \\c wb ok",
                  "fwrite \\c 1 1 ok",
                  "fflush \\c failed injected",
                  "fflush \\c ok",
                  "_wfopen \\c wb ok",
                  "fwrite \\c 1 1 ok",
                  "fflush \\c ok",
                  "FlushFileBuffers \\c failed ERROR_GEN_FAILURE injected",
                  "FlushFileBuffers \\c ok",
                  "_wfopen \\c wb ok",
                  "fwrite \\c 1 1 ok",
                  "fflush \\c ok",
                  "fwrite \\c 1 4 ok",
                  "fclose \\c failed injected",
                  "DeleteFileW c ok",
              }));
}

TEST_F(StorageTest, TheGateCountsEachFunctionsCallsForTheCallsOthersWire)
{
    boot({{"CE_FAIL", "RegQueryValueExW@3"}});
    std::vector<bool> answers;
    for (int i = 0; i < 4; ++i) {
        answers.push_back(ce::call_fails("RegQueryValueExW"));
        answers.push_back(ce::call_fails("RegOpenKeyExW"));
    }
    EXPECT_EQ(answers, (std::vector<bool>{false, false, false, false, true, false, false, false}));
    EXPECT_EQ(ce::injected(), "failed ERROR_GEN_FAILURE injected");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    for (const char* name : {"RegOpenKeyExW", "RegQueryValueExW", "RegCloseKey", "CreateProcessW",
                             "GetExitCodeProcess", "Sleep", "FlushFileBuffers", "_wfopen"}) {
        EXPECT_TRUE(ce::is_traced_call(name)) << name;
    }
    EXPECT_FALSE(ce::is_traced_call("fopen"));
    EXPECT_FALSE(ce::is_traced_call("regopenkeyexw"));
    EXPECT_DEATH(ce::call_fails("ReadFile"), "ReadFile is not in the list of traced calls");
}

TEST_F(StorageTest, FileHandlesBelongToTheirStreams)
{
    boot({});
    FILE* file = ce_wfopen(u"\\f", u"wb");
    HANDLE handle = ce_fileno(file);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ce_fclose(file);
    EXPECT_FALSE(FlushFileBuffers(handle));
    EXPECT_FALSE(FlushFileBuffers(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(lines_of(device.trace()).back(), "FlushFileBuffers NULL failed ERROR_INVALID_HANDLE");
}

TEST_F(StorageTest, TheKnobsTakeTheirExtremeValues)
{
    setenv("CE_FAIL", "Sleep@18446744073709551615", 1);
    setenv("CE_POWER_CUT", "18446744073709551615", 1);
    setenv("CE_STORAGE_BYTES", "0", 1);
    EXPECT_EQ(ce::boot(device.path()), "");
    EXPECT_EQ(ce::device().fail_call, "Sleep");
    EXPECT_EQ(ce::device().fail_nth, UINT64_MAX);
    EXPECT_EQ(ce::device().power_cut_at, UINT64_MAX);
    EXPECT_TRUE(ce::device().storage_limited);
    EXPECT_EQ(ce::storage_room(), 0u);
}

}  // namespace
