#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "compress.h"
#include "decompress.h"
#include "resources.h"
#include "ui.h"

#ifdef _WIN32
#ifndef NOMINMAX  // MinGW's libstdc++ defines it already
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

constexpr size_t FILENAME_SIZE = 256;
constexpr size_t INFO_SIZE = 128;

const char* const SENDER_PROMPT = "请输入发送人信息（格式：10位学号,姓名）：";
const char* const RECEIVER_PROMPT = "请输入接收人信息（格式：10位学号,姓名）：";

void set_console_utf8() {
#ifdef _WIN32
    // Failures are ignored: the output is merely less pretty.
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE)
        return;
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode))
        return;
    SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    // POSIX terminals already take UTF-8 and ANSI escapes; there is nothing to switch on.
#endif
}

// The MinGW printf hands a stream its text one byte at a time, and a console shows a UTF-8
// character split over several writes as mojibake. So on a console the output is held in a
// buffer that leaves whole: the prompts flush it before every read of standard input, and the
// program's end flushes the rest. In binary mode a flush is one write (in text mode the C
// runtime writes its CR LF translation in pieces); the console starts a new line at a line
// feed all the same. Pipes and files keep their text mode and the C runtime's buffering.
void buffer_console_output() {
#ifdef _WIN32
    constexpr size_t CONSOLE_BUFFER_BYTES = 64 * 1024;
    for (std::FILE* stream : {stdout, stderr}) {
        DWORD mode = 0;
        if (!GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode))
            continue;
        _setmode(_fileno(stream), _O_BINARY);
        std::setvbuf(stream, nullptr, _IOFBF, CONSOLE_BUFFER_BYTES);
    }
#else
    // A terminal here takes UTF-8 in any pieces; the C library's line buffering stays.
#endif
}

// ---- Post-compression report -------------------------------------------------------------

constexpr size_t CODE_LINE_SIZE = 1024;
constexpr int64_t TAIL_BYTES = 16;
constexpr size_t REPORT_BLOCK_SIZE = 64 * 1024;
constexpr size_t BYTE_VALUES = 256;

struct FreqItem {
    unsigned char byte;
    size_t frequency;
};

using FreqTable = std::array<FreqItem, BYTE_VALUES>;

// A node of the tree that measures the weighted path length. A leaf has no children; an
// internal node always has both, and owns them.
struct HuffmanNode {
    unsigned char byte = 0;
    size_t frequency = 0;
    std::unique_ptr<HuffmanNode> left;
    std::unique_ptr<HuffmanNode> right;
};

// Releases a whole tree; null is accepted. Adopting the root is enough: every node owns its
// children.
void free_huffman_tree(HuffmanNode* root) {
    std::unique_ptr<HuffmanNode> owned(root);
}

struct HuffmanTreeDeleter {
    void operator()(HuffmanNode* root) const noexcept { free_huffman_tree(root); }
};
using HuffmanTree = std::unique_ptr<HuffmanNode, HuffmanTreeDeleter>;

// Null when memory runs out.
std::unique_ptr<HuffmanNode> create_node(unsigned char byte, size_t frequency) {
    std::unique_ptr<HuffmanNode> node(new (std::nothrow) HuffmanNode);
    if (node) {
        node->byte = byte;
        node->frequency = frequency;
    }
    return node;
}

// Reads `file` from where it stands to its end in blocks, handing each to `consume` and
// noting it in `progress`. False when a read fails. Files are hashed and counted this way,
// never held whole: the report costs no memory beside what compression used, whatever the
// file's size.
template <typename Consume>
bool for_each_block(std::FILE* file, Progress* progress, Consume&& consume) {
    std::array<unsigned char, REPORT_BLOCK_SIZE> block;
    uint64_t done = 0;
    for (;;) {
        size_t got = std::fread(block.data(), 1, block.size(), file);
        consume(block.data(), got);
        done += got;
        progress->update(done);
        if (got < block.size())
            return std::ferror(file) == 0;
    }
}

// The size of a file just opened, for the progress bar alone (0 when it cannot be taken);
// the file is left at its start.
uint64_t size_for_progress(std::FILE* file) {
    int64_t end = end_position(file);
    std::rewind(file);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
}

void print_input_hash(const char* filename) {
    FilePtr file(open_file(filename, "rb"));
    if (!file) {
        std::fflush(stdout);  // a buffered console shows the two streams in the order written
        std::fprintf(stderr, "无法打开原文件: %s\n", filename);
        std::fflush(stderr);
        return;
    }
    Progress progress;
    progress.start("校验", size_for_progress(file.get()));
    uint64_t hash = FNV_OFFSET;
    bool read = for_each_block(file.get(), &progress, [&](const unsigned char* data, size_t size) {
        hash = fnv1a_64_extend(hash, data, size);
    });
    progress.clear();
    if (!read) {
        std::fflush(stdout);
        std::fprintf(stderr, "读取原文件数据失败\n");
        std::fflush(stderr);
        return;
    }
    std::printf("\n原文件 HASH 值: 0x%016llx\n", static_cast<unsigned long long>(hash));
}

void print_code_table(const char* code_filename) {
    std::printf("\n=== 编码表内容 (HEX 显示) ===\n");
    FilePtr file(open_file(code_filename, "r"));
    if (!file) {
        std::printf("无法打开编码表文件: %s\n", code_filename);
        return;
    }
    std::array<char, CODE_LINE_SIZE> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), file.get()) != nullptr)
        std::printf("%s", line.data());
}

void print_compressed_tail_and_hash(const char* compressed_filename) {
    std::printf("\n=== 压缩文件最后16个字节 (HEX 显示) ===\n");
    FilePtr file(open_file(compressed_filename, "rb"));
    if (!file) {
        std::printf("无法打开压缩文件: %s\n", compressed_filename);
        return;
    }
    int64_t comp_size = end_position(file.get());
    if (comp_size < 0) {
        std::printf("获取压缩文件大小失败\n");
        return;
    }
    std::rewind(file.get());
    // The last bytes are kept as the blocks go by; the file's size says where they start.
    const int64_t start = comp_size < TAIL_BYTES ? 0 : comp_size - TAIL_BYTES;
    std::array<unsigned char, TAIL_BYTES> tail{};
    int64_t offset = 0;
    uint64_t hash = FNV_OFFSET;
    Progress progress;
    progress.start("校验", static_cast<uint64_t>(comp_size));
    bool read = for_each_block(file.get(), &progress, [&](const unsigned char* data, size_t size) {
        // Only the comp_size bytes measured count, as if read in one piece of that size.
        int64_t end = std::min(offset + static_cast<int64_t>(size), comp_size);
        hash = fnv1a_64_extend(hash, data, static_cast<size_t>(end - offset));
        for (int64_t k = std::max(offset, start); k < end; ++k)
            tail[static_cast<size_t>(k - start)] = data[k - offset];
        offset = end;
    });
    progress.clear();
    if (!read || offset != comp_size) {
        std::printf("读取压缩文件数据失败\n");
        return;
    }
    std::printf("总字节数: %lld\n", static_cast<long long>(comp_size));
    std::printf("最后16个字节: ");
    for (int64_t i = start; i < comp_size; ++i)
        std::printf("%02X ", tail[static_cast<size_t>(i - start)]);
    std::printf("\n");
    // The header is hashed with the packed bits: a changed sender line changes the hash.
    std::printf("压缩数据 HASH 值: 0x%016llx\n", static_cast<unsigned long long>(hash));
}

// Fills `items` with the byte counts of the file and returns the number of bytes counted;
// 0 when the file cannot be opened or is empty. The table is valid in every case.
size_t count_file_frequencies(const char* filename, FreqTable& items) {
    for (size_t i = 0; i < items.size(); ++i)
        items[i] = FreqItem{static_cast<unsigned char>(i), 0};
    FilePtr file(open_file(filename, "rb"));
    if (!file)
        return 0;
    ByteCounter counter;
    size_t total = 0;
    Progress progress;
    progress.start("统计", size_for_progress(file.get()));
    // A read error ends the count like the end of the file.
    for_each_block(file.get(), &progress, [&](const unsigned char* data, size_t size) {
        counter.add(data, size);
        total += size;
    });
    for (size_t b = 0; b < BYTE_VALUES; ++b)
        items[b].frequency = counter.count(b);
    return total;
}

// Larger frequency first.
int cmp_freq_desc(const FreqItem& a, const FreqItem& b) {
    if (a.frequency < b.frequency)
        return 1;
    if (a.frequency > b.frequency)
        return -1;
    return 0;
}

void display_frequency_list(const FreqTable& items) {
    // A copy is sorted, leaving the caller's table as it was for the tree builder (whose WPL
    // would be the same in any order).
    FreqTable sorted = items;
    std::sort(sorted.begin(), sorted.end(),
              [](const FreqItem& a, const FreqItem& b) { return cmp_freq_desc(a, b) < 0; });
    std::printf("字节值(HEX)   次数\n");
    for (const FreqItem& item : sorted) {
        if (item.frequency != 0)
            std::printf("0x%02X\t\t%zu\n", item.byte, item.frequency);
    }
}

// Smaller frequency first.
int cmp_huffnode_asc(const HuffmanNode& a, const HuffmanNode& b) {
    if (a.frequency > b.frequency)
        return 1;
    if (a.frequency < b.frequency)
        return -1;
    return 0;
}

// The tree over the non-zero counts, always joining two lightest nodes; null when no count
// is above zero or memory runs out. Ties may go either way: the weighted path length is the
// same.
HuffmanTree build_huffman_tree(const FreqItem* items, size_t count) {
    std::vector<std::unique_ptr<HuffmanNode>> nodes;
    nodes.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (items[i].frequency == 0)
            continue;
        auto leaf = create_node(items[i].byte, items[i].frequency);
        if (!leaf)
            return nullptr;
        nodes.push_back(std::move(leaf));
    }
    if (nodes.empty())
        return nullptr;
    // At most 255 joins over at most 256 nodes: sorting again before each join is cheap.
    while (nodes.size() > 1) {
        std::sort(nodes.begin(), nodes.end(),
                  [](const auto& a, const auto& b) { return cmp_huffnode_asc(*a, *b) < 0; });
        auto parent = create_node(0, nodes[0]->frequency + nodes[1]->frequency);
        if (!parent)
            return nullptr;
        parent->left = std::move(nodes[0]);
        parent->right = std::move(nodes[1]);
        nodes.erase(nodes.begin(), nodes.begin() + 2);
        nodes.push_back(std::move(parent));
    }
    return HuffmanTree(nodes[0].release());
}

size_t calc_wpl(const HuffmanNode* root, size_t depth) {
    if (root == nullptr)
        return 0;
    if (!root->left && !root->right)
        return depth * root->frequency;
    return calc_wpl(root->left.get(), depth + 1) + calc_wpl(root->right.get(), depth + 1);
}

// Reads the three files back from disk; each section that fails says so and the next one
// runs all the same, since the compression itself has already succeeded.
void print_compression_report(const char* filename) {
    print_input_hash(filename);

    // Formed from the whole name, as the compressor forms them, so that the report reads the
    // very files that were written.
    const std::string compressed_filename = std::string(filename) + ".hfm";
    const std::string code_filename = std::string(filename) + ".hfm.code";

    print_code_table(code_filename.c_str());
    print_compressed_tail_and_hash(compressed_filename.c_str());

    std::printf("\n=== 词频统计列表 ===\n");
    FreqTable freq_items;
    size_t total_bytes = count_file_frequencies(filename, freq_items);
    if (total_bytes == 0) {
        std::printf("读取原始文件失败或文件为空。\n");
    } else {
        std::printf("原始文件总字节数: %zu\n", total_bytes);
        display_frequency_list(freq_items);
    }

    std::printf("\n=== Huffman 树的加权路径长度 (WPL) ===\n");
    HuffmanTree root = build_huffman_tree(freq_items.data(), freq_items.size());
    if (root)
        std::printf("Huffman 树 WPL 值: %zu\n", calc_wpl(root.get(), 0));
    else
        std::printf("构造 Huffman 树失败。\n");
}

// ---- Commands ------------------------------------------------------------------------------

// False when input ended before the dialogue was answered: the command is called off before
// any file is touched, since nobody chose the names, lines or transform it would use.
bool run_compress_command() {
    std::array<char, FILENAME_SIZE> filename{};
    std::array<char, INFO_SIZE> sender_info{};
    std::array<char, INFO_SIZE> receiver_info{};
    if (!ui_prompt_filename("\n请输入待压缩的文件名: ", filename.data(), filename.size()) ||
        !ui_prompt_info(SENDER_PROMPT, sender_info.data(), sender_info.size()) ||
        !ui_prompt_info(RECEIVER_PROMPT, receiver_info.data(), receiver_info.size()))
        return false;
    bool ended = false;
    int method_choice = ui_prompt_encryption_method(&ended);
    if (ended)
        return false;
    EncryptMethod method = method_choice == 1 ? ENCRYPT_METHOD_XOR : ENCRYPT_METHOD_OFFSET;

    if (compress_file(filename.data(), sender_info.data(), receiver_info.data(), method) != 0) {
        ui_display_message("文件压缩失败！");
        return true;
    }
    ui_display_message("文件压缩成功！");
    print_compression_report(filename.data());
    return true;
}

// As run_compress_command. The method is asked inside decompress_file, which fails before
// writing anything when input ends there; the stream's end-of-file mark tells that failure
// from the others. (A failure after a last line typed without a line break meets the mark
// too, and is then reported as the end of input it also is.)
bool run_decompress_command() {
    std::array<char, FILENAME_SIZE> filename{};
    std::array<char, INFO_SIZE> sender_info{};
    std::array<char, INFO_SIZE> receiver_info{};
    if (!ui_prompt_filename("\n请输入待解压的压缩文件名 (*.hfm): ", filename.data(),
                            filename.size()) ||
        !ui_prompt_info(SENDER_PROMPT, sender_info.data(), sender_info.size()) ||
        !ui_prompt_info(RECEIVER_PROMPT, receiver_info.data(), receiver_info.size()))
        return false;

    if (decompress_file(filename.data(), sender_info.data(), receiver_info.data()) == 0) {
        ui_display_message("文件解压成功！");
        return true;
    }
    if (std::feof(stdin))
        return false;
    ui_display_message("文件解压失败！");
    return true;
}

// The quit command; its result is the program's exit status.
int quit() {
    ui_display_message("退出程序...");
    ui_cleanup();
    return 0;
}

}  // namespace

int main() {
    buffer_console_output();
    set_console_utf8();
    ui_init();
    for (;;) {
        ui_display_message("主菜单：压缩(c)、解压(d) 或 退出(q)");
        char choice = ui_show_main_menu();
        bool answered = true;
        switch (choice) {
            case 'q':
            case 'Q':
                return quit();
            case 'c':
            case 'C':
                answered = run_compress_command();
                break;
            case 'd':
            case 'D':
                answered = run_decompress_command();
                break;
            default:
                ui_display_message("无效的选择，请输入 'c'、'd' 或 'q'。");
                break;
        }
        if (!answered) {
            // Nothing more can be typed, so a pause and another menu would only go through
            // the motions: the program ends as if told to quit.
            ui_display_message("输入已结束，操作已取消");
            return quit();
        }
        ui_pause();
    }
}
