// Whole runs of flash-tool-sim under valgrind: a DFU, a report-protocol and
// a TQP upgrade must show no invalid access and leave no memory behind.
// Skipped where valgrind is missing and in sanitizer builds (the two do not mix).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "support.h"

#if defined(__SANITIZE_ADDRESS__)
#define FT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FT_UNDER_ASAN 1
#endif
#endif

TEST(Valgrind, WholeRunsHaveNoInvalidAccessAndNoLeak)
{
#if defined(FT_UNDER_ASAN) || defined(_WIN32)
    GTEST_SKIP() << "not with the address sanitizer";
#else
    if (std::system("valgrind --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "valgrind is not installed";
    const struct {
        const char* name;
        const char* args;
    } runs[] = {
        {"DFU", "-n"},
        {"report", "--sim-controller=report -n"},
        {"TQP", "--sim-controller=tqp -f -n"},
    };
    for (const auto& r : runs) {
        const std::string log = temp_path(std::string("valgrind-") + r.name + ".log");
        const std::string command =
            std::string("valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all "
                        "--errors-for-leak-kinds=all --log-file=") +
            log + " " FLASH_TOOL_SIM " " + r.args + " >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        std::string report;
        if (std::FILE* f = std::fopen(log.c_str(), "r")) {
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
                report.append(buf, n);
            std::fclose(f);
        }
        ASSERT_TRUE(WIFEXITED(status)) << r.name;
        EXPECT_EQ(WEXITSTATUS(status), 0) << r.name << " under valgrind:\n" << report;
        EXPECT_EQ(report, "") << r.name;
        std::remove(log.c_str());
    }
#endif
}
