#include <array>
#include <cstdio>

#include "compress.h"
#include "decompress.h"
#include "ui.h"

#ifdef _WIN32
#define NOMINMAX
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

// ---- Post-compression report -------------------------------------------------------------

void print_compression_report(const char* filename) {
    (void)filename;
}

// ---- Commands ------------------------------------------------------------------------------

void run_compress_command() {
    std::array<char, FILENAME_SIZE> filename{};
    std::array<char, INFO_SIZE> sender_info{};
    std::array<char, INFO_SIZE> receiver_info{};
    ui_prompt_filename("\n请输入待压缩的文件名: ", filename.data(), filename.size());
    ui_prompt_info(SENDER_PROMPT, sender_info.data(), sender_info.size());
    ui_prompt_info(RECEIVER_PROMPT, receiver_info.data(), receiver_info.size());
    int method_choice = ui_prompt_encryption_method();
    EncryptMethod method = method_choice == 1 ? ENCRYPT_METHOD_XOR : ENCRYPT_METHOD_OFFSET;

    if (compress_file(filename.data(), sender_info.data(), receiver_info.data(), method) != 0) {
        ui_display_message("文件压缩失败！");
        return;
    }
    ui_display_message("文件压缩成功！");
    print_compression_report(filename.data());
}

void run_decompress_command() {
    std::array<char, FILENAME_SIZE> filename{};
    std::array<char, INFO_SIZE> sender_info{};
    std::array<char, INFO_SIZE> receiver_info{};
    ui_prompt_filename("\n请输入待解压的压缩文件名 (*.hfm): ", filename.data(), filename.size());
    ui_prompt_info(SENDER_PROMPT, sender_info.data(), sender_info.size());
    ui_prompt_info(RECEIVER_PROMPT, receiver_info.data(), receiver_info.size());

    if (decompress_file(filename.data(), sender_info.data(), receiver_info.data()) == 0)
        ui_display_message("文件解压成功！");
    else
        ui_display_message("文件解压失败！");
}

}  // namespace

int main() {
    set_console_utf8();
    ui_init();
    for (;;) {
        ui_display_message("主菜单：压缩(c)、解压(d) 或 退出(q)");
        char choice = ui_show_main_menu();
        switch (choice) {
            case 'q':
            case 'Q':
                ui_display_message("退出程序...");
                ui_cleanup();
                return 0;
            case 'c':
            case 'C':
                run_compress_command();
                break;
            case 'd':
            case 'D':
                run_decompress_command();
                break;
            default:
                ui_display_message("无效的选择，请输入 'c'、'd' 或 'q'。");
                break;
        }
        ui_pause();
    }
}
