#include "test_util.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <process.h>
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

void TempDirTest::SetUp() {
    old_cwd_ = fs::current_path();
    std::random_device seed;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("hfm_") + info->test_suite_name() + "_" + info->name();
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    dir_ = fs::temp_directory_path() / (name + "_" + std::to_string(seed()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
}

void TempDirTest::TearDown() {
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool file_exists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

std::string repeat(std::string_view s, size_t n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

std::vector<std::string> files_here() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string without_cr_lf(std::string text) {
#ifdef _WIN32
    size_t kept = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            text[kept++] = text[i];
    }
    text.resize(kept);
#endif
    return text;
}

int process_id() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

#ifdef _WIN32

// hfm.exe is built beside the test program; a path CMake knows is a path of the build
// machine, which need not be one the Windows program can open.
int run_redirected(const char* input, const char* output, const char* errors, int timeout_seconds) {
    std::wstring program(MAX_PATH, L'\0');
    program.resize(GetModuleFileNameW(nullptr, program.data(), MAX_PATH));
    program = program.substr(0, program.find_last_of(L"\\/") + 1) + L"hfm.exe";
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    auto open = [&](const char* name, bool write) {
        return CreateFileA(name, write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, &inherit,
                           write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE in = open(input, false), out = open(output, true), err = open(errors, true);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + program + L"\"";
    int status = -1;
    if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
        CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        DWORD code = 0;
        if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeout_seconds) * 1000) !=
            WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 1);
        else if (GetExitCodeProcess(process.hProcess, &code))
            status = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    for (HANDLE handle : {in, out, err}) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    return status;
}

#else

int run_redirected(const char* input, const char* output, const char* errors, int timeout_seconds) {
    std::string command = "timeout " + std::to_string(timeout_seconds) + " '" + HFM_PATH + "' < " +
                          input + " > " + output + " 2> " + errors;
    int raw = std::system(command.c_str());
    return raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

#endif

void feed_stdin(const std::string& input) {
    static int counter = 0;
    fs::path path = fs::temp_directory_path() /
                    ("hfm_stdin_" + std::to_string(process_id()) + "_" + std::to_string(counter++));
    write_file(path.string(), input);
    ASSERT_NE(std::freopen(path.string().c_str(), "rb", stdin), nullptr);
    std::clearerr(stdin);
#ifdef _WIN32
    // An open file cannot be removed here: the one fed before is closed now.
    static fs::path fed_before;
    std::error_code ignored;
    fs::remove(fed_before, ignored);
    fed_before = path;
#else
    fs::remove(path);  // the open stream keeps the data readable
#endif
}

std::string rest_of_input() {
    std::string rest;
    for (int ch; (ch = std::getchar()) != EOF;)
        rest += static_cast<char>(ch);
    return rest;
}

std::string capture_stdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::string run_with_input(const std::string& input, const std::function<void()>& fn) {
    feed_stdin(input);
    return capture_stdout(fn);
}

RunResult run_hfm(const std::string& input, int timeout_seconds) {
    write_file("hfm_stdin.txt", input);
    RunResult result;
    result.status =
        run_redirected("hfm_stdin.txt", "hfm_stdout.txt", "hfm_stderr.txt", timeout_seconds);
    result.out = without_cr_lf(read_file("hfm_stdout.txt"));
    result.err = without_cr_lf(read_file("hfm_stderr.txt"));
    fs::remove("hfm_stdin.txt");
    fs::remove("hfm_stdout.txt");
    fs::remove("hfm_stderr.txt");
    return result;
}
