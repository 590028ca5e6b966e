// The console printers: dots by percentage, the DFU printer's lines, its
// failure flag and flushes, the report printer, and the two log sinks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/console.h"

#ifdef _WIN32
// mingw has no pread; the capture reads its file from the start.
static int pread(int fd, void* buffer, unsigned size, long offset)
{
    lseek(fd, offset, SEEK_SET);
    return read(fd, buffer, size);
}
#endif

namespace {

// Standard output of a piece of code, and whether it flushed: the stream is
// made fully buffered and holds a pending byte, so only a flush shows anything.
struct captured {
    std::string text;
    bool flushed;
};

template <typename F>
captured capture(F f)
{
    std::fflush(stdout);
    char path[] = "/tmp/ft-console-XXXXXX";
    const int fd = mkstemp(path);
    const int saved = dup(1);
    dup2(fd, 1);
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    std::fputc('#', stdout);
    f();
    const off_t before_flush = lseek(fd, 0, SEEK_END);
    std::fflush(stdout);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    dup2(saved, 1);
    close(saved);
    captured c;
    c.text.resize(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
    if (pread(fd, c.text.data(), c.text.size(), 0) < 0)
        c.text.clear();
    c.flushed = static_cast<std::size_t>(before_flush) == c.text.size();
    c.text.erase(0, 1);
    close(fd);
    unlink(path);
    return c;
}

std::string dfu(dfu_handle* h, int event, std::intptr_t arg, bool* flushed = nullptr)
{
    const captured c = capture([&] { dfu_progress_printer(h, event, arg); });
    if (flushed)
        *flushed = c.flushed;
    return c.text;
}

dfu_handle* new_handle()
{
    auto* h = static_cast<dfu_handle*>(std::calloc(1, sizeof(dfu_handle)));
    std::strcpy(h->info, "Text of 1.2\nsecond line");
    return h;
}

}  // namespace

TEST(ConsoleDfuPrinter, DotsByPercentageAndAResetPerDownload)
{
    dfu_handle* h = new_handle();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(dfu(h, DFU_EVENT_DOWNLOAD_BEGIN, 0), "Transfer image: ");
        std::string dots;
        for (std::intptr_t p : {0, 5, 15, 100})
            dots += dfu(h, DFU_EVENT_PROGRESS, p) + "|";
        EXPECT_EQ(dots, "|.|.|........|");
        EXPECT_EQ(dfu(h, DFU_EVENT_PROGRESS, 100), "");
        EXPECT_EQ(dfu(h, DFU_EVENT_PROGRESS, 50), "");
    }
    std::free(h);
}

TEST(ConsoleDfuPrinter, LinesFlushesAndTheFailureFlag)
{
    dfu_handle* h = new_handle();
    static const char kind[] = "run-time";
    struct row {
        int event;
        std::intptr_t arg;
        const char* message;  // in the handle before the call
        std::string out;
        bool flushed;
        bool sets_flag;
    } rows[] = {
        {DFU_EVENT_MANIFEST_BEGIN, 0, nullptr, "\nFlashing: ", true, false},
        {DFU_EVENT_MANIFEST_POLL, 0, nullptr, ".", true, false},
        {DFU_EVENT_DOWNLOAD_END, 1, "left alone", "\n", true, false},
        {DFU_EVENT_UPLOAD_END, 1, nullptr, "\nImage Info:\nText of 1.2\nsecond line\n", true, false},
        {DFU_EVENT_UPLOAD_END, 2, nullptr, "\nFlash status: Text of 1.2\nsecond line\n", true, false},
        {DFU_EVENT_UPLOAD_END, 0, nullptr, "\nFlash status: No status available\n\n", true, false},
        {DFU_EVENT_UPLOAD_END, 3, nullptr, "\nFlash status: No status available\n\n", true, false},
        {DFU_EVENT_DETACH_BEGIN, reinterpret_cast<std::intptr_t>(kind), nullptr, "Detaching run-time device\n", true, false},
        {DFU_EVENT_DETACH_END, 1, nullptr, "", false, false},
        {DFU_EVENT_UPLOAD_BEGIN, 0, nullptr, "", false, false},
        {0, 0, nullptr, "", false, false},
        {5, 0, nullptr, "", false, false},
        {11, 0, nullptr, "", false, false},
        // Failure events.
        {DFU_EVENT_DOWNLOAD_END, -1, "ERROR Verify", "\n", true, true},
        {DFU_EVENT_DOWNLOAD_END, 0, nullptr, "", true, true},
        {DFU_EVENT_DOWNLOAD_END, 0, "\n[ERROR: Communication error (4)]\n", "\n[ERROR: Communication error (4)]\n", true, true},
        {DFU_EVENT_DOWNLOAD_END, 0, "100% %s %d", "100% %s %d", true, true},
        {DFU_EVENT_DETACH_END, 0, nullptr, "", false, true},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.event) + " " + std::to_string(r.arg));
        dfu_failure_reported = 0;
        h->message = r.message;
        bool flushed = false;
        EXPECT_EQ(dfu(h, r.event, r.arg, &flushed), r.out);
        EXPECT_EQ(flushed, r.flushed);
        EXPECT_EQ(dfu_failure_reported, r.sets_flag ? 1 : 0);
        // Event 6 with 0 takes the message; nothing else touches it.
        const bool taken = r.event == DFU_EVENT_DOWNLOAD_END && r.arg == 0;
        EXPECT_EQ(h->message, taken ? nullptr : r.message);
    }
    dfu_failure_reported = 0;
    std::free(h);
}

TEST(ConsoleReportPrinter, DotsLinesAndAFlushForEveryEvent)
{
    // The report printer's counter is 0 from the start of the program: this
    // is the one place in the test program that moves it.
    struct row {
        int event;
        int arg;
        std::string out;
    } rows[] = {
        {REPORT_EVENT_TRANSFER_BEGIN, 0, "Transfer image: "},
        {REPORT_EVENT_TRANSFER_PROGRESS, 0, ""},
        {REPORT_EVENT_TRANSFER_PROGRESS, 30, "..."},
        {REPORT_EVENT_TRANSFER_PROGRESS, 60, "..."},
        {REPORT_EVENT_TRANSFER_PROGRESS, 90, "..."},
        {REPORT_EVENT_TRANSFER_PROGRESS, 90, ""},
        {REPORT_EVENT_TRANSFER_END, -1, "\n"},
        {REPORT_EVENT_FLASH_BEGIN, 0, "Flashing: "},
        {REPORT_EVENT_FLASH_BUSY, 0, "."},
        {REPORT_EVENT_FLASH_END, 0, "\n"},
        {6, 0, ""},
        {99, 0, ""},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.event) + " " + std::to_string(r.arg));
        const captured c = capture([&] { report_progress_printer(r.event, r.arg); });
        EXPECT_EQ(c.text, r.out);
        EXPECT_TRUE(c.flushed);
    }
}

TEST(ConsoleLog, PrefixOncePerLineDecidedByTheFormat)
{
    const captured c = capture([] {
        console_log("* Initialize     ");
        console_log("[OK]\n");
        // The format, not the text, decides: the next output has no prefix.
        console_log("%s", "ends in a line end\n");
        console_log("tail\n");
        console_log("* Transfer image ");
        console_error("[FAIL %d]\n", 5);
        console_log("after the error\n");
        console_log("%d%%\n", 40);
        console_error("alone");
    });
    EXPECT_EQ(c.text,
              "LOG:* Initialize     [OK]\n"
              "LOG:ends in a line end\n"
              "tail\n"
              "LOG:* Transfer image ERROR:[FAIL 5]\n"
              "after the error\n"
              "LOG:40%\n"
              "ERROR:alone");
    EXPECT_TRUE(c.flushed);
    // Leave the prefix as a new program has it.
    capture([] { console_log("\n"); });
}
