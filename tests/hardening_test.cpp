// Damaged files, hostile tables and disks that refuse writes. Whatever the files hold, every
// decoding method either restores a file of exactly the stated size or fails leaving nothing
// behind, in bounded memory; a write that fails never passes for success.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "compress.h"
#include "decompress.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    }
    return -1;
}

struct ProgramRun {
    int status = -1;
    std::string out;         // standard output and standard error
    long peak_rss_kib = -1;  // at the first pause, or -1 when the program never got there
};

// Runs the program on `input` and ends its standard input with `after_pause` once the first
// command's pause shows. The peak memory is read from the program at that pause, so it covers
// that command and none of the test process it was forked from (which rusage would count).
// Writes past `file_size_limit` bytes fail instead of killing the program.
ProgramRun run_program(const std::string& input, const std::string& after_pause,
                       rlim_t file_size_limit = RLIM_INFINITY) {
    int to_child[2], from_child[2];
    EXPECT_EQ(pipe(to_child) | pipe(from_child), 0);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{file_size_limit, file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        dup2(from_child[1], STDERR_FILENO);
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]})
            close(fd);
        execl(HFM_PATH, HFM_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    auto old_sigpipe = std::signal(SIGPIPE, SIG_IGN);  // the program may be gone already
    EXPECT_EQ(write(to_child[1], input.data(), input.size()), ssize_t(input.size()));
    ProgramRun run;
    char buffer[1 << 16];
    for (ssize_t n; (n = read(from_child[0], buffer, sizeof buffer)) > 0;) {
        run.out.append(buffer, static_cast<size_t>(n));
        if (run.peak_rss_kib < 0 && run.out.find("按回车键继续") != std::string::npos) {
            run.peak_rss_kib = peak_rss_kib(pid);
            EXPECT_EQ(write(to_child[1], after_pause.data(), after_pause.size()),
                      ssize_t(after_pause.size()));
            close(std::exchange(to_child[1], -1));
        }
    }
    if (to_child[1] >= 0)
        close(to_child[1]);
    close(from_child[0]);
    std::signal(SIGPIPE, old_sigpipe);
    int raw = 0;
    waitpid(pid, &raw, 0);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> files;
    for (const std::string& name : files_here())
        files[name] = read_file(name);
    return files;
}

struct SweepPair {
    const char* name;
    std::string input;
    EncryptMethod transform;
};
void PrintTo(const SweepPair& pair, std::ostream* out) {
    *out << pair.name;
}

std::vector<SweepPair> sweep_pairs() {
    std::string all(256, '\0'), skewed;
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<char>(255 - i);
    // Fibonacci counts make a chain: codes of up to 13 bits, several longer than a byte.
    for (size_t v = 0, a = 1, b = 1; v < 14; ++v, b += a, a = b - a)
        skewed.append(a, static_cast<char>('a' + v));
    std::shuffle(skewed.begin(), skewed.end(), std::mt19937(7));
    return {{"text_offset", "Cut every byte, flip every bit.\n", ENCRYPT_METHOD_OFFSET},
            {"all256_xor", all, ENCRYPT_METHOD_XOR},
            {"longcodes_offset", skewed, ENCRYPT_METHOD_OFFSET}};
}

#ifdef __SANITIZE_ADDRESS__
// Sanitized builds run several times slower: there the one long sweep, every bit of the table of
// all 256 values, decodes each damaged table with one method, taking the methods in turn.
constexpr size_t EVERY_METHOD_UP_TO = 5000;
// The sanitizer keeps an eighth of every reserved block as its own bookkeeping, so a size
// reserved but never filled costs memory there.
constexpr long PEAK_LIMIT_KIB = 2 << 20;
#else
constexpr size_t EVERY_METHOD_UP_TO = SIZE_MAX;
constexpr long PEAK_LIMIT_KIB = 64 << 10;
#endif

}  // namespace

class Sweep : public TempDirTest, public ::testing::WithParamInterface<SweepPair> {};

// Cuts the .hfm and the .code at every byte, flips every bit of the .code and of the first 64
// bytes of the .hfm, and decompresses each with every method. Nothing can tell a flipped code
// bit from a real one, so some flips decode "without error"; their counts go to stderr.
TEST_P(Sweep, DamagedPairsRestoreTheStatedSizeOrLeaveNothing) {
    const SweepPair& pair = GetParam();
    write_file("n", pair.input);
    int status = -1;
    capture_stdout([&] { status = compress_file("n", "S", "R", pair.transform); });
    ASSERT_EQ(status, 0);
    const std::string hfm = read_file("n.hfm"), code = read_file("n.hfm.code");
    struct Damage {
        const char* what;
        const std::string& original;
        const char* name;
        size_t count;
        bool flip;  // else cut
    };
    const Damage damages[] = {
        {"hfm cuts", hfm, "n.hfm", hfm.size(), false},
        {"code cuts", code, "n.hfm.code", code.size(), false},
        {"code flips", code, "n.hfm.code", 8 * code.size(), true},
        {"hfm flips", hfm, "n.hfm", 8 * std::min<size_t>(64, hfm.size()), true}};
    std::string summary;
    char first_fault[160] = "";
    int faults = 0;
    feed_stdin("1\n2\n3\n");  // each run seeks to its own answer
    std::fflush(stdout);      // the runs print hundreds of megabytes
    const int saved_stdout = dup(STDOUT_FILENO), null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    for (const Damage& d : damages) {
        std::array<int, 3> runs{}, ok{}, exact{};
        for (size_t i = 0; i < d.count; ++i) {
            std::string damaged = d.flip ? d.original : d.original.substr(0, i);
            if (d.flip)
                damaged[i / 8] = static_cast<char>(damaged[i / 8] ^ (1 << i % 8));
            fs::remove(d.name);  // truncating a freshly written file waits on ext4
            write_file(d.name, damaged);
            // A success must restore as many bytes as the table states, whatever they are.
            size_t stated = 0;
            std::sscanf((&d.original == &code ? damaged : code).c_str(), "%zu", &stated);
            for (int method = 1; method <= 3; ++method) {
                if (d.count > EVERY_METHOD_UP_TO && method != 1 + static_cast<int>(i % 3))
                    continue;
                ++runs[method - 1];
                std::fseek(stdin, 2 * (method - 1), SEEK_SET);
                status = decompress_file("n.hfm", "S", "R");
                // The input and the pair, and a restored file only after a success.
                const auto files_left = std::distance(fs::directory_iterator("."), {});
                const std::string restored = read_file("n_recovered.txt");
                fs::remove("n_recovered.txt");
                ok[method - 1] += status == 0;
                exact[method - 1] += status == 0 && restored == pair.input;
                if (status == 0 ? restored.size() == stated && files_left == 4
                                : status == -1 && files_left == 3)
                    continue;
                if (faults++ == 0)
                    std::snprintf(first_fault, sizeof first_fault,
                                  "%s #%zu, method %d: status %d, %zu of %zu bytes, %ld files",
                                  d.what, i, method, status, restored.size(), stated,
                                  static_cast<long>(files_left));
            }
        }
        fs::remove(d.name);
        write_file(d.name, d.original);
        char line[160];
        std::snprintf(line, sizeof line, " %s: %d/%d/%d of %d/%d/%d decode (%d/%d/%d exact);",
                      d.what, ok[0], ok[1], ok[2], runs[0], runs[1], runs[2], exact[0], exact[1],
                      exact[2]);
        summary += line;
    }
    std::fflush(stdout);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(null_fd);
    std::fprintf(stderr, "sweep %s, methods 1/2/3:%s\n", pair.name, summary.c_str());
    EXPECT_EQ(faults, 0) << "first: " << first_fault;
}

INSTANTIATE_TEST_SUITE_P(SmallPairs, Sweep, ::testing::ValuesIn(sweep_pairs()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

class HostileTable : public TempDirTest {};

// Each row runs as a whole decompress command per method, with the header's transform number 7
// (bytes left as decoded); the program's peak memory stays far below any size a table claims.
TEST_F(HostileTable, FailsCleanlyOrDecodesByTheRulesInBoundedMemory) {
    struct Outcome {
        bool restored;
        std::string text;  // the restored bytes, or part of the message printed
    };
    const auto gives = [](const std::string& bytes) { return Outcome{true, bytes}; };
    const auto fails = [](const std::string& message) { return Outcome{false, message}; };
    const auto all = [](const Outcome& same) { return std::array<Outcome, 3>{same, same, same}; };
    const std::string mismatch = "解码后的数据大小不匹配", no_memory = "内存分配失败",
                      over_32 = "编码表中有长于 32 位的编码", head = "7\nS\nR\n";
    // Whether a size fits in the address space is the system's to say.
    const std::string either = mismatch + "|" + no_memory;
    const std::string ab = "2\n0x41 0x01 0x80\n0x42 0x01 0x00\n";  // A = 1, B = 0: "\x80" is AB
    // 20000 codes of 255 bits whose first 16 bits are the line number, so each would add a
    // path of its own about 240 nodes long; A's is all zeros.
    std::string distinct = "1\n";
    for (int line = 0; line < 20000; ++line) {
        char start[24];
        std::snprintf(start, sizeof start, "0x%02X 0xFF 0x%02X 0x%02X", line ? 0x5A : 0x41,
                      line >> 8, line & 0xFF);
        distinct += start + repeat(" 0x00", 30) + "\n";
    }
    struct Row {
        std::string what, head, table, packed;
        std::array<Outcome, 3> by_method;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"2^33 bytes", head, "8589934592\n0x41 0x01 0x80\n", "\x80", all(fails(either))},
        {"2^40 bytes", head, "1099511627776\n0x41 0x01 0x80\n", "\x80", all(fails(either))},
        {"2^64-1 bytes", head, "18446744073709551615\n0x41 0x01 0x80\n", "\x80",
         all(fails(no_memory))},
        // The tree and the matcher take the first 256 entries only.
        {"10000 entries", head, "1\n" + repeat("0x5A 0x08 0x00\n", 10000) + "0x41 0x01 0x80\n",
         "\x80", {fails(mismatch), fails(mismatch), gives("A")}},
        {"20000 distinct long codes", head, distinct, std::string(32, '\0'),
         {gives("A"), fails(over_32), fails(over_32)}},
        // The matcher finds A's empty code anywhere, so A fills the rest.
        {"length 0", head, "3\n0x41 0x00\n0x42 0x01 0x00\n0x43 0x01 0x80\n", "\x40",
         {gives("BCB"), gives("AAA"), gives("BCB")}},
        {"length 33", head, "2\n0x41 0x21" + repeat(" 0x00", 5) + "\n0x42 0x01 0x80\n",
         std::string(4, '\0') + "\x40", {gives("AB"), fails(over_32), fails(over_32)}},
        {"length 255", head, "2\n0x41 0xFF" + repeat(" 0x00", 32) + "\n0x42 0x01 0x80\n",
         std::string(31, '\0') + "\x01", {gives("AB"), fails(over_32), fails(over_32)}},
        // The tree skips a length above 256; the others keep its low 8 bits, 44.
        {"length 300", head, "1\n0x41 0x12C" + repeat(" 0x00", 38) + "\n0x42 0x01 0x80\n", "\x80",
         {gives("B"), fails(over_32), fails(over_32)}},
        // The hash reader takes a code byte whole, so A's code no longer fits its length.
        {"code byte 0x180", head, "2\n0x41 0x01 0x180\n0x42 0x01 0x00\n", "\x80",
         {gives("AB"), gives("AB"), fails(mismatch)}},
        {"code byte of 20 digits", head, "1\n0x41 0x01 0xFFFFFFFFFFFFFFFFFFFF\n", "\x80",
         {gives("A"), gives("A"), fails(mismatch)}},
        {"5000-byte table lines", head, "2\n0x41 0x01 0x80" + std::string(4986, ' ') +
         "\n0x42 0x01 0x00\n" + std::string(5000, 'x') + "\n", "\x80", all(gives("AB"))},
        {"5000-byte sender line", "7\n" + std::string(5000, 'S') + "\nR\n", ab, "\x80",
         all(fails("收发人信息不匹配"))},
        // Only a space separates the matcher's fields: it finds no code bytes, so both codes are 0.
        {"tabs", head, "2\n0x41\t0x01\t0x80\n0x42\t0x01\t0x00\n", "\x80",
         {gives("AB"), gives("AA"), gives("AB")}},
        {"CR LF", head, "2\r\n0x41 0x01 0x80\r\n0x42 0x01 0x00\r\n", "\x80", all(gives("AB"))},
        // A bare CR ends no line: each reader finds A alone.
        {"bare CR", head, "2\r0x41 0x01 0x80\r0x42 0x01 0x00\r", "\x80", all(fails(mismatch))},
    };
    // clang-format on
    for (const Row& row : rows) {
        write_file("h.hfm", row.head + row.packed);
        write_file("h.hfm.code", row.table);
        for (int method = 1; method <= 3; ++method) {
            const Outcome& want = row.by_method[method - 1];
            const std::string where = row.what + ", method " + std::to_string(method);
            ProgramRun run =
                run_program("d\nh.hfm\nS\nR\n" + std::to_string(method) + "\n", "\nq\n");
            EXPECT_EQ(run.status, 0) << where;
            EXPECT_GT(run.peak_rss_kib, 0) << where;
            EXPECT_LT(run.peak_rss_kib, PEAK_LIMIT_KIB) << where;
            EXPECT_EQ(run.out.find("文件解压成功！") != std::string::npos, want.restored) << where;
            // A failure shows one of the messages separated by '|'.
            bool shown = false;
            std::istringstream messages(want.restored ? "解压完成!" : want.text);
            for (std::string message; std::getline(messages, message, '|');)
                shown = shown || run.out.find(message) != std::string::npos;
            EXPECT_TRUE(shown) << where;
            EXPECT_EQ(read_file("h_recovered.txt"), want.restored ? want.text : "") << where;
            EXPECT_EQ(files_here().size(), 2u + want.restored) << where;
            fs::remove("h_recovered.txt");
        }
    }
}

class FailingDisk : public TempDirTest {};

// The whole program with writes refused past a size: the compression and the decompression of
// one session both fail, and every file of an earlier run stays as it was. The small file's
// outputs fit the stdio buffer, so their failure shows only when they are closed; all 256 values
// once pack into a few hundred bytes but need a code table of 3.8 KB.
TEST_F(FailingDisk, CommandsThatCannotWriteFailAndKeepEarlierFiles) {
    std::mt19937 rng(5);
    std::string text, all;
    for (int i = 0; i < 200000; ++i)
        text += static_cast<char>('a' + rng() % 26);
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    struct Run {
        std::string input;
        rlim_t limit;
        std::string keys;
        std::vector<const char*> shown;
    };
    std::vector<Run> runs = {
        {all, 1024, "c\nn.txt\nS\nR\n1\n\nq\n", {"写入编码表文件失败", "文件压缩失败！"}}};
    for (auto [size, limit] : {std::pair<size_t, rlim_t>{200000, 4096}, {2000, 100}}) {
        for (const char* method : {"1", "2", "3"})
            runs.push_back(
                {text.substr(0, size),
                 limit,
                 "c\nn.txt\nS\nR\n1\n\nd\nn.txt.hfm\nS\nR\n" + std::string(method) + "\n\nq\n",
                 {"写入压缩数据失败", "文件压缩失败！", "写入输出文件失败", "文件解压失败！"}});
    }
    for (const Run& run : runs) {
        write_file("n.txt", run.input);
        capture_stdout([] { compress_file("n.txt", "S", "R", ENCRYPT_METHOD_XOR); });
        write_file("n.txt_recovered.txt", "earlier restored file");
        write_file("n.txt", run.input.substr(1) + run.input[0]);  // a new compression would differ
        const auto before = snapshot();
        ProgramRun program = run_program(run.keys, "", run.limit);
        const std::string where = std::to_string(run.input.size()) + " bytes, keys " + run.keys;
        EXPECT_EQ(program.status, 0) << where;
        for (const char* shown : run.shown)
            EXPECT_NE(program.out.find(shown), std::string::npos) << where << ": " << shown;
        for (const char* not_shown : {"已保存", "成功！", "解压完成"})
            EXPECT_EQ(program.out.find(not_shown), std::string::npos) << where << ": " << not_shown;
        EXPECT_TRUE(snapshot() == before) << where;
    }
}
