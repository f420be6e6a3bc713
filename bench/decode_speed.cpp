// Decoding speed alone, in MiB/s of original bytes, medians of several runs: each decoding
// method in memory, and whole `d` commands of one or more builds of the program beside the
// floor of the command (reading the .hfm file, one hash chain over the restored bytes and
// writing them), with the builds' runs taken in turn so that a noisy machine treats them alike.
//
//   decode_speed memory [RUNS]                    in memory, text and binary corpora: the
//                                                 median and the best of RUNS runs
//   decode_speed commands RUNS HFM [HFM ...]      whole commands on the text and binary corpora
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common.h"
#include "compress.h"
#include "corpus.h"
#include "decompress.h"

namespace fs = std::filesystem;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool write_bytes(const std::string& path, const void* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

void quietly(const std::function<void()>& fn) {
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null);
    close(saved);
}

struct Corpus {
    const char* name;
    std::vector<unsigned char> (*make)(size_t);
};
const Corpus CORPORA[] = {{"text", bench::text_corpus}, {"binary", bench::binary_corpus}};
constexpr size_t CORPUS_BYTES = 64 * bench::MIB;

int in_memory(int runs, const std::string& scratch) {
    int status = 0;
    for (const Corpus& corpus : CORPORA) {
        std::vector<unsigned char> input = corpus.make(CORPUS_BYTES);
        CompressResult* result = compress_data(input.data(), input.size());
        const std::string table_path = scratch + "/table.code";
        const std::string table_text = format_code_table(*result);
        write_bytes(table_path, table_text.data(), table_text.size());
        DecodingTablePtr tree = build_decoding_table(table_path.c_str());
        size_t count = 0, size = 0, hash_count = 0;
        auto codes = load_code_table(table_path.c_str(), &count, &size);
        std::unique_ptr<CodeEntry[]> hash_codes;
        quietly([&] { hash_codes = read_hash_code_table(table_path.c_str(), &hash_count); });
        std::vector<unsigned char> out(input.size());
        const unsigned char* packed = result->data.get();
        const size_t packed_size = result->size;
        std::printf("%-7s in memory", corpus.name);
        for (int method = 1; method <= 3; ++method) {
            std::vector<double> seconds;
            bool exact = true;
            for (int r = 0; r < runs; ++r) {
                std::fill(out.begin(), out.end(), 0);
                auto start = std::chrono::steady_clock::now();
                size_t written = 0;
                if (method == 1)
                    written =
                        decode_with_tree(packed, packed_size, out.data(), out.size(), tree.get());
                else if (method == 2)
                    written = decode_with_code_table(packed, packed_size, out.data(), out.size(),
                                                     codes.get(), count);
                else
                    quietly([&] {
                        written = decode_with_hash(packed, packed_size, out.data(), out.size(),
                                                   hash_codes.get(), hash_count);
                    });
                seconds.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                        .count());
                exact = exact && written == input.size() && out == input;
            }
            // The best run as well: other work on the machine only ever slows a run down.
            const double mib = static_cast<double>(input.size()) / bench::MIB;
            std::printf("   m%d %6.1f (best %6.1f) MiB/s%s", method, mib / median(seconds),
                        mib / *std::min_element(seconds.begin(), seconds.end()),
                        exact ? "" : " (WRONG)");
            status |= exact ? 0 : 1;
        }
        std::printf("\n");
        std::fflush(stdout);
        free_compress_result(result);
    }
    return status;
}

// Wall time of `argv` run in `dir` with standard input from `stdin_path`, output discarded.
double run_command(const std::vector<std::string>& argv, const std::string& dir,
                   const std::string& stdin_path, bool* ok) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        int in = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
        int null = open("/dev/null", O_WRONLY);
        dup2(in, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    *ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A block of `size` bytes on huge pages where the system gives them, as the program asks for
// its large buffers: fresh small pages are slow to touch on these machines.
unsigned char* huge_block(size_t size) {
    constexpr size_t HUGE_PAGE = size_t{2} << 20;
    void* block = nullptr;
    if (posix_memalign(&block, HUGE_PAGE, size) != 0)
        return nullptr;
    madvise(block, size / HUGE_PAGE * HUGE_PAGE, MADV_HUGEPAGE);
    return static_cast<unsigned char*>(block);
}

// The floor of a `d` command: reads the .hfm file whole, hashes `size` bytes in one chain and
// writes them to a file. The bytes are the packed ones repeated, standing in for the restored.
int floor_command(const char* packed_name, size_t size, const char* out_name) {
    std::FILE* in = std::fopen(packed_name, "rb");
    if (!in)
        return 1;
    std::fseek(in, 0, SEEK_END);
    auto packed_size = static_cast<size_t>(std::ftell(in));
    std::fseek(in, 0, SEEK_SET);
    std::unique_ptr<unsigned char, decltype(&std::free)> packed(huge_block(packed_size), std::free);
    if (std::fread(packed.get(), 1, packed_size, in) != packed_size)
        return 1;
    std::fclose(in);
    std::unique_ptr<unsigned char, decltype(&std::free)> restored(huge_block(size), std::free);
    for (size_t done = 0; done < size; done += packed_size)
        std::memcpy(restored.get() + done, packed.get(), std::min(packed_size, size - done));
    std::printf("%016llx\n", static_cast<unsigned long long>(fnv1a_64(restored.get(), size)));
    return write_bytes(out_name, restored.get(), size) ? 0 : 1;
}

int commands(int runs, const std::vector<std::string>& programs, const std::string& self,
             const std::string& scratch) {
    int status = 0;
    for (const Corpus& corpus : CORPORA) {
        {
            std::vector<unsigned char> input = corpus.make(CORPUS_BYTES);
            write_bytes(scratch + "/corpus.dat", input.data(), input.size());
        }
        const std::string c_script = scratch + "/c.txt";
        const std::string c_keys = "c\ncorpus.dat\nbench\nbench\n0\n\nq\n";
        write_bytes(c_script, c_keys.data(), c_keys.size());
        bool ok = false;
        run_command({programs[0]}, scratch, c_script, &ok);
        // Columns: the floor, then each program's methods 1 to 3.
        std::vector<std::vector<double>> times(1 + 3 * programs.size());
        std::vector<bool> exact(times.size(), true);
        for (int r = 0; r < runs; ++r) {
            times[0].push_back(run_command(
                {self, "floor", "corpus.dat.hfm", std::to_string(CORPUS_BYTES), "floor.out"},
                scratch, "", &ok));
            for (size_t p = 0; p < programs.size(); ++p) {
                for (int method = 1; method <= 3; ++method) {
                    const std::string script = scratch + "/d.txt";
                    const std::string keys =
                        "d\ncorpus.dat.hfm\nbench\nbench\n" + std::to_string(method) + "\n\nq\n";
                    write_bytes(script, keys.data(), keys.size());
                    size_t column = 1 + 3 * p + (method - 1);
                    times[column].push_back(run_command({programs[p]}, scratch, script, &ok));
                    bool same = false;
                    run_command({"/usr/bin/cmp", "-s", "corpus.dat", "corpus.dat_recovered.txt"},
                                scratch, "", &same);
                    exact[column] = exact[column] && ok && same;
                    fs::remove(scratch + "/corpus.dat_recovered.txt");
                }
            }
        }
        const double floor_s = median(times[0]);
        std::printf("%-7s command floor %.3f s\n", corpus.name, floor_s);
        for (size_t p = 0; p < programs.size(); ++p) {
            std::printf("%-7s command %s\n", corpus.name, programs[p].c_str());
            for (int method = 1; method <= 3; ++method) {
                size_t column = 1 + 3 * p + (method - 1);
                double s = median(times[column]);
                std::printf("          d method %d %.3f s  %.2fx floor%s\n", method, s, s / floor_s,
                            exact[column] ? "" : "  (WRONG)");
                status |= exact[column] ? 0 : 1;
            }
        }
        std::fflush(stdout);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "floor") == 0)
        return floor_command(argv[2], std::strtoull(argv[3], nullptr, 10), argv[4]);
    const std::string scratch =
        (fs::temp_directory_path() / ("hfm_decode_speed_" + std::to_string(getpid()))).string();
    fs::create_directories(scratch);
    int status = 2;
    if (argc >= 2 && std::strcmp(argv[1], "memory") == 0) {
        status = in_memory(argc >= 3 ? std::atoi(argv[2]) : 5, scratch);
    } else if (argc >= 4 && std::strcmp(argv[1], "commands") == 0) {
        std::vector<std::string> programs;
        for (int i = 3; i < argc; ++i)
            programs.push_back(fs::absolute(argv[i]).string());
        status = commands(std::atoi(argv[2]), programs, fs::absolute(argv[0]).string(), scratch);
    } else {
        std::fprintf(stderr, "usage: decode_speed memory [RUNS] | commands RUNS HFM...\n");
    }
    fs::remove_all(scratch);
    return status;
}
