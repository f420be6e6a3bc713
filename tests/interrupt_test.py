#!/usr/bin/env python3
# tests/interrupt_test.py HFM (run by ctest on POSIX systems): SIGINT, SIGTERM and SIGHUP, each
# sent when the program is seen in a long stage of a command, never after a fixed sleep. The
# program must end by that signal, its last line say what was written, and the folder hold just
# the files it held (no temporary left), each as it was or, where the line says so, new and whole.
import itertools, os, random, shutil, signal, subprocess, sys, tempfile, time
from pathlib import Path
from types import SimpleNamespace

HFM, SIZE = os.path.abspath(sys.argv[1]), 96 << 20
NOTHING = "操作已中断：没有写入任何文件，原有文件保持不变"
PAIR = "操作已中断：已写入 big.bin.hfm 和 big.bin.hfm.code"
RESTORED = "操作已中断：已写入还原的文件"


def position(pid, name):
    """How far the program has read `name`, or None while it does not hold it open."""
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)).endswith("/" + name):
                with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
                    return int(info.readline().split()[1])
    except OSError:
        return None


def temporary(listing):
    """The size of a file the folder holds beyond `listing`, or None when there is none."""
    for name in set(os.listdir()) - listing:
        try:
            return os.path.getsize(name)
        except OSError:
            pass


def reading(name, size):
    return lambda w: 0 < (position(w.pid, name) or 0) < size


def decoding(w):  # the packed file read and closed, and nothing written yet
    w.read = w.read or bool(position(w.pid, "big.bin.hfm"))
    return w.read and position(w.pid, "big.bin.hfm") is None and temporary(w.listing) is None


def writing(w):
    return (temporary(w.listing) or 0) > 0


work = tempfile.mkdtemp(prefix="hfm_interrupt_")
os.chdir(work)
# Six bits a byte or so: the packed file is large enough to be seen being read.
symbols, rng = bytes(range(48, 112)) + b"eeeetttaaoin \n", random.Random(7)
Path("big.bin").write_bytes(bytes(rng.choice(symbols) for _ in range(1 << 16)) * (SIZE >> 16))
compress, decompress = "c\nbig.bin\nnew\nR\n1\n\nq\n", "d\nbig.bin.hfm\nold\nR\n1\n\nq\n"
subprocess.run([HFM], input=compress.encode(), capture_output=True)
new_pair = [Path(n).read_bytes() for n in ("big.bin.hfm", "big.bin.hfm.code")]
subprocess.run([HFM], input=compress.replace("new", "old").encode(), capture_output=True)
earlier = {n: Path(n).read_bytes() for n in os.listdir()}
earlier["big.bin_recovered.txt"] = b"earlier"
stages = [("compress, reading", compress, reading("big.bin", SIZE)),
          ("compress, packing and writing", compress, writing),
          ("compress, the report", compress,
           lambda w: os.stat("big.bin.hfm.code").st_ino != w.code_table),
          ("decompress, reading", decompress, reading("big.bin.hfm", len(earlier["big.bin.hfm"]))),
          ("decompress, decoding", decompress, decoding),
          ("decompress, writing", decompress, writing)]
faults = []
signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
for (stage, keys, in_stage), number in itertools.product(stages, signals):
    what = "%s, %s" % (stage, number.name)
    # A stage of a few milliseconds can pass unseen on a busy machine: then the command is run
    # again, from the same files.
    for attempt in range(5):
        for name, data in earlier.items():
            Path(name).write_bytes(data)
        w = SimpleNamespace(listing=set(os.listdir()), read=False,
                            code_table=os.stat("big.bin.hfm.code").st_ino)
        program = subprocess.Popen([HFM], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        program.stdin.write(keys.encode())
        program.stdin.close()
        program.stdin = None  # written and closed: communicate() must not flush it
        w.pid, seen, end = program.pid, False, time.monotonic() + 60
        while not seen and program.poll() is None and time.monotonic() < end:
            seen = in_stage(w)
        if seen:
            break
        program.communicate(timeout=60)
    else:
        faults.append("%s: the stage was never seen" % what)
        continue
    program.send_signal(number)
    out = program.communicate(timeout=60)[0].decode(errors="replace")
    last = out.rstrip("\n").rpartition("\n")[2]
    if program.returncode != -number:
        faults.append("%s: exit status %d" % (what, program.returncode))
    now = {n: Path(n).read_bytes() for n in os.listdir()}
    if now.keys() != earlier.keys():
        faults.append("%s: the folder holds %s" % (what, sorted(now)))
        continue
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
program = subprocess.Popen([HFM], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
shown = b""
while not shown.endswith("请输入您的选择 > \033[0m".encode()):
    shown += os.read(program.stdout.fileno(), 4096)
program.send_signal(signal.SIGINT)
rest = program.communicate(timeout=10)[0]
if program.returncode != -signal.SIGINT or rest:
    faults.append("at the menu: status %d, then %r" % (program.returncode, rest))
shutil.rmtree(work)
print("\n".join(faults) or "interrupts: every stage left the folder as its last line says")
sys.exit(1 if faults else 0)
