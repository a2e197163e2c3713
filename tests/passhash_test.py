#!/usr/bin/env python3
# The built tool as scripts and people meet it: from files, and on a real
# pseudo-terminal under an interactive bash or dash, job control included.
#
# passhash_test.py TOOL HOLD NAME...: runs the tests named (shell patterns:
# Files, Shell/ROW, Sweep/SIGNAL; --list lists them all) and says PASS or FAIL
# for each, a failure with its cause on the lines below it; exits 1 if any
# failed. A test stops at its first failure. HOLD is the library preloaded
# into the tool to search its memory as it ends (hold.cpp). PASSHASH_LAUNCHER
# (valgrind, for a gate) is put before the tool, which then is not searched:
# the launcher's memory is not the tool's alone. PASSHASH_PACKAGED names the
# tool that a package installed, to be tested in the place of TOOL.

import collections
import ctypes
import fcntl
import fnmatch
import os
import re
import select
import signal
import socket
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


def check(ok, *cause):
    if not ok:
        raise AssertionError(" ".join(map(str, cause)))


# Output as lines of escaped text, each on a line of its own below the cause.
def screen(text):
    return "".join("\n    | " + repr(line)[2:-1] for line in text.replace(b"\r\n", b"\n").split(b"\n"))


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
# shell words after the tool (arguments, redirections; with "$@", the command).
FILE_CASES = {
    "no trailing newline, a NUL inside ends it": (SECRET + b"\0cd", SECRET, ""),
    "empty input": (b"", b"", ""),
    "only a newline": (b"\n", b"", ""),
    "NUL first": (b"\0abc\n", b"", ""),
    "blanks, tabs, a CR and any bytes kept": (b" \tp\xc3\xa4ss\xff phrase\t\r\n", b" \tp\xc3\xa4ss\xff phrase\t\r", ""),
    "511 bytes": (b"x" * 504 + SECRET + b"\n", b"x" * 504 + SECRET, ""),
    "512 bytes refused by the library": (b"x" * 512 + b"\n", b"", ""),
    "overlong, even with an early NUL": (b"ab\0" + b"x" * 1500 + b"\nnext\n", b"", ""),
    "arguments ignored, only the first line read": (SECRET + b"\nsecond\n", SECRET, "--help - '' 'x y'"),
    "stdout on a full disk": (SECRET + b"\n", b"", ">/dev/full"),
    "stdout closed": (SECRET + b"\n", b"", ">&-"),
    # Not under a launcher, whose own writes come first.
    "the prompt lost, the rest written": (SECRET + b"\n", b"", 'strace -o /dev/null -e trace=write -e inject=write:'
                                          'error=EIO:when=1 -E ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" "$@" '
                                          '2>&1 >/dev/null'),
    "stdin closed": (b"", b"", "<&-"),
    "a read error after part of a line": (SECRET[:3], b"", ""),
}


# Each input from a file (a memfd), which the tool shares with the reader of
# what it leaves; the output to a file. Standard error shares it, so that a
# word there shows in the output: the preloaded library's, for a copy of the
# passphrase left in the tool. Every signal at its default, whatever this
# runner was given.
def files():
    for name, (given, passphrase, after) in ((k, v) for k, v in FILE_CASES.items() if not LAUNCHER or "$@" not in v[2]):
        with open(os.memfd_create("in"), "r+b", 0) as stdin, open(os.memfd_create("out"), "r+b", 0) as stdout:
            stdin.write(given)
            stdin.seek(0)
            if name == "a read error after part of a line":
                # The peer gone with data of its own unread: past what it sent, a read fails (a reset).
                peer, tool = socket.socketpair()
                peer.send(given)
                tool.send(b"x")
                peer.close()
                os.dup2(tool.fileno(), stdin.fileno())
            # A run that never ends is stopped after 20 s (status 124): only a guard against a hung run.
            command = after if '"$@"' in after else '"$@" 2>&1 ' + after
            status = subprocess.run(["env", "--default-signal", *preload(passphrase or SECRET), "sh", "-c",
                                     "exec timeout 20 " + command, "sh", *COMMAND], stdin=stdin,
                                    stdout=stdout).returncode
            rest, shown = stdin.read(), os.pread(stdout.fileno(), 1 << 16, 0)
        # A launcher's own notes, such as valgrind's of a call it does not know (its errors show as "==PID==").
        shown = re.sub(rb"(?m)^--[0-9]+-- .*\n?", b"", shown) if LAUNCHER else shown
        case = f"case {name!r}:"
        check(b"passhash-hold" not in shown, case, "the preloaded library says:", screen(shown))
        check(status == int(not passphrase), case, "exit status", status, "not", int(not passphrase), screen(shown))
        left = given[given.find(b"\n") + 1:] if b"\n" in given else b""
        check(rest == left, case, "left unread", repr(rest), "not", repr(left))
        head = PROMPT + b"\n" + (LABEL if passphrase else b"")
        hashed = shown[len(head):]
        check(shown == (b"" if ">" in after else head + hashed), case, "the output:", screen(shown))
        check(verifies(passphrase, hashed[:-1]) if hashed else not passphrase, case, "no hash of", repr(passphrase),
              "; the output:", screen(shown))


def read(path):
    try:
        with open(path, encoding="latin-1") as text:
            return text.read()
    except OSError:
        return ""


# What a step does, in this order: types keys; waits until the job in the
# foreground sleeps in its wait for input with all typed read (settled);
# sends it a signal; awaits a text on the screen.
Step = collections.namedtuple("Step", "keys settled signal awaits", defaults=(b"", False, 0, b""))


# Runs the steps in an interactive shell on a fresh pseudo-terminal, with the
# checks that HACKING lists, and returns what the terminal showed. `cleared`:
# modes that a row clears itself before the tool reads. With `answering`, the
# passphrase is typed once for each prompt shown, when the tool sleeps in its
# wait with all typed read (so never while an answer may still be on its way),
# and each stop that strace reports is continued, as fg would: for a tool run
# under strace, whose own course decides how many prompts it shows.
def shell(sh, steps, answering=False, cleared=0):
    scratch = tempfile.mkdtemp(prefix="passhash-")
    master, slave = os.openpty()
    before = termios.tcgetattr(master)[3]
    quiet = before & ~cleared & ~termios.ECHO

    # Typed keys reach the terminal's queue by way of a kernel worker, which a
    # poll on the terminal waits for; the queue then holds no whole line (in
    # canonical mode) or no byte at all. The kernel names the function that a
    # process sleeps in to root alone for one that is not dumpable, as the
    # tool is (others see "0": only that it sleeps).
    def waiting(pid):
        select.select([slave], [], [], 0)
        unread = int.from_bytes(fcntl.ioctl(slave, termios.FIONREAD, b"\0\0\0\0"), sys.byteorder)
        wchan = read(f"/proc/{pid}/wchan")
        return unread == 0 and ") S " in read(f"/proc/{pid}/stat") and (
            "poll" in wchan or (wchan == "0" and os.geteuid() != 0))

    def echo_off(where):
        modes = termios.tcgetattr(master)[3]
        check(modes == quiet, where, f"the prompt shows, local modes {modes:#o}, not {quiet:#o}: ECHO alone off")

    # The terminal's session leader, with every signal at its default and no
    # start-up files (bash's --norc; dash takes a second -i instead). The
    # tool's words are its "$@".
    pid = subprocess.Popen(["env", "--default-signal", "-i", "PS1=$ ", "TERM=dumb", "PATH=/usr/bin:/bin", *preload(),
                            sh, "--norc" if sh == "bash" else "-i", "-i", "-s", *COMMAND], stdin=slave, stdout=slave,
                           stderr=slave, cwd=scratch, start_new_session=True,
                           preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0)).pid
    shown, seen, where = b"", 0, f"under {sh}, as the shell started:"

    def expect(text):
        nonlocal shown, seen
        answered = stops = 0
        # Only a guard against a hung run, never a measure of speed.
        deadline = time.monotonic() + 20
        while text not in shown[seen:]:
            unanswered = answering and shown[seen:].count(PROMPT) > answered
            check(time.monotonic() < deadline, where, "awaited", repr(text), "for 20 s; the screen since the last "
                  "thing seen:", screen(shown[seen:]))
            if select.select([master], [], [], 0.001 if unanswered else max(0, deadline - time.monotonic()))[0]:
                prompts = shown.count(PROMPT)
                shown += os.read(master, 512)
                if shown.count(PROMPT) > prompts and not answering:
                    echo_off(where)
            # Where the memory search finds a copy, it says so on the screen.
            for word in SECRET, HALF, b"core dumped", b"passhash-hold":
                check(word not in shown, where, "the screen shows", repr(word), "since the last thing seen:",
                      screen(shown[seen:]))
            job = os.tcgetpgrp(master)
            tool = int((read(f"/proc/{job}/task/{job}/children").split() or [0])[0])  # strace's child
            if unanswered and waiting(tool):
                echo_off(where)
                answered += 1
                os.write(master, SECRET + b"\n")
            if answering and shown[seen:].count(b"--- stopped by") > stops:
                stops += 1
                os.killpg(job, signal.SIGCONT)
        seen = shown.index(text, seen) + len(text)

    try:
        expect(b"$ ")
        awaited = 0
        for number, step in enumerate(steps, 1):
            where = f"under {sh}, step {number}, {step}:"
            os.write(master, step.keys)
            deadline = time.monotonic() + 20
            while step.settled and not (os.tcgetpgrp(master) != pid and waiting(os.tcgetpgrp(master))):
                check(time.monotonic() < deadline, where, "in 20 s no job but the shell's was seen asleep in its wait "
                      "with all typed read; the screen since the last thing seen:", screen(shown[seen:]))
                time.sleep(0.001)
            if step.signal:
                os.killpg(os.tcgetpgrp(master), step.signal)
            expect(step.awaits)
            for line in shown.split(b"\r\n"):
                check(LABEL not in line or (line.startswith(LABEL) and verifies(SECRET, line[len(LABEL):])), where,
                      "a hash not on a line of its own, or not of what was typed after the last prompt:", screen(line))
            awaited += step.awaits.startswith(b"Enter password")
            check(answering or shown.count(b"Enter password") == awaited, where, "a prompt that no step awaited; the "
                  "screen since the last thing seen:", screen(shown[seen:]))
        modes = termios.tcgetattr(master)[3]
        where = f"under {sh}, after the last step:"
        check(sh == "bash" or modes == before, where, f"the local modes are {modes:#o}, not {before:#o} as before")
        check(not os.listdir(scratch), where, "a file was left:", os.listdir(scratch))
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(master)
        os.close(slave)
    os.rmdir(scratch)
    return shown


START, FG, DONE = Step(b'"$@"\n', awaits=PROMPT), Step(b"fg\n", awaits=PROMPT), b"\r\n$ "
CTRL_Z, BG_WAIT = Step(b"\x1a", awaits=b"Stopped"), Step(b"bg; wait %1; echo waited-$((6*7))\n", awaits=b"waited-42")
# Shows on the screen only if the shell got its echo back.
AT_SHELL = Step(b"echo typed-at-shell\n", awaits=b"echo typed-at-shell")
# Cores allowed, and canonical mode off with MIN above 1: the tool reads each
# key as it comes, and a line sent at once whole.
RAW = Step(b"ulimit -c unlimited; stty -icanon min 3\n", awaits=b"$ ")


# The exit status of the last command, here or before RAW was undone.
def status(value):
    return Step(b"s=$?; stty icanon; echo status=$s\n", awaits=b"status=%d\r" % value)


# The passphrase typed and hashed, and the tool gone with status 0.
HASHED = Step(SECRET + b"\n", awaits=DONE), status(0)
# Each row runs under bash, then under dash.
ROWS = {
    "half_a_line_then_a_real_time_signal_ends_it_by_that_signal": [
        START, Step(HALF, True, 40, b"$ "), status(128 + 40)],
    # dash leaves the modes of a job held by SIGSTOP on the terminal, and
    # after bg they are still the tool's to put back.
    "sigterm_after_sigstop_and_bg_ends_it_with_the_terminal_back_and_the_queued_line_run": [
        START, Step(signal=signal.SIGSTOP, awaits=b"Stopped"),
        Step(b"kill %1; bg; wait %1\necho status=$? queued-$((6*7))\n", awaits=b"status=143 queued-42")],
    # As root, both without capabilities, or root would read it anyway.
    "its_memory_unreadable_by_another_process_of_its_user": [
        Step(b"[ $(id -u) = 0 ] && as='setpriv --bounding-set=-all' || as=; $as \"$@\" &\n", awaits=b"$ "),
        Step(b"wait %1; $as cat /proc/$!/mem\n", awaits=b"mem: Permission denied"), FG, *HASHED],
    "ctrl_c_with_sigint_ignored_by_the_caller_changes_nothing": [
        Step(b"trap '' INT\n", awaits=b"$ "), START, Step(b"\x03", settled=True), *HASHED],
    "half_a_passphrase_read_then_ctrl_z_and_fg_counts_for_nothing": [RAW, START, Step(HALF, True), CTRL_Z, FG, *HASHED],
    "ctrl_backslash_after_a_whole_passphrase_read_ends_it_by_sigquit_with_no_core_and_no_copy": [
        RAW, START, Step(SECRET, True), Step(b"\x1c", awaits=b"$ "), status(128 + 3)],
    "a_pasted_second_line_never_runs": [START, Step(SECRET + b"\ntouch pasted\n", awaits=DONE), status(0)],
    # Started with &, the tool shows nothing and stops as it finds the
    # terminal taken (`wait` returns on the stop). bash then has its line
    # editor's modes on the terminal, which are neither the ones to read with
    # nor the ones to come back to; the caller ignores SIGTTOU and blocks
    # SIGTTIN and SIGCONT, which must neither keep the tool from stopping nor
    # hide fg.
    "started_with_ampersand_shows_nothing_until_fg": [
        Step(b"trap '' TTOU; env --block-signal=TTIN,CONT \"$@\" &\n", awaits=b"$ "),
        Step(b"wait %1; jobs\n", awaits=b"Stopped"), FG, *HASHED],
    "stopped_by_sigstop_starts_over_at_fg": [START, Step(signal=signal.SIGSTOP, awaits=b"Stopped"), FG, *HASHED],
    # None of the half reaches the shell, or the passphrase typed after fg.
    "half_a_passphrase_then_sigtstp_gives_the_shell_its_echo_and_none_of_it": [
        START, Step(HALF, True, signal.SIGTSTP, b"Stopped"), AT_SHELL, FG, CTRL_Z, AT_SHELL, FG, *HASHED],
    # fg once the shell has seen the job stop again (wait returns then): a
    # stop seen only in /proc may not have reached bash yet, whose fg then
    # leaves the job stopped.
    "ctrl_z_bg_then_fg_drops_keys_typed_before_the_new_prompt": [
        START, CTRL_Z, BG_WAIT, AT_SHELL, Step(b"fg\nahead", awaits=PROMPT), *HASHED],
    # As fg sends to a job that never got to stop after bg: what was typed
    # before it still counts. Asleep again before the rest is typed: a reader
    # that woke for it has shown its new prompt by then.
    "sigcont_alone_changes_nothing": [START, Step(SECRET[:4], True, signal.SIGCONT), Step(settled=True),
                                      Step(SECRET[4:] + b"\n", awaits=DONE), status(0)],
    # As the freezer or a tracer's attach ends a wait, with no signal: only
    # what follows the prompt counts, and it all does. The memory search is
    # the tool's alone: strace reads the tool's memory.
    "a_wait_cut_short_with_no_stop_changes_nothing": [RAW, Step(
        b'LD_PRELOAD= strace -E LD_PRELOAD=$LD_PRELOAD -E ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 -o /dev/null -e '
        b'trace=epoll_pwait -e inject=epoll_pwait:error=EINTR:when=4 "$@"\n', awaits=PROMPT), *HASHED],
    # Held between the end of the wait for input and the read (a line typed):
    # the read fails, and the tool stops again in the background.
    "stop_before_the_read_then_bg_starts_over_at_fg": [
        Step(b'PASSHASH_HOLD=wait "$@"\n', awaits=PROMPT), Step(b"\n", awaits=b"Stopped"), BG_WAIT, FG, *HASHED],
    # Held at its flush of the terminal as it hands it back: a line typed
    # then is dropped with the rest before echo comes back (were the terminal
    # put back first, it would show, and the shell would run it).
    "a_line_typed_as_the_terminal_is_handed_back_is_neither_shown_nor_run": [
        Step(b'PASSHASH_HOLD=tcflush "$@"\n', awaits=PROMPT), Step(SECRET + b"\n", True),
        Step(b"touch " + HALF + b"\n", awaits=DONE), status(0)],
}


# The signal delivered on entry to each system call of a clean run, from the
# first of the tool's own code (its prctl, which keeps its memory private: the
# loader's calls before it meet every signal at its default), one run each.
# Whatever the moment, the checks of every terminal run hold. An ending signal
# ends the tool by it, unless it comes too late to matter; a stop that strace
# delivered stops it, and fg then brings a hash; SIGCONT ends nothing. A call
# met again between the same two calls is tried twice only: the same moment
# again adds nothing (the reader's loops over every signal). Stops at the
# third failing point.
def sweep(name):
    # LeakSanitizer cannot work under ptrace, and a search of the tool's memory
    # as it ends adds system calls: the other rows do both.
    def traced(options):
        return shell("dash", [Step(f'ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD= strace -q {options} "$@"\n'.encode(),
                                   awaits=b"$ ")], answering=True)

    with tempfile.NamedTemporaryFile("r") as trace:
        traced("-o " + trace.name)
        calls = [line.split("(")[0] for line in trace if "(" in line and line[0].isalpha()]
    # As strace counts the calls: the 3rd read.
    points = [f"{call}:signal=SIG{name}:when={calls[:n + 1].count(call)}" for n, call in enumerate(calls)]
    first, around = calls.index("prctl") if "prctl" in calls else len(calls), list(zip(["", *calls], calls, calls[1:]))
    points = [point for n, point in enumerate(points[:-1]) if n >= first and around[first:n].count(around[n]) < 2]
    check(len(points) > 50, "too few calls in a clean run:", calls)
    delivered, failures = 0, []
    for tried, point in enumerate(points, 1):
        try:
            shown = traced("-e status=none -e inject=" + point)
            # A signal held to the end of the read or the hash is taken there unseen by strace, then raised.
            delivered += b"si_code=SI_KERNEL" in shown or b"+++ killed by SIG%s" % name.encode() in shown
            stop = name in ("TSTP", "TTIN", "TTOU") and b"si_code=SI_KERNEL" in shown
            check(shown.count(b"--- stopped by") == stop, "stopped", shown.count(b"--- stopped by"), "times, not",
                  int(stop), screen(shown))
            ended = b"+++ exited with 0 +++" in shown or (not stop and b"+++ killed by SIG%s" % name.encode() in shown)
            check(ended, "neither exited with 0 nor, not stopped, was killed by", name, screen(shown))
        except AssertionError as failure:
            failures.append(f"at {point}: {failure}")
        check(len(failures) < 3 and (tried < len(points) or not failures), len(failures), "of the", tried,
              "points tried failed, of", len(points), "in all:\n" + "\n".join(failures))
    # Some calls may not come again in a later run, but nearly all must have
    # had the signal. A SIGCONT is held through the read and taken unseen.
    check(delivered * 10 >= len(points) * 9 or name == "CONT", "the signal came at only", delivered, "of", len(points),
          "points")


# Each of the eight that the shells send, and a sample of the rest that end a
# process: one that dumps core, one that does not, a real-time one.
SIGNALS = "HUP INT QUIT TERM ALRM USR1 USR2 PIPE ABRT PWR RT_8 TSTP TTIN TTOU CONT".split()
TESTS = {"Files": files, **{"Shell/" + name: lambda name=name: [shell(sh, ROWS[name], cleared=termios.ICANON * (
    RAW in ROWS[name])) for sh in ("bash", "dash")] for name in ROWS}, **{
    "Sweep/" + name: lambda name=name: sweep(name) for name in SIGNALS}}
if sys.argv[3:] == ["--list"]:
    print(*TESTS, sep=";", end="")
failed = False
for test_name, test in TESTS.items():
    if any(fnmatch.fnmatchcase(test_name, pattern) for pattern in sys.argv[3:]):
        try:
            test()
            print("PASS", test_name, flush=True)
        except AssertionError as failure:
            failed = True
            print("FAIL", test_name, "\n  " + str(failure).replace("\n", "\n  "), flush=True)
sys.exit(1 if failed else 0)
