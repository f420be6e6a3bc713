// Throughput of the compressor and the three decoders, in MiB/s of original bytes, medians of
// five runs: in memory, and as whole commands a user types into the program, beside each
// command's floor (what any command that reads, hashes and writes as much must spend) and
// beside zstd and gzip on the same file in the same run. `bench --memory` leaves out the
// commands, `bench text random` runs only the corpora named, `bench --hfm PATH` times another
// build's program, and `bench --big` instead round-trips one 3 GiB file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "compress.h"
#include "corpus.h"
#include "decompress.h"

namespace fs = std::filesystem;

namespace {

bool write_bytes(const std::string& path, const void* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

// Runs `fn` with standard output sent to /dev/null: the hash decoder prints its table.
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

double mib_per_s(size_t bytes, double seconds) {
    return static_cast<double>(bytes) / bench::MIB / seconds;
}

// ---- In memory ---------------------------------------------------------------------------

void in_memory(const std::vector<unsigned char>& input, const std::string& scratch) {
    CompressResult* result = nullptr;
    double compress_s = bench::median_seconds(5, [&] {
        free_compress_result(result);
        result = compress_data(input.data(), input.size());
    });
    if (!result) {
        std::printf("  compress_data failed\n");
        return;
    }
    std::printf("  in memory        compress_data %8.1f MiB/s  (%zu -> %zu bytes, %zu values)\n",
                mib_per_s(input.size(), compress_s), input.size(), result->size,
                result->unique_chars);

    const std::string table_path = scratch + "/table.code";
    const std::string table_text = format_code_table(*result);
    write_bytes(table_path, table_text.data(), table_text.size());
    DecodingTablePtr tree = build_decoding_table(table_path.c_str());
    size_t table_count = 0;
    size_t table_size = 0;
    auto table_codes = load_code_table(table_path.c_str(), &table_count, &table_size);
    size_t hash_count = 0;
    std::unique_ptr<CodeEntry[]> hash_codes;
    quietly([&] { hash_codes = read_hash_code_table(table_path.c_str(), &hash_count); });
    bool long_codes = false;
    for (size_t i = 0; i < result->unique_chars; ++i)
        long_codes = long_codes || result->codes[i].code_len > 32;

    std::vector<unsigned char> out(input.size());
    const unsigned char* packed = result->data.get();
    const size_t packed_size = result->size;
    using Decode = std::function<size_t()>;
    const std::pair<const char*, Decode> methods[] = {
        {"1",
         [&] { return decode_with_tree(packed, packed_size, out.data(), out.size(), tree.get()); }},
        {"2",
         [&] {
             return decode_with_code_table(packed, packed_size, out.data(), out.size(),
                                           table_codes.get(), table_count);
         }},
        {"3",
         [&] {
             size_t written = 0;
             quietly([&] {
                 written = decode_with_hash(packed, packed_size, out.data(), out.size(),
                                            hash_codes.get(), hash_count);
             });
             return written;
         }},
    };
    // Both cursors, as the program runs, then the first alone: what the second buys.
    for (bool lead : {true, false}) {
        decode_with_lead_cursor(lead);
        std::printf("  in memory        decode%s", lead ? "      " : " alone");
        for (const auto& [name, decode] : methods) {
            if (name[0] != '1' && long_codes) {
                std::printf("   m%s       refused", name);
                continue;
            }
            size_t written = 0;
            double seconds = bench::median_seconds(5, [&] { written = decode(); });
            bool exact = written == input.size() && out == input;
            std::printf("   m%s %8.1f MiB/s%s", name, mib_per_s(input.size(), seconds),
                        exact ? "" : " (WRONG)");
            std::fill(out.begin(), out.end(), 0);
        }
        std::printf("\n");
    }
    decode_with_lead_cursor(true);
    free_compress_result(result);
}

// ---- Whole commands ----------------------------------------------------------------------

struct Run {
    double seconds = 0;
    long max_rss_kib = 0;
    bool ok = false;
};

// Runs `argv` in `dir` with standard input from `stdin_path` (or /dev/null) and standard
// output discarded; wall time, and peak resident memory as /usr/bin/time reports it. A child
// forked from this process would count this process's pages as its own until it execs, so
// the peak is taken by `time`, a small process, around the command.
Run run_command(const std::vector<std::string>& argv, const std::string& dir,
                const std::string& stdin_path) {
    const std::string rss_path = dir + "/.max_rss";
    std::vector<std::string> full = {"/usr/bin/time", "-f", "%M", "-o", rss_path};
    full.insert(full.end(), argv.begin(), argv.end());
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
        for (const auto& a : full)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (std::FILE* rss = std::fopen(rss_path.c_str(), "r")) {
        // `time` notes a failed command on a line of its own before the figure.
        char line[128];
        while (std::fgets(line, sizeof line, rss) != nullptr)
            run.max_rss_kib = std::atol(line);
        std::fclose(rss);
    }
    return run;
}

// A command timed among the others of its kind: `prepare` runs before each of its runs.
struct Timed {
    std::string label;
    std::function<Run()> once = {};
    std::function<void()> prepare = [] {};
    std::vector<Run> runs = {};

    // The median wall time, with the largest peak memory seen.
    Run median() const {
        std::vector<Run> sorted = runs;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
        Run median = sorted[sorted.size() / 2];
        for (const Run& r : sorted) {
            median.max_rss_kib = std::max(median.max_rss_kib, r.max_rss_kib);
            median.ok = median.ok && r.ok;
        }
        return median;
    }
};

// Six rounds, each running every command once, of which the first is not counted. Machines
// have slow spells, and on a virtual machine that hands memory left free for a few seconds
// back to its host, a command that needs much fresh memory can take twice as long after a
// pause as right after itself: in rounds all of this falls on every command alike instead of
// on whichever happens to follow another. Each run starts with nothing left to write back,
// or it would pay for the writing of the files that the runs before it wrote.
void run_in_rounds(std::vector<Timed>& commands) {
    for (int round = 0; round < 6; ++round) {
        for (Timed& command : commands) {
            command.prepare();
            sync();
            Run run = command.once();
            if (round != 0)
                command.runs.push_back(run);
        }
    }
}

void print_run(const char* label, const Run& run, size_t original_bytes, double input_mib,
               const char* note = "") {
    std::printf("  command  %-16s %7.3f s %8.1f MiB/s  peak %7.1f MiB (%.2fx)%s%s\n", label,
                run.seconds, mib_per_s(original_bytes, run.seconds), run.max_rss_kib / 1024.0,
                run.max_rss_kib / 1024.0 / input_mib, note, run.ok ? "" : "  (FAILED)");
}

std::string session(const std::string& dir, const std::string& name, const std::string& lines) {
    const std::string path = dir + "/" + name;
    write_bytes(path, lines.data(), lines.size());
    return path;
}

// The least that a command can do which reads `in_path`, prints the FNV-1a hash of
// `hash_bytes` bytes and writes `out_bytes` bytes to `out_path`: all three streamed in 1 MiB
// blocks, the one hash chain running over the blocks read (again where it hashes more bytes
// than it reads).
Run floor_run(const std::string& in_path, size_t hash_bytes, size_t out_bytes,
              const std::string& out_path) {
    std::vector<unsigned char> block(bench::MIB, 0x5A);
    auto start = std::chrono::steady_clock::now();
    std::FILE* in = std::fopen(in_path.c_str(), "rb");
    std::FILE* out = std::fopen(out_path.c_str(), "wb");
    uint64_t hash = FNV_OFFSET;
    size_t hashed = 0;
    size_t written = 0;
    bool reading = in != nullptr;
    while (reading || hashed < hash_bytes || written < out_bytes) {
        if (reading)
            reading = std::fread(block.data(), 1, block.size(), in) == block.size();
        size_t take = std::min(hash_bytes - hashed, block.size());
        hash = fnv1a_64_extend(hash, block.data(), take);
        hashed += take;
        size_t put = std::min(out_bytes - written, block.size());
        if (out != nullptr)
            std::fwrite(block.data(), 1, put, out);
        written += put;
    }
    bool ok = in != nullptr && out != nullptr;
    if (in != nullptr)
        std::fclose(in);
    if (out != nullptr)
        ok = std::fclose(out) == 0 && ok;
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.ok = ok && hash != 0;  // the hash is used, so the chain is not optimized away
    return run;
}

void print_floor(const char* label, const Run& floor, size_t original_bytes) {
    std::printf("  floor    %-16s %7.3f s %8.1f MiB/s  (read + one hash chain + write)%s\n", label,
                floor.seconds, mib_per_s(original_bytes, floor.seconds),
                floor.ok ? "" : "  (FAILED)");
}

bool have_tool(const std::string& scratch, const std::string& name) {
    return run_command({"/bin/sh", "-c", "command -v " + name}, scratch, "").ok;
}

// A mainstream tool run in its own folder, on a fresh copy of `copy_from` unless that is empty;
// nothing where the tool is missing, which is said.
std::optional<Timed> tool(const std::string& scratch, const std::vector<std::string>& argv,
                          const std::string& copy_from) {
    Timed timed{argv[0] + " " + argv[1] + " -k"};
    if (!have_tool(scratch, argv[0])) {
        std::printf("  command  %-16s skipped: %s is not installed\n", timed.label.c_str(),
                    argv[0].c_str());
        return std::nullopt;
    }
    const std::string dir = scratch + "/" + argv[0];
    fs::create_directories(dir);
    timed.once = [=] { return run_command(argv, dir, ""); };
    if (!copy_from.empty())
        timed.prepare = [=] {
            fs::copy_file(copy_from, dir + "/corpus.dat", fs::copy_options::overwrite_existing);
        };
    return timed;
}

std::string d_label(char method) {
    return std::string("hfm d method ") + method;
}

// The median of the command named `label` among `commands`; seconds 0 where it was skipped.
Run median_of(const std::vector<Timed>& commands, const std::string& label) {
    for (const Timed& command : commands)
        if (command.label == label)
            return command.median();
    return Run{};
}

void print_ratio(const char* what, double seconds, double floor, const Run& zstd, const Run& gzip) {
    std::printf("  ratio    %-16s %.2fx its floor", what, seconds / floor);
    if (zstd.seconds > 0)
        std::printf(", %.2fx zstd", seconds / zstd.seconds);
    if (gzip.seconds > 0)
        std::printf(", %.2fx gzip", seconds / gzip.seconds);
    std::printf("\n");
}

// The corpus is already in scratch/corpus.dat. A forked child starts with the parent's resident
// pages counted as its own, so the caller holds no large buffer while commands run. The
// compressors run in rounds together, then the decompressors on what they wrote.
void whole_commands(const std::string& hfm, size_t input_size, const std::string& scratch,
                    bool long_codes) {
    const std::string name = "corpus.dat";
    const std::string input = scratch + "/" + name;
    const std::string floor_out = scratch + "/floor.out";
    const double input_mib = static_cast<double>(input_size) / bench::MIB;
    auto add_tool = [&](std::vector<Timed>* commands, const std::vector<std::string>& argv,
                        const std::string& copy_from) {
        if (std::optional<Timed> timed = tool(scratch, argv, copy_from))
            commands->push_back(std::move(*timed));
    };

    const std::string c_script =
        session(scratch, "c.txt", "c\n" + name + "\nbench\nbench\n0\n\nq\n");
    // hfm c runs first in every round, so the floor always finds what it wrote.
    std::vector<Timed> compressors = {
        {"hfm c", [&] { return run_command({hfm}, scratch, c_script); }},
        {"floor c",
         [&] { return floor_run(input, input_size, fs::file_size(input + ".hfm"), floor_out); }}};
    add_tool(&compressors, {"zstd", "-1", "-k", "-f", "-q", name}, input);
    add_tool(&compressors, {"gzip", "-1", "-k", "-f", name}, input);
    run_in_rounds(compressors);
    const double c_floor = median_of(compressors, "floor c").seconds;
    const Run zstd = median_of(compressors, "zstd -1 -k");
    const Run gzip = median_of(compressors, "gzip -1 -k");
    print_floor("c", median_of(compressors, "floor c"), input_size);
    print_run("hfm c", median_of(compressors, "hfm c"), input_size, input_mib);
    if (zstd.seconds > 0)
        print_run("zstd -1 -k", zstd, input_size, input_mib);
    if (gzip.seconds > 0)
        print_run("gzip -1 -k", gzip, input_size, input_mib);
    print_ratio("hfm c", median_of(compressors, "hfm c").seconds, c_floor, zstd, gzip);

    std::vector<Timed> decompressors = {
        {"floor d", [&] { return floor_run(input + ".hfm", input_size, input_size, floor_out); }}};
    if (zstd.seconds > 0)
        add_tool(&decompressors, {"zstd", "-d", "-k", "-f", "-q", name + ".zst"}, "");
    if (gzip.seconds > 0)
        add_tool(&decompressors, {"gzip", "-d", "-k", "-f", name + ".gz"}, "");
    // Every method writes the same file, so each run checks it at once, untimed.
    bool exact[3] = {true, true, true};
    for (char method : {'1', '2', '3'}) {
        if (method != '1' && long_codes)
            continue;
        const std::string script =
            session(scratch, std::string("d") + method + ".txt",
                    "d\n" + name + ".hfm\nbench\nbench\n" + method + "\n\nq\n");
        bool* same = &exact[method - '1'];
        decompressors.push_back(
            {d_label(method), [&, script, same] {
                 Run run = run_command({hfm}, scratch, script);
                 *same =
                     *same && run_command({"cmp", name, name + "_recovered.txt"}, scratch, "").ok;
                 return run;
             }});
    }
    run_in_rounds(decompressors);
    std::remove(floor_out.c_str());
    const Run d_floor = median_of(decompressors, "floor d");
    const Run unzstd = median_of(decompressors, "zstd -d -k");
    const Run gunzip = median_of(decompressors, "gzip -d -k");
    print_floor("d", d_floor, input_size);
    if (unzstd.seconds > 0)
        print_run("zstd -d -k", unzstd, input_size, input_mib);
    if (gunzip.seconds > 0)
        print_run("gzip -d -k", gunzip, input_size, input_mib);
    const double packed_mib = static_cast<double>(fs::file_size(input + ".hfm")) / bench::MIB;
    for (char method : {'1', '2', '3'}) {
        const std::string label = d_label(method);
        if (method != '1' && long_codes) {
            std::printf("  command  %-16s refused (codes longer than 32 bits)\n", label.c_str());
            continue;
        }
        const Run d = median_of(decompressors, label);
        char note[96];
        std::snprintf(note, sizeof note, "  memory bound %.1f MiB%s",
                      1.1 * (packed_mib + input_mib) + 16,
                      exact[method - '1'] ? "" : "  RESTORED FILE DIFFERS");
        print_run(label.c_str(), d, input_size, input_mib, note);
        print_ratio(label.c_str(), d.seconds, d_floor.seconds, unzstd, gunzip);
    }
}

// ---- The 3 GiB round trip -----------------------------------------------------------------

int big_round_trip(const std::string& hfm, const std::string& scratch) {
    const size_t size = size_t{3} << 30;
    const std::string name = "big.dat";
    {
        const std::vector<unsigned char> text = bench::text_corpus(64 * bench::MIB);
        std::FILE* file = std::fopen((scratch + "/" + name).c_str(), "wb");
        for (size_t done = 0; file && done < size; done += text.size())
            std::fwrite(text.data(), 1, text.size(), file);
        if (!file || std::fclose(file) != 0)
            return 1;
    }
    const double input_mib = static_cast<double>(size) / bench::MIB;
    std::printf("3 GiB round trip (text corpus repeated, %zu bytes)\n", size);
    const std::string c_script =
        session(scratch, "c.txt", "c\n" + name + "\nbench\nbench\n0\n\nq\n");
    print_run("hfm c", run_command({hfm}, scratch, c_script), size, input_mib);
    int status = 0;
    for (char method : {'1', '3'}) {
        const std::string script =
            session(scratch, "d.txt", "d\n" + name + ".hfm\nbench\nbench\n" + method + "\n\nq\n");
        Run d = run_command({hfm}, scratch, script);
        Run cmp = run_command({"cmp", name, name + "_recovered.txt"}, scratch, "");
        std::string label = std::string("hfm d method ") + method;
        print_run(label.c_str(), d, size, input_mib,
                  cmp.ok ? "  restored exactly" : "  RESTORED FILE DIFFERS");
        status |= cmp.ok && d.ok ? 0 : 1;
        fs::remove(scratch + "/" + name + "_recovered.txt");
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::string hfm = HFM_PATH;
    const std::string scratch =
        (fs::temp_directory_path() / ("hfm_bench_" + std::to_string(getpid()))).string();
    fs::create_directories(scratch);
    int status = 0;
    bool memory_only = false;
    bool big = false;
    std::vector<std::string> only;  // corpus names given on the command line
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--memory") == 0)
            memory_only = true;
        else if (std::strcmp(argv[i], "--big") == 0)
            big = true;
        else if (std::strcmp(argv[i], "--hfm") == 0 && i + 1 < argc)
            hfm = argv[++i];
        else
            only.push_back(argv[i]);
    }
    if (big) {
        status = big_round_trip(hfm, scratch);
    } else {
        struct Corpus {
            const char* name;
            std::vector<unsigned char> (*make)(size_t);
            size_t size;
        };
        const Corpus corpora[] = {{"text", bench::text_corpus, 64 * bench::MIB},
                                  {"binary", bench::binary_corpus, 64 * bench::MIB},
                                  {"skewed", bench::skewed_corpus, 64 * bench::MIB},
                                  {"random", bench::random_corpus, 16 * bench::MIB}};
        for (const Corpus& corpus : corpora) {
            if (!only.empty() && std::find(only.begin(), only.end(), corpus.name) == only.end())
                continue;
            std::vector<unsigned char> input = corpus.make(corpus.size);
            std::printf("%s: %zu MiB\n", corpus.name, input.size() / bench::MIB);
            std::fflush(stdout);
            in_memory(input, scratch);
            CompressResult* result = compress_data(input.data(), input.size());
            bool long_codes = false;
            for (size_t i = 0; result && i < result->unique_chars; ++i)
                long_codes = long_codes || result->codes[i].code_len > 32;
            free_compress_result(result);
            const size_t input_size = input.size();
            write_bytes(scratch + "/corpus.dat", input.data(), input_size);
            std::vector<unsigned char>().swap(input);
            if (!memory_only)
                whole_commands(hfm, input_size, scratch, long_codes);
            std::fflush(stdout);
        }
    }
    fs::remove_all(scratch);
    return status;
}
