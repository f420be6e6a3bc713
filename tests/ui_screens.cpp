// Draws the console screens that no command of hfm shows, so that the terminal check can
// measure them as a person would see them. Run with empty standard input.
#include "ui.h"

int main() {
    ui_prompt_decoding_method();
    ui_display_error("示例错误");
    ui_display_success("示例成功");
    ui_display_progress("压缩", 37);
    ui_display_progress("压缩", 100);
    return 0;
}
