#!/usr/bin/env python3
# A session typed key by key into BUILD/hfm.exe in a Wine console inside tmux.
#
#     tests/wine_console.py BUILD_DIR      (run by `make test-windows`)
#
# On a console, a UTF-8 character that reaches it in pieces shows as mojibake: each prompt and
# message must show whole where a person reads it, and each restored file must equal the
# original, whose name is Chinese. What is typed is Chinese too: the name, and the sender and
# receiver lines, which N.hfm's header must hold byte for byte. Then Ctrl-C typed while a large
# file is being compressed must leave the folder as it was and say so. Exit status 0 when all
# holds, 1 with the faults listed.
import os
import shlex
import subprocess
import sys
import tempfile
import time

NAME = "笔记 草稿.txt"
LINES = ["2024000001,张三", "2024000002,李四"]
MENU, PAUSE = "请输入您的选择 >", "按回车键继续..."
SESSION = [(MENU, "c"), ("请输入待压缩的文件名:", NAME), ("姓名）：", LINES[0]),
           ("姓名）：", LINES[1]), ("请选择加密方式 >", "1"), (PAUSE, "")]
for method in "123":
    SESSION += [(MENU, "d"), ("(*.hfm):", NAME + ".hfm"), ("姓名）：", LINES[0]),
                ("姓名）：", LINES[1]), ("(1或2或3):", method), (PAUSE, None)]
SESSION.append((MENU, "q"))
SHOWN_WHOLE = ["文件压缩/解压缩系统 - 欢迎使用", "[C] 压缩文件", "选择加密方式", "XOR 加密",
               "编码表文件已保存: " + NAME + ".hfm.code", "文件压缩成功！", "基于哈希的快速解码",
               "输出文件: 笔记 草稿.txt_recovered.txt", "文件解压成功！", "感谢使用，再见！"]
BIG = "大文件.bin"
INTERRUPTED = "操作已中断：没有写入任何文件，原有文件保持不变"


def main(build):
    work = tempfile.mkdtemp(prefix="hfm_wine_console_")
    original = ("每一行都有中文。\r\n" * 200 + "".join(map(chr, range(32, 127)))).encode()
    with open(os.path.join(work, NAME), "wb") as f:
        f.write(original)
    with open(os.path.join(work, BIG), "wb") as f:
        f.write(os.urandom(96 << 20).translate(bytes(b"abcdefghijklmnopqrstuvwxyz0123456789"[i % 36] for i in range(256))))
    with open(os.path.join(work, BIG + ".hfm"), "wb") as f:
        f.write(b"earlier")
    socket = os.path.join(work, "tmux.socket")
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")

    def tmux(*args):
        return subprocess.run(["tmux", "-u", "-S", socket, *args], env=env, check=True,
                              capture_output=True, text=True).stdout

    def screen():
        return tmux("capture-pane", "-p", "-J", "-S", "-", "-t", "hfm").split("\n")

    def wait_for(prompt, seconds=30.0):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            shown = [line.rstrip() for line in screen() if line.strip()]
            if shown and shown[-1].endswith(prompt):
                return
            time.sleep(0.05)
        raise TimeoutError("no %r; the screen:\n%s" % (prompt, "\n".join(screen()[-20:])))

    wine_run = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "wine-run")
    program = shlex.quote(wine_run) + " " + shlex.quote(os.path.join(build, "hfm.exe"))
    faults, restored = [], 0
    def start():
        tmux("-f", "/dev/null", "new-session", "-d", "-s", "hfm", "-x", "120", "-y", "50", "-c",
             work, program + "; echo hfm-ended-$?; sleep 600")
        tmux("set-option", "-t", "hfm", "history-limit", "100000")

    start()
    text = ""
    try:
        for prompt, keys in SESSION:
            wait_for(prompt)
            if keys is None:
                path = os.path.join(work, NAME.replace(".txt", ".txt_recovered.txt"))
                if os.path.exists(path) and open(path, "rb").read() == original:
                    restored += 1
                    os.remove(path)
                keys = ""
            for ch in keys:
                tmux("send-keys", "-t", "hfm", "-l", ch)
            tmux("send-keys", "-t", "hfm", "Enter")
        wait_for("hfm-ended-0")
        text = "\n".join(screen())
        # Ctrl-C while the compressed file is being written: its temporary goes, the earlier
        # file stays, and the program ends as Ctrl-C ends it (STATUS_CONTROL_C_EXIT).
        tmux("kill-session", "-t", "hfm")
        start()
        before = sorted(os.listdir(work))
        for prompt, keys in [(MENU, "c"), ("请输入待压缩的文件名:", BIG), ("姓名）：", "S"),
                             ("姓名）：", "R"), ("请选择加密方式 >", "1")]:
            wait_for(prompt)
            tmux("send-keys", "-t", "hfm", "-l", keys)
            tmux("send-keys", "-t", "hfm", "Enter")
        end = time.monotonic() + 30
        while time.monotonic() < end and set(os.listdir(work)) <= set(before):
            time.sleep(0.01)
        tmux("send-keys", "-t", "hfm", "C-c")
        wait_for("hfm-ended-58")
        text += "\n".join(screen())
        if sorted(os.listdir(work)) != before:
            faults.append("after Ctrl-C the folder holds %s" % sorted(os.listdir(work)))
        if open(os.path.join(work, BIG + ".hfm"), "rb").read() != b"earlier":
            faults.append("Ctrl-C changed the earlier compressed file")
    except TimeoutError as stuck:
        faults.append(str(stuck))
    text = text or "\n".join(screen())
    tmux("kill-server")
    faults += ["not shown whole: " + t for t in SHOWN_WHOLE + [INTERRUPTED] if t not in text]
    if "\ufffd" in text:
        faults.append("a character shown as U+FFFD")
    try:
        header = open(os.path.join(work, NAME + ".hfm"), "rb").read(256)
    except OSError:
        header = b""
    if not header.startswith(("1\n%s\n%s\n" % tuple(LINES)).encode()):
        faults.append("N.hfm's header does not hold the typed lines: %r" % header[:80])
    if restored != 3:
        faults.append("%d of 3 decompressions restored the original" % restored)
    print("\n".join(faults) or "wine console: the session showed whole and restored 3 times; Ctrl-C left nothing")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1])))
