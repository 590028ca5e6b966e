// The console mode at start-up: quick-edit must really end up off, which on
// Windows takes the extended-flags bit in the same SetConsoleMode call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/flash_tool.h"
#include "support.h"

namespace {

std::uint32_t mode_after_run(std::uint32_t start_mode)
{
    fresh_bus();  // no controller: the run ends at the probe
    sim_bus_set_console_mode(start_mode);
    std::vector<std::string> words{"flash-tool", "-n"};
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    const int status = flash_tool_main(static_cast<int>(words.size()), argv.data());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("No Ovandrel device detected\n"), std::string::npos) << out;
    return sim_bus_console_mode();
}

}  // namespace

TEST(ConsoleMode, QuickEditIsClearedWithTheExtendedFlagsAndOtherBitsKept)
{
    struct {
        std::uint32_t start, end;
    } cases[] = {
        {0x1f7, 0x1b7},  // the usual console: only 0x40 changes
        {0x067, 0x0a7},  // extended flags not reported: added so the clear takes effect
        {0x0a7, 0x0a7},  // quick-edit already off
        {0x000, 0x080},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mode_after_run(c.start), c.end) << std::hex << c.start;
}
