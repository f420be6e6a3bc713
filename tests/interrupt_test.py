#!/usr/bin/env python3
# SIGINT, SIGTERM and SIGHUP sent while each long stage of a command runs.
#
#     tests/interrupt_test.py HFM      (run by ctest on POSIX systems)
#
# Each signal is sent when the program is seen in the stage (reading a file part way, a
# temporary growing, the outputs in place), never after a fixed sleep. After each: the program
# ended by that signal, its last line says what was written, the folder holds exactly the
# files it held before (no temporary left), and the earlier outputs are as they were, or the
# new ones whole where the line says they were written. An interrupt at a prompt ends the
# program at once. Exit status 0 when all holds, 1 with the faults listed.
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SIZE = 96 << 20
NOTHING = "操作已中断：没有写入任何文件，原有文件保持不变"
PAIR = "操作已中断：已写入 big.bin.hfm 和 big.bin.hfm.code"
RESTORED = "操作已中断：已写入还原的文件"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def open_position(pid, name):
    """How far the program has read `name`, or None when it does not hold it open."""
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)).endswith("/" + name):
                with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
                    return int(info.readline().split()[1])
    except OSError:
        pass
    return None


def temporary_size(work, before):
    for name in set(os.listdir(work)) - before:
        try:
            return os.path.getsize(os.path.join(work, name))
        except OSError:
            pass
    return None


def main(hfm):
    work = tempfile.mkdtemp(prefix="hfm_interrupt_")
    rng = random.Random(7)
    with open(os.path.join(work, "big.bin"), "wb") as f:
        # Six bits a byte or so: the packed file is large enough to be seen being read.
        symbols = bytes(range(48, 112)) + b"eeeetttaaoin \n"
        f.write(bytes(rng.choice(symbols) for _ in range(1 << 16)) * (SIZE >> 16))

    def run(keys):
        return subprocess.run([hfm], input=keys.encode(), cwd=work, capture_output=True)

    compress = "c\nbig.bin\n%s\nR\n1\n\nq\n"
    run(compress % "new")
    new_pair = [read(os.path.join(work, n)) for n in ("big.bin.hfm", "big.bin.hfm.code")]
    run(compress % "old")
    earlier = {n: read(os.path.join(work, n)) for n in os.listdir(work)}
    earlier["big.bin_recovered.txt"] = b"earlier"
    decompress = "d\nbig.bin.hfm\nold\nR\n1\n\nq\n"

    packed_size = len(earlier["big.bin.hfm"])

    def temporary(w):
        return temporary_size(work, w["listing"]) or 0

    def code_table_replaced(w):
        return os.stat(os.path.join(work, "big.bin.hfm.code")).st_ino != w["code_table"]

    def decoding(w):
        w["read"] = w["read"] or bool(open_position(w["pid"], "big.bin.hfm"))
        return (w["read"] and open_position(w["pid"], "big.bin.hfm") is None and
                temporary_size(work, w["listing"]) is None)

    # Each stage: the keys, and whether the program is in it now.
    stages = {
        "compress, reading": (compress % "new", lambda w: 0 < (open_position(w["pid"], "big.bin") or 0) < SIZE),
        "compress, packing and writing": (compress % "new", lambda w: temporary(w) > 0),
        "compress, the report": (compress % "new", code_table_replaced),
        "decompress, reading": (decompress, lambda w: 0 < (open_position(w["pid"], "big.bin.hfm") or 0) < packed_size),
        "decompress, decoding": (decompress, decoding),
        "decompress, writing": (decompress, lambda w: temporary(w) > 0),
    }
    faults = []
    for stage, (keys, in_stage) in stages.items():
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            # A stage of a few milliseconds can pass unseen on a busy machine: then the
            # command is run again, from the same files.
            for attempt in range(5):
                for name, data in earlier.items():
                    with open(os.path.join(work, name), "wb") as f:
                        f.write(data)
                what = "%s, %s" % (stage, signal.Signals(number).name)
                program = subprocess.Popen([hfm], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, cwd=work)
                watch = {"pid": program.pid, "listing": set(os.listdir(work)), "read": False,
                         "code_table": os.stat(os.path.join(work, "big.bin.hfm.code")).st_ino}
                program.stdin.write(keys.encode())
                program.stdin.close()
                program.stdin = None
                sent = False
                end = time.monotonic() + 60
                while program.poll() is None and time.monotonic() < end:
                    if in_stage(watch):
                        program.send_signal(number)
                        sent = True
                        break
                if sent:
                    break
                program.communicate(timeout=60)
            if not sent:
                faults.append("%s: the stage was never seen" % what)
                continue
            out, _ = program.communicate(timeout=60)
            last = out.decode(errors="replace").rstrip("\n").split("\n")[-1]
            if program.returncode != -number:
                faults.append("%s: exit status %d" % (what, program.returncode))
            if sorted(os.listdir(work)) != sorted(earlier):
                faults.append("%s: the folder holds %s" % (what, sorted(os.listdir(work))))
                continue
            now = {n: read(os.path.join(work, n)) for n in earlier}
            expected = dict(earlier)
            if last == PAIR:
                expected["big.bin.hfm"], expected["big.bin.hfm.code"] = new_pair
            elif last == RESTORED:
                expected["big.bin_recovered.txt"] = now["big.bin"]
            elif last != NOTHING:
                faults.append("%s: the last line is %r" % (what, last))
            faults += ["%s: %s is not as the last line says" % (what, n)
                       for n in earlier if now[n] != expected[n]]

    # At a prompt nothing is at stake: the signal's default, at once, and nothing printed.
    program = subprocess.Popen([hfm], stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=work)
    shown = b""
    while not shown.endswith("请输入您的选择 > \033[0m".encode()):
        shown += os.read(program.stdout.fileno(), 4096)
    program.send_signal(signal.SIGINT)
    rest, _ = program.communicate(timeout=10)
    if program.returncode != -signal.SIGINT or rest:
        faults.append("at the menu: status %d, then %r" % (program.returncode, rest))

    shutil.rmtree(work)
    print("\n".join(faults) or "interrupts: every stage left the folder as its last line says")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1])))
