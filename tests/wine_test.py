#!/usr/bin/env python3
# tests/wine_test.py BUILD_DIR VERSION (run by `make test-windows`): hfm.exe under Wine. A
# session typed into a Wine console in tmux, in Chinese (a file name, the sender and receiver
# lines that the .hfm header must hold byte for byte): every text must show whole, as a UTF-8
# character reaching a console in pieces would not; each restored file must be the original;
# Ctrl-C during a compression must leave the folder as it was, and say so. Then the package:
# the zip as shipped, the version and long-path manifest in hfm.exe, and a run past 260 characters.
import os, shlex, shutil, subprocess, sys, tempfile, time, zipfile
from pathlib import Path

BUILD, VERSION = os.path.abspath(sys.argv[1]), sys.argv[2]
ROOT = Path(__file__).resolve().parent.parent
WINE_RUN = str(ROOT / "tools" / "wine-run")
NAME, BIG, LINES = "笔记 草稿.txt", "大文件.bin", ["2024000001,张三", "2024000002,李四"]
MENU, PARTY, PAUSE = "请输入您的选择 >", "姓名）：", "按回车键继续..."
SESSION = [(MENU, "c"), ("请输入待压缩的文件名:", NAME), (PARTY, LINES[0]), (PARTY, LINES[1]),
           ("请选择加密方式 >", "1"), (PAUSE, "")]
for method in "123":  # None: the restored file is checked before the key is typed
    SESSION += [(MENU, "d"), ("(*.hfm):", NAME + ".hfm"), (PARTY, LINES[0]), (PARTY, LINES[1]),
                ("(1或2或3):", method), (PAUSE, None)]
SESSION.append((MENU, "q"))
SHOWN_WHOLE = ["文件压缩/解压缩系统 - 欢迎使用", "[C] 压缩文件", "选择加密方式", "XOR 加密",
               "编码表文件已保存: " + NAME + ".hfm.code", "文件压缩成功！", "基于哈希的快速解码",
               "输出文件: 笔记 草稿.txt_recovered.txt", "文件解压成功！", "感谢使用，再见！",
               "操作已中断：没有写入任何文件，原有文件保持不变"]

work = tempfile.mkdtemp(prefix="hfm_wine_")
os.chdir(work)
original = ("每一行都有中文。\r\n" * 200 + "".join(map(chr, range(32, 127)))).encode()
Path(NAME).write_bytes(original)
Path(BIG).write_bytes(os.urandom(96 << 20).translate(bytes(range(48, 112)) * 4))
Path(BIG + ".hfm").write_bytes(b"earlier")


def tmux(*args):
    return subprocess.run(["tmux", "-u", "-S", os.path.join(work, "tmux.socket"), *args],
                          env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8"), check=True,
                          capture_output=True, text=True).stdout


def screen():
    return tmux("capture-pane", "-p", "-J", "-S", "-", "-t", "hfm").rstrip()


def wait_for(prompt):
    end = time.monotonic() + 30
    while not screen().endswith(prompt):
        if time.monotonic() > end:
            last = "\n".join(screen().split("\n")[-20:])
            raise TimeoutError("no %r; the screen:\n%s" % (prompt, last))
        time.sleep(0.05)


def type_in(keys):
    for key in keys:
        tmux("send-keys", "-t", "hfm", "-l", key)
    tmux("send-keys", "-t", "hfm", "Enter")


# The program runs twice; the shell waits for Enter between the runs, and says how each ended.
program = shlex.quote(WINE_RUN) + " " + shlex.quote(os.path.join(BUILD, "hfm.exe"))
tmux("-f", "/dev/null", "new-session", "-d", "-s", "hfm", "-x", "120", "-y", "50", "-c", work,
     "%s; echo hfm-ended-$?; read x; %s; echo hfm-ended-$?; sleep 600" % (program, program))
faults, restored = [], 0
try:
    for prompt, keys in SESSION:
        wait_for(prompt)
        if keys is None and os.path.exists(NAME + "_recovered.txt"):
            restored += Path(NAME + "_recovered.txt").read_bytes() == original
            os.remove(NAME + "_recovered.txt")
        type_in(keys or "")
    wait_for("hfm-ended-0")
    before = sorted(os.listdir())
    type_in("")
    for prompt, keys in [(MENU, "c"), ("请输入待压缩的文件名:", BIG), (PARTY, "S"), (PARTY, "R"),
                         ("请选择加密方式 >", "1")]:
        wait_for(prompt)
        type_in(keys)
    end = time.monotonic() + 30
    while time.monotonic() < end and set(os.listdir()) <= set(before):  # till a temporary shows
        time.sleep(0.01)
    # Ctrl-C must end the program as it ends a console program (STATUS_CONTROL_C_EXIT).
    tmux("send-keys", "-t", "hfm", "C-c")
    wait_for("hfm-ended-58")
    if sorted(os.listdir()) != before:
        faults.append("after Ctrl-C the folder holds %s" % sorted(os.listdir()))
    if Path(BIG + ".hfm").read_bytes() != b"earlier":
        faults.append("Ctrl-C changed the earlier compressed file")
except (TimeoutError, OSError) as stuck:
    faults.append(str(stuck))
text = screen()
tmux("kill-server")
faults += ["not shown whole: " + t for t in SHOWN_WHOLE if t not in text]
if "\ufffd" in text:
    faults.append("a character shown as U+FFFD")
header = Path(NAME + ".hfm").read_bytes()[:256] if os.path.exists(NAME + ".hfm") else b""
if not header.startswith(("1\n%s\n%s\n" % tuple(LINES)).encode()):
    faults.append("N.hfm's header does not hold the typed lines: %r" % header[:80])
if restored != 3:
    faults.append("%d of 3 decompressions restored the original" % restored)

package = "hfm-%s-windows-x64.zip" % VERSION
with zipfile.ZipFile(os.path.join(BUILD, package)) as z:
    names = sorted(z.namelist())
    z.extractall("package")
if names != ["README.md", "README.zh-CN.md", "hfm.exe"]:
    faults.append("the zip holds %s" % names)
faults += ["%s does not name %s" % (guide, package) for guide in ("README.md", "README.zh-CN.md")
           if package not in (ROOT / guide).read_text(encoding="utf-8")]
exe = os.path.abspath("package/hfm.exe")
resources = subprocess.run(["x86_64-w64-mingw32-windres", "-i", exe, "-O", "rc"],
                           capture_output=True, text=True).stdout
faults += ["hfm.exe's resources lack " + wanted for wanted in
           ('VALUE "ProductName", "hfm"', 'VALUE "ProductVersion", "%s"' % VERSION,
            "FileDescription", "longPathAware>true</ws2:longPathAware>") if wanted not in resources]
# The program runs half-way down ten levels of 30 characters (Wine keeps no longer working
# folder) and is given the rest of the path, since a typed name holds 255 bytes.
levels = ["文件夹%02d" % i + "x" * 25 for i in range(10)]
deep = os.path.join(work, "package", *levels)
os.makedirs(deep)
deep_original = ("长路径里的中文文件。\n" * 300).encode()
Path(deep, "笔记.txt").write_bytes(deep_original)
full_path = "Z:" + os.path.join(deep, "笔记.txt").replace("/", "\\")
if len(full_path) <= 260:
    faults.append("the path is only %d characters" % len(full_path))
keys = "c\n{0}\nS\nR\n1\n\nd\n{0}.hfm\nS\nR\n3\n\nq\n".format("\\".join(levels[5:] + ["笔记.txt"]))
done = subprocess.run([WINE_RUN, exe], input=keys.encode(), capture_output=True, timeout=120,
                      cwd=os.path.join("package", *levels[:5]))
out = done.stdout.decode(errors="replace")
back = Path(deep, "笔记.txt_recovered.txt")
if done.returncode != 0 or "文件压缩成功" not in out or "文件解压成功" not in out:
    faults.append("the session failed (status %d):\n%s" % (done.returncode, out[-2000:]))
elif not back.exists() or back.read_bytes() != deep_original:
    faults.append("the restored file is not the original")
shutil.rmtree(work, ignore_errors=True)  # a program left running may still write there
print("\n".join(faults) or "wine: the session showed whole and restored 3 times, Ctrl-C left "
      "nothing, and the package is as shipped and works in a long path")
sys.exit(1 if faults else 0)
