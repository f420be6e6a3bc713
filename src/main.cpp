#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "compress.h"
#include "decompress.h"
#include "input.h"
#include "interrupt.h"
#include "resources.h"
#include "ui.h"

namespace {

constexpr size_t FILENAME_SIZE = 256;
constexpr size_t INFO_SIZE = 128;

const char* const SENDER_PROMPT = "请输入发送人信息（格式：10位学号,姓名）：";
const char* const RECEIVER_PROMPT = "请输入接收人信息（格式：10位学号,姓名）：";

// The console takes UTF-8 both ways and escape sequences; on Windows its output is held in a
// buffer that leaves whole, so that no character is shown split.
void set_console_utf8() {
    ui_console_buffer_output();
    ui_console_utf8();
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

// The size of a file just opened, for the progress bar alone (0 when it cannot be taken);
// the file is left at its start.
uint64_t size_for_progress(std::FILE* file) {
    int64_t end = end_position(file);
    std::rewind(file);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
}

// What one reading of the input file tells the report.
struct InputScan {
    bool opened = false;
    bool read = false;  // false when a read failed before the end
    uint64_t hash = FNV_OFFSET;
    ByteCounter counter;
    size_t total = 0;  // bytes hashed and counted
};

// What one reading of the compressed file tells the report.
struct CompressedScan {
    bool opened = false;
    int64_t size = -1;  // its end position; negative when that could not be taken
    bool read = false;  // false when fewer than `size` bytes arrived
    uint64_t hash = FNV_OFFSET;
    std::array<unsigned char, TAIL_BYTES> tail{};
};

// Each byte of an FNV-1a hash waits on the multiply before it, which leaves the processor
// mostly idle: the compressed file's hash and the byte count, run in the same loop, fill that
// idle time and cost almost nothing over the input's hash alone.
void hash_side_by_side(InputScan* in, const unsigned char* a, CompressedScan* comp,
                       const unsigned char* b, size_t size) {
    uint64_t ha = in->hash;
    uint64_t hb = comp->hash;
    in->counter.add(a, size, [&](size_t i, unsigned char value) {
        ha = fnv1a_step(ha, value);
        hb = fnv1a_step(hb, b[i]);
    });
    in->hash = ha;
    in->total += size;
    comp->hash = hb;
}

// Takes in `size` bytes of the input file alone.
void scan_input(InputScan* in, const unsigned char* data, size_t size) {
    uint64_t hash = in->hash;
    in->counter.add(data, size,
                    [&](size_t, unsigned char value) { hash = fnv1a_step(hash, value); });
    in->hash = hash;
    in->total += size;
}

// Keeps what falls in the tail of the `got` bytes read from `offset` on, and returns how many
// of them count: only the `size` bytes measured do, as if the file were read in one piece of
// that size.
size_t keep_tail(CompressedScan* comp, int64_t offset, const unsigned char* data, size_t got) {
    const int64_t start = comp->size < TAIL_BYTES ? 0 : comp->size - TAIL_BYTES;
    const int64_t end = std::min(offset + static_cast<int64_t>(got), comp->size);
    for (int64_t k = std::max(offset, start); k < end; ++k)
        comp->tail[static_cast<size_t>(k - start)] = data[k - offset];
    return end > offset ? static_cast<size_t>(end - offset) : 0;
}

// Reads the input file and the compressed file once each, side by side in blocks: the input
// is hashed and counted, the compressed file hashed and its last bytes kept. Neither is held
// whole, so the report costs no memory beside what compression used, whatever the sizes.
void scan_files(const char* filename, const char* compressed_filename, InputScan* in,
                CompressedScan* comp) {
    FilePtr input(open_file(filename, "rb"));
    FilePtr packed(open_file(compressed_filename, "rb"));
    in->opened = input != nullptr;
    comp->opened = packed != nullptr;
    uint64_t total = input ? size_for_progress(input.get()) : 0;
    if (packed) {
        comp->size = end_position(packed.get());
        std::rewind(packed.get());
        if (comp->size < 0)
            packed.reset();
        else
            total += static_cast<uint64_t>(comp->size);
    }
    Progress progress;
    progress.start("校验", total);
    std::array<unsigned char, REPORT_BLOCK_SIZE> a;
    std::array<unsigned char, REPORT_BLOCK_SIZE> b;
    int64_t comp_done = 0;
    while (input || packed) {
        size_t got_a = 0;
        size_t got_b = 0;
        if (input) {
            got_a = std::fread(a.data(), 1, a.size(), input.get());
            if (got_a < a.size()) {
                // A read error ends the count like the end of the file.
                in->read = std::ferror(input.get()) == 0;
                input.reset();
            }
        }
        if (packed) {
            size_t got = std::fread(b.data(), 1, b.size(), packed.get());
            got_b = keep_tail(comp, comp_done, b.data(), got);
            if (got < b.size()) {
                comp->read = std::ferror(packed.get()) == 0 &&
                             comp_done + static_cast<int64_t>(got_b) == comp->size;
                packed.reset();
            }
        }
        const size_t both = std::min(got_a, got_b);
        hash_side_by_side(in, a.data(), comp, b.data(), both);
        scan_input(in, a.data() + both, got_a - both);
        comp->hash = fnv1a_64_extend(comp->hash, b.data() + both, got_b - both);
        comp_done += static_cast<int64_t>(got_b);
        check_interrupt();
        progress.update(in->total + static_cast<uint64_t>(comp_done));
    }
}

void print_input_hash(const char* filename, const InputScan& in) {
    const char* failure = !in.opened ? "无法打开原文件: %s\n"
                          : !in.read ? "读取原文件数据失败\n"
                                     : nullptr;
    if (failure != nullptr) {
        std::fflush(stdout);  // a buffered console shows the two streams in the order written
        std::fprintf(stderr, failure, filename);
        std::fflush(stderr);
        return;
    }
    std::printf("\n原文件 HASH 值: 0x%016llx\n", static_cast<unsigned long long>(in.hash));
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

void print_compressed_tail_and_hash(const char* compressed_filename, const CompressedScan& comp) {
    std::printf("\n=== 压缩文件最后16个字节 (HEX 显示) ===\n");
    if (!comp.opened) {
        std::printf("无法打开压缩文件: %s\n", compressed_filename);
        return;
    }
    if (comp.size < 0) {
        std::printf("获取压缩文件大小失败\n");
        return;
    }
    if (!comp.read) {
        std::printf("读取压缩文件数据失败\n");
        return;
    }
    std::printf("总字节数: %lld\n", static_cast<long long>(comp.size));
    std::printf("最后16个字节: ");
    const int64_t start = comp.size < TAIL_BYTES ? 0 : comp.size - TAIL_BYTES;
    for (int64_t i = start; i < comp.size; ++i)
        std::printf("%02X ", comp.tail[static_cast<size_t>(i - start)]);
    std::printf("\n");
    // The header is hashed with the packed bits: a changed sender line changes the hash.
    std::printf("压缩数据 HASH 值: 0x%016llx\n", static_cast<unsigned long long>(comp.hash));
}

// The byte counts of the input file; the table is valid in every case.
FreqTable frequency_table(const InputScan& in) {
    FreqTable items;
    for (size_t b = 0; b < BYTE_VALUES; ++b)
        items[b] = FreqItem{static_cast<unsigned char>(b), in.counter.count(b)};
    return items;
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
    // Named as the compressor names them, so that the report reads the very files written.
    const std::string compressed_filename = compressed_file_name(filename);
    const std::string code_filename = code_table_file_name(filename);

    InputScan input;
    CompressedScan compressed;
    scan_files(filename, compressed_filename.c_str(), &input, &compressed);

    print_input_hash(filename, input);
    print_code_table(code_filename.c_str());
    print_compressed_tail_and_hash(compressed_filename.c_str(), compressed);

    std::printf("\n=== 词频统计列表 ===\n");
    FreqTable freq_items = frequency_table(input);
    if (input.total == 0) {
        std::printf("读取原始文件失败或文件为空。\n");
    } else {
        std::printf("原始文件总字节数: %zu\n", input.total);
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

// The answers of a dialogue's text prompts, each in a buffer of its own size.
struct DialogueLines {
    std::array<char, FILENAME_SIZE> filename{};
    std::array<char, INFO_SIZE> sender_info{};
    std::array<char, INFO_SIZE> receiver_info{};
};

// A file dragged onto a console window arrives as its path in double quotes whenever the
// path holds a blank ("C:\Users\张三\Desktop\笔记 草稿.txt"); a Linux terminal quotes it
// with ' and adds a blank. A name that opens as typed is used as typed; otherwise one quoted
// path, blanks after it ignored, stands for the path inside its quotes.
void take_dragged_name(char* name) {
    if (FilePtr(open_file(name, "rb")))
        return;
    size_t length = std::strlen(name);
    while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '\t'))
        --length;
    const char quote = name[0];
    if (length < 3 || (quote != '"' && quote != '\'') || name[length - 1] != quote ||
        std::memchr(name + 1, quote, length - 2) != nullptr)
        return;
    std::memmove(name, name + 1, length - 2);
    name[length - 2] = '\0';
}

// Asks for the file name and the two lines. A line too long for its buffer is refused, with a
// message that names it: cut, it could name another file, and its rest would answer the next
// prompt. The dialogue goes on all the same, as for any answer that is refused later, so
// that each answer typed meets its own prompt. PROMPT_ENDED as soon as input ends.
PromptAnswer ask_name_and_lines(const char* filename_prompt, DialogueLines* lines) {
    struct Question {
        PromptAnswer (*ask)(const char*, char*, size_t);
        const char* prompt;
        const char* what;
        char* buffer;
        size_t size;
    };
    const Question questions[] = {
        {ui_prompt_filename, filename_prompt, "文件名", lines->filename.data(),
         lines->filename.size()},
        {ui_prompt_info, SENDER_PROMPT, "发送人信息", lines->sender_info.data(),
         lines->sender_info.size()},
        {ui_prompt_info, RECEIVER_PROMPT, "接收人信息", lines->receiver_info.data(),
         lines->receiver_info.size()},
    };
    PromptAnswer outcome = PROMPT_ANSWERED;
    for (const Question& q : questions) {
        PromptAnswer answer = q.ask(q.prompt, q.buffer, q.size);
        if (answer == PROMPT_ENDED)
            return answer;
        if (answer == PROMPT_TOO_LONG) {
            std::printf("%s过长：最多 %zu 字节\n", q.what, q.size - 1);
            outcome = answer;
        }
    }
    if (outcome == PROMPT_ANSWERED)
        take_dragged_name(lines->filename.data());
    return outcome;
}

// Ends the program after an interrupt, with a line that says what the command wrote.
[[noreturn]] void end_interrupted(const std::string& written) {
    std::printf("\n操作已中断：%s\n", written.c_str());
    end_as_interrupted();
}

const char* const NOTHING_WRITTEN = "没有写入任何文件，原有文件保持不变";

// False when input ended before the dialogue was answered: the command is called off before
// any file is touched, since nobody chose the names, lines or transform it would use. The
// work runs as interruptible; whether it was interrupted is asked once it has stopped, when
// a further interrupt would end the program at once.
bool run_compress_command() {
    DialogueLines lines;
    PromptAnswer answer = ask_name_and_lines("\n请输入待压缩的文件名: ", &lines);
    if (answer == PROMPT_ENDED)
        return false;
    bool ended = false;
    int method_choice = ui_prompt_encryption_method(&ended);
    if (ended)
        return false;
    if (answer == PROMPT_TOO_LONG) {
        ui_display_message("文件压缩失败！");
        return true;
    }
    EncryptMethod method = method_choice == 1 ? ENCRYPT_METHOD_XOR : ENCRYPT_METHOD_OFFSET;

    const char* filename = lines.filename.data();
    int status = -1;
    {
        InterruptibleWork work;
        Progress progress;
        status = compress_file(filename, lines.sender_info.data(), lines.receiver_info.data(),
                               method, &progress);
    }
    const std::string written =
        "已写入 " + compressed_file_name(filename) + " 和 " + code_table_file_name(filename);
    if (interrupt_noted())
        end_interrupted(status == 0 ? written : NOTHING_WRITTEN);
    if (status != 0) {
        ui_display_message("文件压缩失败！");
        return true;
    }
    ui_display_message("文件压缩成功！");
    {
        InterruptibleWork work;
        try {
            print_compression_report(filename);
        } catch (const Interrupted&) {
        }
    }
    if (interrupt_noted())
        end_interrupted(written);
    return true;
}

// As run_compress_command. The method is asked from inside decompress_file, which fails before
// writing anything when input ends there. (A failure after a last line typed without a line
// break meets the end of input too, and is then reported as the end of input it also is.)
bool run_decompress_command() {
    DialogueLines lines;
    PromptAnswer answer = ask_name_and_lines("\n请输入待解压的压缩文件名 (*.hfm): ", &lines);
    if (answer == PROMPT_ENDED)
        return false;
    int status = -1;
    if (answer == PROMPT_ANSWERED) {
        {
            InterruptibleWork work;
            Progress progress;
            status = decompress_file(lines.filename.data(), lines.sender_info.data(),
                                     lines.receiver_info.data(), ui_ask_decoding_method, &progress);
        }
        if (interrupt_noted())
            end_interrupted(status == 0 ? "已写入还原的文件" : NOTHING_WRITTEN);
    }
    if (status == 0) {
        ui_display_message("文件解压成功！");
        return true;
    }
    if (input_ended())
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
    set_console_utf8();
    catch_interrupts();
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
