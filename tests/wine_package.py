#!/usr/bin/env python3
# The Windows package as a user gets it, checked under Wine.
#
#     tests/wine_package.py BUILD_DIR VERSION      (run by `make test-windows`)
#
# The zip holds hfm.exe and the two guides and nothing else; hfm.exe carries its version
# resource and a manifest that declares long paths; unpacked into an empty folder, it
# compresses and restores a file with a Chinese name in a folder whose full path is longer than
# 260 characters. Exit status 0 when all holds, 1 with the faults listed.
import os
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def main(build, version):
    faults = []
    package = os.path.join(build, "hfm-%s-windows-x64.zip" % version)
    unpacked = tempfile.mkdtemp(prefix="hfm_package_")
    with zipfile.ZipFile(package) as z:
        names = sorted(z.namelist())
        z.extractall(unpacked)
    if names != ["README.md", "README.zh-CN.md", "hfm.exe"]:
        faults.append("the zip holds %s" % names)
    for guide in ("README.md", "README.zh-CN.md"):
        if os.path.basename(package) not in open(os.path.join(ROOT, guide), encoding="utf-8").read():
            faults.append("%s does not name %s" % (guide, os.path.basename(package)))
    exe = os.path.join(unpacked, "hfm.exe")
    resources = subprocess.run(["x86_64-w64-mingw32-windres", "-i", exe, "-O", "rc"],
                               capture_output=True, text=True).stdout
    for wanted in ('VALUE "ProductName", "hfm"', 'VALUE "ProductVersion", "%s"' % version,
                   "FileDescription", "longPathAware>true</ws2:longPathAware>"):
        if wanted not in resources:
            faults.append("hfm.exe's resources lack %s" % wanted)

    # Ten levels of 30 characters each: the file's full path is well past 260 characters. The
    # program runs half-way down (Wine keeps no longer working folder) and is given the rest,
    # since a typed name holds 255 bytes.
    levels = ["文件夹%02d" % i + "x" * 25 for i in range(10)]
    deep = os.path.join(unpacked, *levels)
    os.makedirs(deep)
    original = ("长路径里的中文文件。\n" * 300).encode()
    with open(os.path.join(deep, "笔记.txt"), "wb") as f:
        f.write(original)
    full_path = "Z:" + os.path.join(deep, "笔记.txt").replace("/", "\\")
    if len(full_path) <= 260:
        faults.append("the path is only %d characters" % len(full_path))
    name = "\\".join(levels[5:] + ["笔记.txt"])
    keys = "c\n{0}\nS\nR\n1\n\nd\n{0}.hfm\nS\nR\n3\n\nq\n".format(name)
    done = subprocess.run([os.path.join(ROOT, "tools", "wine-run"), exe], input=keys.encode(),
                          capture_output=True, cwd=os.path.join(unpacked, *levels[:5]),
                          timeout=120)
    out = done.stdout.decode(errors="replace")
    restored = os.path.join(deep, "笔记.txt_recovered.txt")
    if done.returncode != 0 or "文件压缩成功" not in out or "文件解压成功" not in out:
        faults.append("the session failed (status %d):\n%s" % (done.returncode, out[-2000:]))
    elif not os.path.exists(restored) or open(restored, "rb").read() != original:
        faults.append("the restored file is not the original")
    print("\n".join(faults) or "windows package: as shipped, and it works in a long path")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), sys.argv[2]))
