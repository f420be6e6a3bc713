#include "test_util.h"

#include "input.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_view_literals;

namespace {

constexpr size_t OUTPUT_CAP = 16 << 20;

// A file outside every test's folder, so that the folder holds only what the program made.
// Two random words name it apart from every other test process's.
fs::path scratch_path(const char* what) {
    static std::random_device seed;
    return fs::temp_directory_path() / ("hfm_" + std::string(what) + "_" + std::to_string(seed()) +
                                        "_" + std::to_string(seed()));
}

}  // namespace

void TempDirTest::SetUp() {
    old_cwd_ = fs::current_path();
    dir_ = scratch_path("test");
    fs::create_directories(dir_);
    fs::current_path(dir_);
}

void TempDirTest::TearDown() {
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

fs::path utf8_path(const std::string& name) {
    return fs::path(std::u8string(name.begin(), name.end()));
}

std::string utf8_name(const fs::path& path) {
    const std::u8string name = path.generic_u8string();
    return std::string(name.begin(), name.end());
}

void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream out(utf8_path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(utf8_path(path), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string run_with_input(const std::string& input, const std::function<void()>& fn) {
    const fs::path path = scratch_path("stdin");
    write_file(path.string(), input);
    EXPECT_NE(std::freopen(path.string().c_str(), "rb", stdin), nullptr);
#ifdef _WIN32
    static fs::path fed_before;  // an open file cannot be removed there: the one before can
    std::error_code ignored;
    fs::remove(fed_before, ignored);
    fed_before = path;
#else
    fs::remove(path);  // the open stream keeps the data readable
#endif
    input_use_source(nullptr);  // nothing read or handed back before carries over
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::string rest_of_input() {
    std::string rest;
    for (int ch; (ch = input_get()) != EOF;)
        rest += static_cast<char>(ch);
    return rest;
}

bool memory_is_measured() {
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
    return false;
#else
    return std::getenv("HFM_TEST_WRAPPER") == nullptr;
#endif
}

#ifdef _WIN32

// hfm.exe is built beside the test program (a path CMake knows is one of the build machine).
// It inherits this process's standard streams, pointed at files for the run; a text-mode
// stream's CR before each line feed is taken out. ctest's time limit ends a run that hangs.
ProgramRun run_program(const std::string& keys, uint64_t, int) {
    const fs::path paths[3] = {scratch_path("keys"), scratch_path("out"), scratch_path("err")};
    write_file(paths[0].string(), keys);
    std::wstring program(MAX_PATH, L'\0');
    program.resize(GetModuleFileNameW(nullptr, program.data(), MAX_PATH));
    program = program.substr(0, program.find_last_of(L"\\/") + 1) + L"hfm.exe";
    std::fflush(nullptr);
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) {
        saved[fd] = _dup(fd);
        const int file = fd == 0 ? _wopen(paths[fd].c_str(), _O_RDONLY | _O_BINARY)
                                 : _wopen(paths[fd].c_str(), _O_WRONLY | _O_CREAT | _O_BINARY,
                                          _S_IREAD | _S_IWRITE);
        _dup2(file, fd);
        _close(file);
    }
    const std::wstring quoted = L"\"" + program + L"\"";
    const intptr_t status = _wspawnl(_P_WAIT, program.c_str(), quoted.c_str(), nullptr);
    for (int fd = 0; fd < 3; ++fd) {
        _dup2(saved[fd], fd);
        _close(saved[fd]);
    }
    ProgramRun run;
    run.status = static_cast<int>(status);
    run.out = without_cr_lf(read_file(paths[1].string()));
    run.err = without_cr_lf(read_file(paths[2].string()));
    for (const fs::path& path : paths)
        fs::remove(path);
    return run;
}

#else

// Standard output goes through a pipe, which a file-size limit does not cap; standard error
// goes to a file (no case prints to it). The alarm outlives exec: a run that hangs ends.
ProgramRun run_program(const std::string& keys, uint64_t file_size_limit, int timeout_seconds) {
    const fs::path keys_path = scratch_path("keys"), err_path = scratch_path("err");
    write_file(keys_path.string(), keys);
    std::vector<std::string> words;
    if (const char* wrapper = std::getenv("HFM_TEST_WRAPPER")) {
        std::istringstream split(wrapper);
        for (std::string word; split >> word;)
            words.push_back(word);
    }
    words.push_back(HFM_PATH);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int out_pipe[2];
    EXPECT_EQ(pipe(out_pipe), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int keys_fd = open(keys_path.c_str(), O_RDONLY);
        const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (keys_fd < 0 || err_fd < 0 || dup2(keys_fd, STDIN_FILENO) < 0 ||
            dup2(out_pipe[1], STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0)
            _exit(126);
        for (int fd : {keys_fd, err_fd, out_pipe[0], out_pipe[1]})
            close(fd);
        // Without a limit of its own a run may still write no file past 1 GiB, its errors
        // included.
        const rlim_t largest = file_size_limit != 0 ? file_size_limit : rlim_t{1} << 30;
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{largest, largest};
        setrlimit(RLIMIT_FSIZE, &limit);
        alarm(static_cast<unsigned>(timeout_seconds));
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    ProgramRun run;
    char buffer[1 << 16];
    for (ssize_t n;
         run.out.size() <= OUTPUT_CAP && (n = read(out_pipe[0], buffer, sizeof buffer)) > 0;)
        run.out.append(buffer, static_cast<size_t>(n));
    if (run.out.size() > OUTPUT_CAP)
        kill(pid, SIGKILL);
    close(out_pipe[0]);
    int raw = 0;
    rusage usage{};
    wait4(pid, &raw, 0, &usage);
    run.err = read_file(err_path.string());
    fs::remove(keys_path);
    fs::remove(err_path);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.peak_kib = usage.ru_maxrss;
    EXPECT_TRUE(WIFEXITED(raw)) << "the program ran too long, printed too much or crashed";
    return run;
}

#endif

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

std::string unescape(std::string_view text) {
    const std::string_view codes = "e\033r\rn\nt\t0\0"sv;  // each letter, then what it stands for
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[++i] == 'x') {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            const size_t code = codes.find(text[i]);
            out += code != std::string_view::npos && code % 2 == 0 ? codes[code + 1] : text[i];
        }
    }
    return out;
}

std::vector<Section> read_sections(const fs::path& path) {
    std::vector<Section> sections;
    std::ifstream in(path, std::ios::binary);
    std::string raw;
    auto finish = [&] {
        if (sections.empty())
            return;
        Section& s = sections.back();
        std::string text = unescape(raw);
        size_t times = 1;
        if (s.value.starts_with("x "))
            times = std::stoul(s.value.substr(2));
        for (size_t i = 0; i < times; ++i)
            s.text += text;
        raw.clear();
    };
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("--- ")) {
            finish();
            std::istringstream words(line.substr(4));
            Section s;
            words >> s.kind >> s.name >> std::ws;
            s.name = unescape(s.name);  // a blank in a name is written \x20
            std::getline(words, s.value);
            if (s.name == "x")  // a section without a name, repeated
                s.value = "x " + s.value;
            sections.push_back(s);
        } else if (!sections.empty()) {
            raw += line.ends_with("\\c") ? line.substr(0, line.size() - 2) : line + "\n";
        }
    }
    finish();
    return sections;
}
