#!/usr/bin/env python3
"""A whole session as a person has it, checked two ways.

  session_check.py terminal BUILD_DIR   types the session key by key into hfm inside tmux,
                                        measures every box on the screen, checks that no
                                        coloured line leaves its colour on, and compares each
                                        restored file with the original.
  session_check.py valgrind BUILD_DIR   pipes the same session into hfm under valgrind.
  session_check.py wine BUILD_DIR       the terminal check for BUILD_DIR/hfm.exe in a Wine
                                        console (tools/wine-run), on a file with a Chinese
                                        name: a character that reaches the console in
                                        pieces shows as mojibake and breaks the boxes.

Exit status 0 when everything holds, 1 with the faults listed otherwise.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata

SENDER = "请输入发送人信息（格式：10位学号,姓名）："
RECEIVER = "请输入接收人信息（格式：10位学号,姓名）："
MENU = "请输入您的选择 >"
PAUSE = "按回车键继续..."
SAMPLE = "sample.txt"
RESTORED = "sample.txt_recovered.txt"
WINE_SAMPLE = "笔记 草稿.txt"
SUCCESS = "文件解压成功！"

# (prompt the screen ends with, what the person types; None checks the restored file first)
SESSION = [
    (MENU, "x"),
    (PAUSE, ""),
    (MENU, "c"),
    ("请输入待压缩的文件名:", SAMPLE),
    (SENDER, "2024000001,张三"),
    (RECEIVER, "2024000002,李四"),
    ("请选择加密方式 >", "1"),
    (PAUSE, ""),
]
for method in "123":
    SESSION += [
        (MENU, "d"),
        ("请输入待解压的压缩文件名 (*.hfm):", SAMPLE + ".hfm"),
        (SENDER, "2024000001,张三"),
        (RECEIVER, "2024000002,李四"),
        ("请输入解码方式选择(1或2或3):", method),
        (PAUSE, None),
    ]
SESSION.append((MENU, "q"))

# Each box's name, the text that tells it apart, and its row widths in columns. The farewell
# row and the decoding-method rows are narrower than their frames as the texts stand; they are
# pinned here so that any change, to them or to any other box, shows.
BOXES = {
    "welcome": ("欢迎使用", [52, 52, 52]),
    "farewell": ("再见", [52, 50, 52]),
    "main menu": ("主菜单", [42] * 5),
    "transform": ("选择加密方式", [40] * 4),
    "decoding method": ("选择解码方式", [40, 39, 39, 39, 39]),
    "message": (None, [42, 42]),  # the two rules; the text between them is open on the right
}
BOX_CHARS = set("╔╗╚╝║═┌┐└┘│─")
END_MARK = "hfm-check-ended-with"
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "wine-run")


def columns(text):
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def check_boxes(lines, unseen_allowed=()):
    """Faults for every box on the screen whose row widths differ from BOXES, for a box never
    seen (but those in unseen_allowed), and for fragments in no box."""
    found, faults, i = [], [], 0
    while i < len(lines):
        line = lines[i].rstrip()
        if line and set(line) == {"═"} and i + 2 < len(lines):
            found.append(("message", [columns(line), columns(lines[i + 2].rstrip())]))
            i += 3
            continue
        if line[:1] in ("╔", "┌"):
            rows = [line]
            while i + 1 < len(lines) and rows[-1][:1] not in ("╚", "└"):
                i += 1
                rows.append(lines[i].rstrip())
            text = "".join(rows)
            name = next((n for n, (title, _) in BOXES.items() if title and title in text),
                        "unknown: " + rows[0])
            found.append((name, [columns(r) for r in rows]))
        elif BOX_CHARS & set(line):
            faults.append("box fragment outside any box: %r" % line)
        i += 1
    expected = {name: widths for name, (_, widths) in BOXES.items()}
    faults += ["%s box rows %s, expected %s" % (name, widths, expected.get(name))
               for name, widths in found if expected.get(name) != widths]
    missing = set(BOXES) - {name for name, _ in found} - set(unseen_allowed)
    if missing:
        faults.append("boxes never seen: %s" % sorted(missing))
    print("boxes seen: %d; widths: %s" % (len(found), dict(reversed(found))))
    return faults


SGR = re.compile(rb"\x1b\[([0-9;]*)m")
OTHER_ESCAPE = re.compile(rb"\x1b\[[0-9;?]*[A-Za-ln-z]")


def check_colours(raw, source):
    """Every line that shows text in colour must have the colour reset by its line break."""
    faults, coloured, on = [], 0, False
    for line in raw.split(b"\n"):
        shown_in_colour, pos = False, 0
        for piece, code in [(m.start(), m) for m in SGR.finditer(line)] + [(len(line), None)]:
            text = OTHER_ESCAPE.sub(b"", line[pos:piece])
            if on and text.strip():
                shown_in_colour = True
            if code is not None:
                on = code.group(1) not in (b"", b"0")
                pos = code.end()
        coloured += shown_in_colour
        if shown_in_colour and on:
            faults.append("%s: coloured line without a reset: %r" % (source, line))
    print("%s: %d coloured lines, each checked for its reset" % (source, coloured))
    if coloured == 0:
        faults.append("%s: no coloured line at all" % source)
    return faults


class Tmux:
    def __init__(self, workdir):
        self.socket = os.path.join(workdir, "tmux.socket")  # private, and gone with workdir
        self.env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.conf = os.path.join(workdir, "tmux.conf")
        with open(self.conf, "w") as f:
            f.write("set -g history-limit 100000\nset -g remain-on-exit on\n"
                    "set -g default-size 120x50\n")
        self.workdir = workdir

    def run(self, *args):
        return subprocess.run(["tmux", "-u", "-S", self.socket, "-f", self.conf, *args],
                              env=self.env, check=True, capture_output=True,
                              text=True).stdout

    def start(self, name, command):
        """Starts `command` in a window of its own. Its output goes to name.raw from the first
        byte on, since the command waits for a line before it starts, and ends with a mark
        that carries its exit status (tmux 3.3 sometimes never shows a dead pane's status)."""
        where = ["new-session", "-s"] if name == "hfm" else ["new-window", "-t"]
        self.run(*where, "check", "-d", "-n", name, "-c", self.workdir,
                 "read _; %s; printf '\\n%s %%d\\n' $?" % (command, END_MARK))
        raw = os.path.join(self.workdir, name + ".raw")
        self.run("pipe-pane", "-o", "-t", "check:" + name, "cat >> " + shlex.quote(raw))
        self.run("send-keys", "-t", "check:" + name, "Enter")  # releases the `read`
        return raw

    def screen(self, name, history=False):
        extra = ["-S", "-", "-E", "-"] if history else []
        return self.run("capture-pane", "-p", "-J", "-t", "check:" + name, *extra).split("\n")

    def exit_status(self, raw):
        """The exit status once the command has ended and tmux has taken all of its output."""
        if not os.path.exists(raw):
            return None
        found = re.search(END_MARK.encode() + rb" (\d+)\r\n", open(raw, "rb").read())
        return int(found.group(1)) if found else None

    def wait(self, what, ready, timeout=15.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if ready():
                return
            time.sleep(0.02)
        raise TimeoutError("waited %.0f s for %s" % (timeout, what))

    def type(self, name, text):
        for ch in text:
            self.run("send-keys", "-t", "check:" + name, "-l", ch)
        self.run("send-keys", "-t", "check:" + name, "Enter")


def ends_with_prompt(tmux, prompt):
    shown = [line.rstrip() for line in tmux.screen("hfm") if line.strip()]
    return bool(shown) and shown[-1].endswith(prompt)


def terminal(build, workdir, original, wine=None, sample=SAMPLE):
    """`wine` runs the Windows programs of `build` through it."""
    faults = []
    tmux = Tmux(workdir)

    def program(name):
        if wine is None:
            return shlex.quote(os.path.join(build, name))
        return shlex.quote(wine) + " " + shlex.quote(os.path.join(build, name + ".exe"))

    try:
        raw = tmux.start("hfm", program("hfm"))
        restored = 0
        for prompt, keys in SESSION:
            tmux.wait(prompt, lambda: ends_with_prompt(tmux, prompt))
            if keys is not None:
                keys = keys.replace(SAMPLE, sample)
            if keys is None:
                path = os.path.join(workdir, sample + RESTORED[len(SAMPLE):])
                if not os.path.exists(path) or open(path, "rb").read() != original:
                    faults.append("restored file %d differs from the original" % (restored + 1))
                else:
                    restored += 1
                    os.remove(path)
                keys = ""
            tmux.type("hfm", keys)
        tmux.wait("hfm to end", lambda: tmux.exit_status(raw) is not None)
        if tmux.exit_status(raw) != 0:
            faults.append("hfm ended with status %s" % tmux.exit_status(raw))
        screen = tmux.screen("hfm", history=True)
        if sum(SUCCESS in line for line in screen) != 3 or restored != 3:
            faults.append("%d of 3 decompressions restored the file" % restored)

        # The screens no command shows need the console set-up of hfm's own start, which on
        # Windows only the program does; there they are left out.
        if wine is None:
            screens_raw = tmux.start("screens", program("ui_screens") + " < /dev/null")
            tmux.wait("ui_screens to end", lambda: tmux.exit_status(screens_raw) is not None)
            screen += tmux.screen("screens", history=True)
            faults += check_colours(open(screens_raw, "rb").read(), "ui_screens")

        faults += check_boxes(screen, () if wine is None else ("decoding method",))
        faults += check_colours(open(raw, "rb").read(), "hfm")
    except TimeoutError as stuck:
        faults.append(str(stuck) + "; the screen then:\n" + "\n".join(tmux.screen("hfm")))
    finally:
        subprocess.run(["tmux", "-S", tmux.socket, "kill-server"], capture_output=True)
    return faults


def valgrind(build, workdir, original):
    typed = "".join((keys or "") + "\n" for _, keys in SESSION)
    log = os.path.join(workdir, "valgrind.log")
    run = subprocess.run(["valgrind", "--leak-check=full", "--show-leak-kinds=all",
                          "--errors-for-leak-kinds=all", "--error-exitcode=1",
                          "--log-file=" + log, os.path.join(build, "hfm")],
                         input=typed.encode(), capture_output=True, cwd=workdir)
    summary = [line.split("== ", 1)[-1] for line in open(log).read().splitlines()
               if "ERROR SUMMARY" in line or "in use at exit" in line or "definitely" in line
               or "All heap blocks were freed" in line]
    print("\n".join(summary))
    faults = []
    if run.returncode != 0:
        faults.append("valgrind or hfm ended with status %d (see the summary above)" %
                      run.returncode)
    if run.stdout.decode(errors="replace").count(SUCCESS) != 3:
        faults.append("not every decompression succeeded")
    restored = os.path.join(workdir, RESTORED)
    if not os.path.exists(restored) or open(restored, "rb").read() != original:
        faults.append("the restored file differs from the original")
    return faults


def report(faults):
    for fault in faults:
        print("FAULT:", fault)
    print("FAILED" if faults else "passed")
    return 1 if faults else 0


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("terminal", "valgrind", "wine"):
        print(__doc__)
        return 2
    tool, check, sample = {
        "terminal": ("tmux", terminal, SAMPLE),
        "valgrind": ("valgrind", valgrind, SAMPLE),
        "wine": ("tmux", lambda *args: terminal(*args, wine=WINE_RUN, sample=WINE_SAMPLE),
                 WINE_SAMPLE),
    }[sys.argv[1]]
    if shutil.which(tool) is None:
        return report([tool + " is not installed"])
    original = bytes(range(256)) * 3 + "每个字节都出现，中文也在。\n".encode() * 40
    with tempfile.TemporaryDirectory(prefix="hfm_session_") as workdir:
        with open(os.path.join(workdir, sample), "wb") as f:
            f.write(original)
        return report(check(os.path.abspath(sys.argv[2]), workdir, original))


if __name__ == "__main__":
    sys.exit(main())
