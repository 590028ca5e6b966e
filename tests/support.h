// Shared test helpers: running flash-tool-sim as a process, and a bus with
// a fresh controller for in-process tests.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/sim_bus.h"
#include "sim/sim_controller.h"

struct sim_run {
    std::string out;                          // standard output
    std::string err;                          // standard error
    std::string merged;                       // both, in the order written (second run)
    int status = -1;                          // exit status
    std::map<std::string, std::string> dump;  // the controller after the run
};

// Runs build/flash-tool-sim with the arguments and standard input, twice:
// once with separate streams, once with both on one pipe for their order.
sim_run run_sim(const std::vector<std::string>& args, const std::string& input = "");

// Output with the banner's build date replaced by "DATE".
std::string without_build_date(const std::string& text);

// The texts every run begins with, and the two closing banners.
extern const char* const BANNER;
extern const char* const FAILURE_BANNER;
extern const char* const SUCCESS_BANNER;
extern const char* const KEY_WAIT;

// The two mode headings the upgrade and information runs print.
inline const std::string BUILTIN_HEADING =
    "Built-in Upgrade Mode\n"
    "=====================\n"
    "\n"
    "- Using built-in firmware image, 857808 bytes.\n"
    "\n";
inline const std::string INFO_HEADING = "Get Info Mode\n=============\n\n";

std::vector<unsigned char> read_file(const std::string& path);
std::string temp_path(const std::string& name);
void write_file(const std::string& path, const std::vector<unsigned char>& bytes);
std::string crc_hex(const std::vector<unsigned char>& bytes);
// FNV-1a of the bytes, as the dump's firmware_hash gives it: unlike the DFU
// CRC, it tells any two valid DFU files apart.
std::string hash_hex(const std::vector<unsigned char>& bytes);

// An empty bus (virtual clock at 0) for in-process tests.
void fresh_bus();
