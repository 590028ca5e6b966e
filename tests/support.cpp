#include "support.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <process.h>

#include <thread>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

const char* const BANNER =
    "*************************************************\n"
    "* Ovandrel Flash-Tool [Build Info: DATE] *\n"
    "*************************************************\n"
    "\n";
const char* const FAILURE_BANNER =
    "*********************************************************\n"
    "* Operations failed! Please retry or call tech support. *\n"
    "*********************************************************\n"
    "\n";
const char* const SUCCESS_BANNER =
    "*************************\n"
    "* Operations succeeded! *\n"
    "*************************\n"
    "\n";
const char* const KEY_WAIT = "Press any key to continue...\n";

namespace {

#ifdef _WIN32

// One argument as the C runtime's command-line parser splits it again.
std::string quote_argument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string q = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        q.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        q += c;
    }
    q.append(2 * backslashes, '\\');
    q += '"';
    return q;
}

void drain(HANDLE pipe, std::string* sink)
{
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0)
        sink->append(buf, n);
}

// The child writes its line ends in text mode; the expectations are written
// with "\n". Only the pair "\r\n" is folded, so a doubled line end still
// shows.
std::string text_mode_lines(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

// Runs the program with its standard streams on pipes (stdout and stderr on
// one pipe when merge is set) and returns its exit code.
int spawn(const std::vector<std::string>& args, const std::string& input, bool merge,
          std::string* out, std::string* err)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
    HANDLE err_read = nullptr, err_write = nullptr;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0) ||
        !CreatePipe(&out_read, &out_write, &inherit, 0) ||
        !CreatePipe(&err_read, &err_write, &inherit, 0))
        return -1;
    // The parent's ends stay out of the child, or the pipes never see EOF.
    for (HANDLE h : {in_write, out_read, err_read})
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);

    std::string command_line;
    for (const std::string& a : args) {
        if (!command_line.empty())
            command_line += ' ';
        command_line += quote_argument(a);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = out_write;
    si.hStdError = merge ? out_write : err_write;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessA(args[0].c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &si, &pi);
    for (HANDLE h : {in_read, out_write, err_write})
        CloseHandle(h);
    if (!started) {
        for (HANDLE h : {in_write, out_read, err_read})
            CloseHandle(h);
        return 127;
    }
    std::string out_raw, err_raw;
    std::thread out_reader(drain, out_read, &out_raw);
    std::thread err_reader(drain, err_read, &err_raw);
    DWORD written = 0;
    if (!input.empty())
        WriteFile(in_write, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(in_write);
    out_reader.join();
    err_reader.join();
    CloseHandle(out_read);
    CloseHandle(err_read);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    *out = text_mode_lines(out_raw);
    *err = text_mode_lines(err_raw);
    return static_cast<int>(code);
}

int process_id() { return _getpid(); }

#else

// Runs the program; out_fd/err_fd of the child go to the given pipes.
int spawn(const std::vector<std::string>& args, const std::string& input, bool merge,
          std::string* out, std::string* err)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe))
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(merge ? out_pipe[1] : err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0)
        std::perror("write");
    close(in_pipe[1]);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[65536];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            } else {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int process_id() { return static_cast<int>(getpid()); }

#endif

}  // namespace

sim_run run_sim(const std::vector<std::string>& args, const std::string& input)
{
    sim_run r;
    const std::string dump = temp_path("dump");
    std::vector<std::string> argv{FLASH_TOOL_SIM, "--sim-dump=" + dump};
    argv.insert(argv.end(), args.begin(), args.end());
    r.status = spawn(argv, input, false, &r.out, &r.err);
    std::string ignored;
    spawn(argv, input, true, &r.merged, &ignored);
    std::ifstream in(dump);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos)
            r.dump[line.substr(0, eq)] = line.substr(eq + 1);
    }
    std::remove(dump.c_str());
    r.out = without_build_date(r.out);
    r.merged = without_build_date(r.merged);
    return r;
}

std::string without_build_date(const std::string& text)
{
    static const std::regex date(R"(\[Build Info: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\])");
    return std::regex_replace(text, date, "[Build Info: DATE]");
}

std::vector<unsigned char> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

std::string temp_path(const std::string& name)
{
    static int counter = 0;
#ifdef _WIN32
    const char* dir = std::getenv("TEMP");
    if (!dir)
        dir = std::getenv("TMP");
#else
    const char* dir = std::getenv("TMPDIR");
#endif
    std::ostringstream s;
    s << (dir ? dir : "/tmp") << "/ft-test-" << process_id() << "-" << ++counter << "-" << name;
    return s.str();
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string crc_hex(const std::vector<unsigned char>& bytes)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", sim_dfu_crc(bytes.data(), bytes.size()));
    return text;
}

void fresh_bus() { sim_bus_reset(); }
