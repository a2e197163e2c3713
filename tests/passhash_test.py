#!/usr/bin/env python3
# The built tool as scripts and people meet it: from files, and on a real
# pseudo-terminal under an interactive bash or dash, job control included.
#
# passhash_test.py TOOL HOLD NAME...: runs the tests named (shell patterns:
# Pipe, Shell/ROW, Sweep/SIGNAL), says PASS or FAIL for each with what failed,
# and exits 1 if any failed. HOLD is the library preloaded into the tool to
# search its memory as it ends (hold.cpp). PASSHASH_LAUNCHER (valgrind, for a
# gate) is put before the tool, which then is not searched: the launcher's
# memory is not the tool's alone. PASSHASH_PACKAGED names the tool that a
# package installed, to be tested in the place of TOOL.

import ctypes
import fcntl
import fnmatch
import os
import pathlib
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time

TOOL, HOLD = map(os.path.abspath, sys.argv[1:3])
PROMPT, LABEL = b"Enter password (not echoed): ", b"Hashed passphrase is: "
SECRET, HALF = b"hunter2", b"TypedHalf"
LAUNCHER = os.environ.get("PASSHASH_LAUNCHER", "").split()
COMMAND = LAUNCHER + [os.environ.get("PASSHASH_PACKAGED", TOOL)]
libcrypt = ctypes.CDLL("libcrypt.so.1")
libcrypt.crypt.restype = libcrypt.crypt_gensalt.restype = ctypes.c_char_p
failed = []


def check(ok, *what):
    if not ok:
        failed.append(b" ".join(w if isinstance(w, bytes) else str(w).encode() for w in what))
    return ok


# The words for env that preload the test library, to search the tool for
# `passphrase` as it ends. It is named backwards, so that the environment
# holds no copy.
def preload(passphrase=SECRET):
    return [] if LAUNCHER else [b"LD_PRELOAD=" + HOLD.encode(), b"ASAN_OPTIONS=verify_asan_link_order=0",
                                b"PASSHASH_SCAN=" + passphrase[::-1]]


# True when `hashed` has the library's default method and cost, and the
# library, given it as the setting, hashes `passphrase` to the very same string.
def verifies(passphrase, hashed):
    defaults = libcrypt.crypt_gensalt(None, 0, None, 0)
    return libcrypt.crypt(passphrase, hashed) == hashed and hashed.startswith(defaults[:defaults.rfind(b"$")])


# Input, the passphrase that it must hash (none: nothing may be hashed), and
# shell words after the tool (arguments, redirections).
PIPE_CASES = {
    "no trailing newline, a NUL inside ends it": (SECRET + b"\0cd", SECRET, ""),
    "empty input": (b"", b"", ""),
    "only a newline": (b"\n", b"", ""),
    "NUL first": (b"\0abc\n", b"", ""),
    "blanks, tabs, a carriage return and any bytes kept": (b" \tp\xc3\xa4ss\xff phrase \t\r\n",
                                                           b" \tp\xc3\xa4ss\xff phrase \t\r", ""),
    "511 bytes": (b"x" * 504 + SECRET + b"\n", b"x" * 504 + SECRET, ""),
    "512 bytes refused by the library": (b"x" * 512 + b"\n", b"", ""),
    "overlong, even with an early NUL": (b"ab\0" + b"x" * 1500 + b"\nnext\n", b"", ""),
    "arguments ignored, only the first line read": (SECRET + b"\nsecond\n", SECRET, "--help - '' 'x y'"),
    "stdout on a full disk": (SECRET + b"\n", b"", ">/dev/full"),
    "stdout closed": (SECRET + b"\n", b"", ">&-"),
    "stdin closed": (b"", b"", "<&-"),
    "a read error after part of a line": (SECRET[:3], b"", ""),
}


# Each input from a file, which the tool shares with the reader of what it
# leaves; the output to a file. Standard error shares it, so that a word there
# shows in the output: the preloaded library's, for a copy of the passphrase
# left in the tool. Every signal at its default, whatever this runner was given.
def pipe():
    for name, (given, passphrase, after) in PIPE_CASES.items():
        stdin, stdout = os.memfd_create("in"), os.memfd_create("out")
        os.pwrite(stdin, given, 0)
        if name == "a read error after part of a line":
            # The peer gone with data of its own unread: past what it sent, a read fails (a reset).
            peer, tool = socket.socketpair()
            peer.send(given)
            tool.send(b"x")
            peer.close()
            os.dup2(tool.fileno(), stdin)
        status = subprocess.run(["env", "--default-signal", *preload(passphrase or SECRET), "sh", "-c",
                                 'exec "$@" 2>&1 ' + after, "sh", *COMMAND], stdin=stdin, stdout=stdout).returncode
        check(status == (0 if passphrase else 1), name, "status", status)
        rest = os.read(stdin, 1 << 16)
        check(rest == (given[given.find(b"\n") + 1:] if b"\n" in given else b""), name, "left", rest)
        shown = os.pread(stdout, 1 << 16, 0)
        head = PROMPT + b"\n" + (LABEL if passphrase else b"")
        hashed = shown[len(head):]
        check(shown == (b"" if after.startswith(">") else head + hashed), name, "printed", shown)
        check(verifies(passphrase, hashed[:-1]) if hashed else not passphrase, name, "no hash that verifies", shown)
        os.close(stdin)
        os.close(stdout)


def read(path):
    try:
        return pathlib.Path(path).read_text("latin-1")
    except OSError:
        return ""


# Runs steps in an interactive shell on a fresh pseudo-terminal, and checks
# what every run must hold; returns what the terminal showed. A step types
# keys, then, once the job in the foreground sleeps in its wait for input with
# all typed read (`until`), sends it a signal, then awaits a text on the screen.
# With `answer`, until that text shows, the passphrase is typed once for each
# prompt shown, when the tool sleeps in its wait with all typed read (so never
# while an answer may still be on its way), and each stop that strace reports
# is continued, as fg would: for a tool run under strace.
def shell(sh, steps):
    scratch = tempfile.mkdtemp(prefix="passhash-")
    master, slave = os.openpty()
    before = termios.tcgetattr(master)[3]

    # Typed keys reach the terminal's queue by way of a kernel worker, which a
    # poll on the terminal waits for; the queue then holds no whole line (in
    # canonical mode) or no byte at all. The kernel names the function that a
    # process sleeps in to root alone for one that is not dumpable, as the
    # tool is (others see "0": only that it sleeps).
    def waiting(pid):
        select.select([slave], [], [], 0)
        unread = struct.unpack("i", fcntl.ioctl(slave, termios.FIONREAD, b"\0\0\0\0"))[0]
        wchan = read(f"/proc/{pid}/wchan")
        return unread == 0 and ") S " in read(f"/proc/{pid}/stat") and (
            "poll" in wchan or (wchan == "0" and os.geteuid() != 0))

    pid = os.fork()
    if pid == 0:
        try:
            os.login_tty(slave)
            os.chdir(scratch)
            # Every signal at its default and no start-up files (bash's --norc;
            # dash takes a second -i instead). The tool's words are its "$@".
            os.execvp("env", ["env", "--default-signal", "-i", "PS1=$ ", "TERM=dumb", "PATH=/usr/bin:/bin",
                              *preload(), sh, "--norc" if sh == "bash" else "-i", "-i", "-s", *COMMAND])
        finally:
            os._exit(127)
    shown = b""
    seen = 0

    def expect(text, answer):
        nonlocal shown, seen
        answered = stops = 0
        # Only a guard against a hung run, never a measure of speed.
        deadline = time.monotonic() + 20
        while text not in shown[seen:]:
            if select.select([master], [], [], 0.001 if answer else 20)[0]:
                shown += os.read(master, 512)
            elif not answer or time.monotonic() > deadline:
                return False
            job = os.tcgetpgrp(master)
            tool = int((read(f"/proc/{job}/task/{job}/children").split() or [0])[0])  # strace's child
            if answer and shown[seen:].count(PROMPT) > answered and waiting(tool):
                answered += 1
                os.write(master, SECRET + b"\n")
            if answer and shown[seen:].count(b"--- stopped by") > stops:
                stops += 1
                os.killpg(job, signal.SIGCONT)
        seen = shown.index(text, seen) + len(text)
        return True

    check(expect(b"$ ", False), "no shell prompt")
    for keys, text, sig, until, answer in [(*step, 0, False, False)[:5] for step in steps]:
        os.write(master, keys)
        deadline = time.monotonic() + 20
        while until and not (os.tcgetpgrp(master) != pid and waiting(os.tcgetpgrp(master))):
            if not check(time.monotonic() < deadline, "never asleep in its wait with all typed read:", shown):
                break
            time.sleep(0.001)
        if sig:
            os.killpg(os.tcgetpgrp(master), sig)
        if not check(not text or expect(text, answer), "no", repr(text), "in:\n", shown):
            break
        # Answered at once, as scripts do: echo must already be off.
        check(text != PROMPT or termios.tcgetattr(master)[3] == before & ~termios.ECHO, "not ECHO alone cleared")
    for word in SECRET, HALF, b"core dumped", b"passhash-hold":
        check(word not in shown, "shown:", word, "in:\n", shown)
    # Every hash shown is on a line of its own (the prompt's line was ended)
    # and verifies against what was typed.
    for line in shown.split(b"\r\n"):
        check(LABEL not in line or (line.startswith(LABEL) and verifies(SECRET, line[len(LABEL):])), "hash:", line)
    # As many prompts as the steps awaited, and no more (under strace, the
    # tool's own course decides).
    awaited = sum(step[1].startswith(b"Enter password") for step in steps)
    check(steps[0][4:] == (True,) or shown.count(b"Enter password") == awaited, "not", awaited, "prompts:", shown)
    # Unlike bash, dash leaves the terminal as the last job left it.
    check(sh == "bash" or termios.tcgetattr(master)[3] == before, "terminal not put back")
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    os.close(master)
    os.close(slave)
    if check(not os.listdir(scratch), "a core file, or a pasted command's file, was left in", scratch):
        os.rmdir(scratch)
    return shown


START, FG, DONE, CTRL_Z = (b'"$@"\n', PROMPT), (b"fg\n", PROMPT), b"\r\n$ ", (b"\x1a", b"Stopped")
BG_WAIT = (b"bg; wait %1; echo waited-$((6*7))\n", b"waited-42")
# Shows on the screen only if the shell got its echo back.
AT_SHELL = (b"echo typed-at-shell\n", b"echo typed-at-shell")


def status(value):
    return b"echo status=$?\n", b"status=%d\r" % value


ROWS = {
    # The rest of a paste never reaches the shell.
    "bash_paste_of_two_lines": [START, (SECRET + b"\ntouch pasted\n", DONE), status(0)],
    # Half a line typed, then SIGTERM: the tool ends by it, and the shell gets
    # none of the line. Sent SIGTERM while stopped, then continued in the
    # background: it ends by it, and leaves the terminal and the line queued
    # for the shell alone. Then, with SIGINT ignored by the caller (it stays
    # ignored), cores allowed and canonical mode off (the tool reads each key as
    # it comes): started with &, the tool stopped in the background cannot be
    # read by another process of its user (under root, both without
    # capabilities); at fg Ctrl-C changes nothing, and after half a passphrase
    # (read already), Ctrl-Z and fg, only what follows counts. Run again,
    # Ctrl-\ after a whole passphrase read ends it by SIGQUIT, with no copy of
    # the passphrase left and no core file. (The modes differ from the other
    # rows', so only the start of the prompt is awaited.)
    "dash_sigterm_then_ctrl_backslash_with_memory_private": [
        START, (HALF, b"$ ", signal.SIGTERM, True), status(128 + signal.SIGTERM), START, CTRL_Z,
        (b"kill %1; bg; wait %1\necho status=$? queued-$((6*7))\n", b"status=143 queued-42"),
        (b"trap '' INT; ulimit -c unlimited; [ $(id -u) = 0 ] && as='setpriv --bounding-set=-all' || as=; "
         b'stty -icanon; $as "$@" &\n', b"$ "),
        (b"wait %1; $as cat /proc/$!/mem\n", b"mem: Permission denied"), (b"fg\n", b"Enter password"),
        (b"\x03" + HALF, b"", 0, True), CTRL_Z, (b"fg\n", b"Enter password"), (SECRET + b"\n", DONE),
        (b'"$@"\n', b"Enter password"), (SECRET, b"", 0, True), (b"\x1c", b"$ "),
        (b"s=$?; stty icanon; echo status=$s\n", b"status=%d\r" % (128 + signal.SIGQUIT))],
}
# Started with &, the tool shows nothing and stops as it finds the terminal
# taken; `wait` returns on the stop. bash then has its line editor's modes on
# the terminal, which are not the ones to read with or to come back to; and its
# job has SIGTTOU and SIGCONT blocked by the caller, which must neither keep it
# from stopping nor hide fg. Then three stops in one read, the shell's echo
# back at each: SIGSTOP and fg; half a passphrase typed, then SIGTSTP (none of
# it reaches the shell, or the passphrase typed after fg) and fg; Ctrl-Z, then
# bg, and fg once the shell has seen the job stop again (wait returns then): a
# stop seen only in /proc may not have reached bash yet, whose fg then leaves
# the job stopped. Keys typed with that fg, before the new prompt, are dropped.
# Last, a SIGCONT alone while the passphrase is typed, as fg sends to a job
# that never got to stop after bg: what was typed before it still counts.
# (Asleep again before the rest is typed: a reader that woke for it has shown
# its new prompt by then.)
for sh, blocked in ("bash", b"env --block-signal=TTOU,CONT "), ("dash", b""):
    ROWS[sh + "_started_in_background_then_every_stop"] = [
        (blocked + b'"$@" &\n', b"$ "), (b"wait %1; jobs\n", b"Stopped"), FG, (b"", b"Stopped", signal.SIGSTOP), FG,
        (HALF, b"Stopped", signal.SIGTSTP, True), AT_SHELL, FG, CTRL_Z,
        BG_WAIT, AT_SHELL, (b"fg\nahead", PROMPT), (SECRET[:4], b"", signal.SIGCONT, True), (b"", b"", 0, True),
        (SECRET[4:] + b"\n", DONE), status(0)]
    # Stopped between the end of the wait for input and the read (a line
    # typed), then bg: the read fails, the tool stops again in the background
    # and starts over at fg.
    ROWS[sh + "_stop_before_the_read_bg_fg"] = [(b'PASSHASH_HOLD=wait "$@"\n', PROMPT), (b"\n", b"Stopped"),
                                                BG_WAIT, FG, (SECRET + b"\n", DONE), status(0)]
    # A line typed while the tool is held between the flush of the terminal
    # and its restore is neither shown nor run.
    ROWS[sh + "_typed_between_flush_and_restore"] = [(b'PASSHASH_HOLD=tcflush "$@"\n', PROMPT),
                                                     (SECRET + b"\n", b"", 0, True), (b"touch " + HALF + b"\n", DONE),
                                                     status(0)]


# The signal delivered on entry to each system call of a clean run (those
# after the tool's execve, on whose entry strace delivers nothing), one run
# each. Whatever the moment, nothing typed shows and the terminal is back as it
# was; a hash printed verifies against what was typed at the last prompt. An
# ending signal ends the tool by it, unless it comes too late to matter; a
# stop that strace delivered stops it, and fg then brings a hash; SIGCONT ends
# nothing (under ptrace it starts the read over: the tracer makes it seen).
def sweep(name):
    # LeakSanitizer cannot work under ptrace, and a search of the tool's memory
    # as it ends adds system calls: the other rows do both.
    def traced(options):
        return shell("dash", [(f'ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD= strace -q {options} "$@"\n'.encode(),
                               b"$ ", 0, False, True)])

    with tempfile.NamedTemporaryFile("r") as trace:
        traced("-o " + trace.name)
        calls = [line.split("(")[0] for line in trace if "(" in line and line[0].isalpha()]
    # As strace counts the calls, the 3rd read; from the tool's execve on.
    start = len(calls) - (calls[::-1] + ["execve"]).index("execve")
    points = [f"{call}:signal=SIG{name}:when={calls[:n + 1].count(call)}" for n, call in enumerate(calls)][start:]
    check(len(points) > 50, "too few calls:", calls)
    delivered = 0
    for point in points:
        shown = traced("-e status=none -e inject=" + point)
        delivered += b"si_code=SI_KERNEL" in shown
        stop = name in ("TSTP", "TTIN", "TTOU") and b"si_code=SI_KERNEL" in shown
        check(shown.count(b"--- stopped by") == stop, point, "stops:", shown)
        check(b"+++ exited with 0 +++" in shown or (not stop and b"+++ killed by SIG%s +++" % name.encode() in shown),
              point, "ended otherwise:", shown)
    # Some calls may not come again in a later run (on exit_group nothing is
    # delivered), but nearly all must have had the signal.
    check(delivered * 10 >= len(points) * 9, "delivered at", delivered, "of", len(points))


TESTS = {"Pipe": pipe, **{"Shell/" + row: lambda row=row: shell(row[:4], ROWS[row]) for row in ROWS},
         **{"Sweep/" + name: lambda name=name: sweep(name) for name in (
             "HUP", "INT", "QUIT", "TERM", "ALRM", "USR1", "USR2", "PIPE", "TSTP", "TTIN", "TTOU", "CONT")}}
everything = []
for test_name, test in TESTS.items():
    if any(fnmatch.fnmatchcase(test_name, pattern) for pattern in sys.argv[3:]):
        failed.clear()
        test()
        print("PASS" if not failed else "FAIL", test_name, flush=True)
        sys.stdout.buffer.write(b"".join(b"  " + what + b"\n" for what in failed))
        everything += failed
sys.exit(1 if everything else 0)
