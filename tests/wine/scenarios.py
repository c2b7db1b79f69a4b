#!/usr/bin/env python3
"""Runs build/windows/finish-update.exe under Wine, code page 936, on a fresh
application folder per scenario and checks everything a user can see: the exit
status, the run log byte for byte (CRLF line ends), the files afterwards, whether the
application started and with what command line, and the boxes - their texts in code
page 936, captions, types, number and order - read from Wine's relay trace of
user32.MessageBoxA. No display: every MessageBoxA returns at once (-1, last error
1400), so no box blocks. The trace also shows each MoveFileA call as it happens,
which lets a test let go of a held file after a given number of failed attempts.

Some scenarios first kill a run the way a user or a crash would (SIGKILL to the
Windows process) at a chosen point, check that the file's content is still there
under the destination's, the new copy's or the backup's name, and then run the
program again without faults: what that run leaves is checked as above.

    scenarios.py --list        the scenario names, one a line
    scenarios.py NAME          run one scenario; on a failure, print what differs

Needs the wineserver started by `winectl.py server-start` (CTest does that).
"""
import array
import difflib
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import time

sys.dont_write_bytecode = True  # keep the source folder clean
import winectl

# The application folders live on Wine's C: drive, so that the names in the log do
# not depend on where the build tree is.
ROOT_WINDOWS = "C:\\finish-update-tests"

# File contents the scenarios use, by token.
NEW = "NEW"          # the new copy
OLD = "OLD"          # the old file
STANDIN = "STANDIN"  # the stand-in application (tests/fixtures/standin-app.cpp)
DECOY = "DECOY"      # tests/fixtures/decoy-app.cpp
CONTENTS = {NEW: b"new copy, version 2\r\n", OLD: b"old file, version 1\r\n"}
PROGRAMS = {STANDIN: "tests/standin-app.exe", DECOY: "tests/decoy-app.exe"}

# How long hold-open.exe holds a file at most when not told to let go.
HOLD_LIMIT_MS = 600000

# The size of the pipe that takes a run's relay trace when a test has to hold the run
# up at a trace line: one page, so that a line that does not fit in what is left of
# it blocks the run until the pipe is read empty (Linux fills a pipe page by page).
TRACE_PIPE_SIZE = 4096

RUN_LOG = "autoUpdate_log.txt"
STARTED = "standin-started.txt"
DECOY_STARTED = "decoy-started.txt"

# The texts a user sees, as Unicode; the program must show them in code page 936.
USAGE_TEXT = "参数格式: [源文件] [目标文件] [EXE路径]"
USAGE_CAPTION = "提示"
ERROR_CAPTION = "错误"
ERROR_CODE_LINE = "错误代码: 0x%08X"
DELETE_FAILED = "删除旧文件失败"
RENAME_FAILED = "文件重命名失败"
START_FAILED = "启动应用程序失败"
RETRIES_EXHAUSTED = "超过最大重试次数，操作失败"
MB_OK = 0x0
MB_ICONERROR = 0x10
ERROR_FILE_NOT_FOUND = 2
ERROR_SHARING_VIOLATION = 32
# The final report shows the last error that the fourth attempt's box left behind:
# without a display MessageBoxA fails with ERROR_INVALID_WINDOW_HANDLE.
ERROR_INVALID_WINDOW_HANDLE = 1400


def usage_box():
    return (USAGE_TEXT.encode("cp936"), USAGE_CAPTION.encode("cp936"), MB_OK)


def error_box(context, code):
    text = context + "\n" + ERROR_CODE_LINE % code
    return (text.encode("cp936"), ERROR_CAPTION.encode("cp936"), MB_ICONERROR)


# The folder before each run: path (with '/') -> content token.
DEFAULT_LAYOUT = {"resources/app1.txt": NEW, "resources/app.asar": OLD, "quillbrook.exe": STANDIN}
UPDATED = {"resources/app.asar": NEW, "quillbrook.exe": STANDIN}
ARGUMENT_LAYOUT = {"update/app-new.bin": NEW, "current/app.bin": OLD, "bin/start.exe": STANDIN}
ARGUMENT_UPDATED = {"current/app.bin": NEW, "bin/start.exe": STANDIN}
ARGUMENTS = ["update\\app-new.bin", "current\\app.bin", "bin\\start.exe"]

# The first lines of every run log: the current folder, once per name joined to it,
# then the three names the run starts with (the fixed ones).
DEFAULT_PATH_LINES = [
    "my_exePath1: {cwd}",
    "my_exePath1: {cwd}",
    "my_exePath1: {cwd}",
    "srcPath: {cwd}\\resources\\app1.txt",
    "dstPath: {cwd}\\resources\\app.asar",
    "exePath: {cwd}\\quillbrook.exe",
]
# With three or more arguments the folder is logged again for each named file.
ARGUMENT_PATH_LINES = ["my_exePath1: {cwd}"] * 3
DEFAULT_DST = "{cwd}\\resources\\app.asar"


# The moves an attempt can make on the fixed names (relative to the run's folder).
ASIDE = ("resources\\app.asar", "resources\\app.asar.update-backup")
IN = ("resources\\app1.txt", "resources\\app.asar")
BACK = ("resources\\app.asar.update-backup", "resources\\app.asar")
# The folder after a run was killed with the old file moved aside and the new copy
# not yet moved in.
OLD_FILE_ASIDE = {"resources/app1.txt": NEW, "resources/app.asar.update-backup": OLD, "quillbrook.exe": STANDIN}
# Stands for a box in a scenario's "moves" (the boxes themselves are in "boxes").
BOX = ("box",)


def move(names, result):
    """A MoveFileA call in a scenario's "moves": the run's moves and boxes in order."""
    return ("move", names[0], names[1], result)


def attempts(dst, kinds):
    """Returns the log lines of a series of attempts on dst. kinds has one letter per
    attempt: 's' started the application, 'o' could not move the old file aside
    (logged a second time), 'f' failed later on (new copy or start)."""
    lines = []
    for number, kind in enumerate(kinds):
        lines += [f"retryCount: {number}", f"del dstPath1: {dst}"]
        if kind == "o":
            lines.append(f"del dstPath2: {dst}")
    return lines


def started(cmdline, argv):
    """What the stand-in records when started with cmdline (parsed into argv) in the
    run's current folder."""
    return {"cmdline": cmdline, "argv": argv}


SCENARIOS = [
    {
        "name": "no-arguments",
        "about": "the fixed names: the new copy replaces the old file, the application starts",
        "layout": DEFAULT_LAYOUT, "args": [],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "s"),
        "files": UPDATED,
        "started": started("{cwd}\\quillbrook.exe", ["{cwd}\\quillbrook.exe"]),
        "boxes": [],
        "moves": [move(ASIDE, 1), move(IN, 1)],
    },
    {
        "name": "one-argument",
        "about": "one argument: the usage box, nothing touched",
        "layout": DEFAULT_LAYOUT, "args": ["resources\\app1.txt"],
        "exit": 1,
        "log": DEFAULT_PATH_LINES,
        "files": DEFAULT_LAYOUT,
        "started": None,
        "boxes": [usage_box()],
    },
    {
        "name": "two-arguments",
        "about": "two arguments: the usage box, nothing touched",
        "layout": DEFAULT_LAYOUT, "args": ["resources\\app1.txt", "resources\\app.asar"],
        "exit": 1,
        "log": DEFAULT_PATH_LINES,
        "files": DEFAULT_LAYOUT,
        "started": None,
        "boxes": [usage_box()],
    },
    {
        "name": "three-arguments",
        "about": "source, destination and application named by the caller (the fixed names are present too)",
        "layout": dict(DEFAULT_LAYOUT, **ARGUMENT_LAYOUT), "args": ARGUMENTS,
        "exit": 0,
        "log": DEFAULT_PATH_LINES + ARGUMENT_PATH_LINES + attempts("{cwd}\\current\\app.bin", "s"),
        "files": dict(DEFAULT_LAYOUT, **ARGUMENT_UPDATED),
        "started": started("{cwd}\\bin\\start.exe", ["{cwd}\\bin\\start.exe"]),
        "boxes": [],
    },
    {
        "name": "five-arguments",
        "about": "arguments after the third are ignored and not passed on",
        "layout": ARGUMENT_LAYOUT, "args": ARGUMENTS + ["--extra", "two words"],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + ARGUMENT_PATH_LINES + attempts("{cwd}\\current\\app.bin", "s"),
        "files": ARGUMENT_UPDATED,
        "started": started("{cwd}\\bin\\start.exe", ["{cwd}\\bin\\start.exe"]),
        "boxes": [],
    },
    {
        "name": "wildcard-arguments",
        "about": "'?' and '*' in arguments are expanded by the C runtime to the one matching name",
        "layout": ARGUMENT_LAYOUT, "args": ["update\\app-new.b?n", "current\\app.bin", "bin\\st*.exe"],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + ARGUMENT_PATH_LINES + attempts("{cwd}\\current\\app.bin", "s"),
        "files": ARGUMENT_UPDATED,
        "started": started("{cwd}\\bin\\start.exe", ["{cwd}\\bin\\start.exe"]),
        "boxes": [],
    },
    {
        "name": "destination-held-open",
        "about": "another process holds the old file open (no sharing) for the whole run: "
                 "four silent-then-visible attempts, nothing lost",
        "layout": DEFAULT_LAYOUT, "args": [], "hold": "resources\\app.asar",
        "exit": 1,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "oooo"),
        "files": DEFAULT_LAYOUT,
        "started": None,
        "boxes": [error_box(DELETE_FAILED, ERROR_SHARING_VIOLATION),
                  error_box(RETRIES_EXHAUSTED, ERROR_INVALID_WINDOW_HANDLE)],
        "moves": [move(ASIDE, 0)] * 4 + [BOX, BOX],
    },
    {
        "name": "destination-released-after-a-second",
        "about": "the old file is held open for about a second (two attempts): the third succeeds, no box",
        "layout": DEFAULT_LAYOUT, "args": [], "hold": "resources\\app.asar", "release_after_failed_moves": 2,
        "exit": 0,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "oos"),
        "files": UPDATED,
        "started": started("{cwd}\\quillbrook.exe", ["{cwd}\\quillbrook.exe"]),
        "boxes": [],
        "moves": [move(ASIDE, 0)] * 2 + [move(ASIDE, 1), move(IN, 1)],
    },
    {
        "name": "source-held-open",
        "about": "the new copy is held open for the whole run: the old file is moved aside, the new copy "
                 "cannot follow, the old file is put back each time; nothing lost",
        "layout": DEFAULT_LAYOUT, "args": [], "hold": "resources\\app1.txt",
        "exit": 1,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "ffff"),
        "files": DEFAULT_LAYOUT,
        "started": None,
        "boxes": [error_box(RENAME_FAILED, ERROR_SHARING_VIOLATION),
                  error_box(RETRIES_EXHAUSTED, ERROR_INVALID_WINDOW_HANDLE)],
        "moves": [move(ASIDE, 1), move(IN, 0), move(BACK, 1)] * 4 + [BOX, BOX],
    },
    {
        "name": "application-missing",
        "about": "the application is missing: the new copy goes in and stays in through all four attempts",
        "layout": {"resources/app1.txt": NEW, "resources/app.asar": OLD}, "args": [],
        "exit": 1,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "ffff"),
        "files": {"resources/app.asar": NEW},
        "started": None,
        "boxes": [error_box(START_FAILED, ERROR_FILE_NOT_FOUND),
                  error_box(RETRIES_EXHAUSTED, ERROR_INVALID_WINDOW_HANDLE)],
        # Only the first attempt moves anything; the later ones find the new copy in place.
        "moves": [move(ASIDE, 1), move(IN, 1), BOX, BOX],
    },
    {
        "name": "source-absent",
        "about": "no new copy, the old file present: the application starts directly",
        "layout": {"resources/app.asar": OLD, "quillbrook.exe": STANDIN}, "args": [],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "s"),
        "files": {"resources/app.asar": OLD, "quillbrook.exe": STANDIN},
        "started": started("{cwd}\\quillbrook.exe", ["{cwd}\\quillbrook.exe"]),
        "boxes": [],
        "moves": [],
    },
    {
        "name": "source-and-destination-absent",
        "about": "neither file exists: the new copy cannot be moved in (code 2), nothing created",
        "layout": {"quillbrook.exe": STANDIN}, "args": [],
        "exit": 1,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "ffff"),
        "files": {"quillbrook.exe": STANDIN},
        "started": None,
        "boxes": [error_box(RENAME_FAILED, ERROR_FILE_NOT_FOUND),
                  error_box(RETRIES_EXHAUSTED, ERROR_INVALID_WINDOW_HANDLE)],
        "moves": [BOX, BOX],
    },
    {
        "name": "application-path-with-spaces",
        "about": "the application's folder has a space and 'my.exe' is planted beside it: "
                 "the path is quoted and the right program starts",
        "layout": dict(DEFAULT_LAYOUT, **{"my app/quillbrook.exe": STANDIN, "my.exe": DECOY}),
        "args": ["resources\\app1.txt", "resources\\app.asar", "my app\\quillbrook.exe"],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + ARGUMENT_PATH_LINES + attempts(DEFAULT_DST, "s"),
        "files": dict(UPDATED, **{"my app/quillbrook.exe": STANDIN, "my.exe": DECOY}),
        "started": started('"{cwd}\\my app\\quillbrook.exe"', ["{cwd}\\my app\\quillbrook.exe"]),
        "boxes": [],
    },
    {
        "name": "missing-application-path-with-spaces",
        "about": "the application's path has a space, the application is missing and 'my.exe' is planted "
                 "beside the folder's name: the quoted path is not found, the decoy does not start, "
                 "the new copy stays in",
        "layout": {"resources/app1.txt": NEW, "resources/app.asar": OLD, "my.exe": DECOY},
        "args": ["resources\\app1.txt", "resources\\app.asar", "my app\\quillbrook.exe"],
        "exit": 1,
        "log": DEFAULT_PATH_LINES + ARGUMENT_PATH_LINES + attempts(DEFAULT_DST, "ffff"),
        "files": {"resources/app.asar": NEW, "my.exe": DECOY},
        "started": None,
        "boxes": [error_box(START_FAILED, ERROR_FILE_NOT_FOUND),
                  error_box(RETRIES_EXHAUSTED, ERROR_INVALID_WINDOW_HANDLE)],
        "moves": [move(ASIDE, 1), move(IN, 1), BOX, BOX],
    },
    {
        "name": "names-in-code-page-936",
        "about": "Chinese folder and file names, one with the trail byte 0x5C ('淺' is 9C 5C), "
                 "pass through in code page 936",
        "layout": {"更新/新版.bin": NEW, "当前/淺色.bin": OLD, "程序/启动.exe": STANDIN},
        "args": ["更新\\新版.bin", "当前\\淺色.bin", "程序\\启动.exe"],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + ARGUMENT_PATH_LINES + attempts("{cwd}\\当前\\淺色.bin", "s"),
        "files": {"当前/淺色.bin": NEW, "程序/启动.exe": STANDIN},
        "started": started("{cwd}\\程序\\启动.exe", ["{cwd}\\程序\\启动.exe"]),
        "boxes": [],
        "moves": [move(("当前\\淺色.bin", "当前\\淺色.bin.update-backup"), 1),
                  move(("更新\\新版.bin", "当前\\淺色.bin"), 1)],
    },
    {
        "name": "run-log-cannot-be-created",
        "about": "a folder has the run log's name: the run goes on without a log",
        "layout": dict(DEFAULT_LAYOUT, **{RUN_LOG + "/keep.txt": OLD}), "args": [],
        "exit": 0,
        "log": None,
        "files": dict(UPDATED, **{RUN_LOG + "/keep.txt": OLD}),
        "started": started("{cwd}\\quillbrook.exe", ["{cwd}\\quillbrook.exe"]),
        "boxes": [],
    },
    {
        "name": "two-runs-in-a-row",
        "about": "a longer run, then a shorter one: the log holds only the second",
        "layout": DEFAULT_LAYOUT,
        "earlier_runs": [{"args": ["resources\\app1.txt", "resources\\app.asar", "quillbrook.exe"], "exit": 0}],
        "args": [],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "s"),
        "files": UPDATED,
        "started": started("{cwd}\\quillbrook.exe", ["{cwd}\\quillbrook.exe"]),
        "boxes": [],
    },
    # Killed runs: "killed_run" is the run that is killed (with "hold" held open until
    # the kill, or as the kill point says) and the files it must leave; the rest of the
    # row is the run after it, without faults.
    {
        "name": "killed-in-a-pause",
        "about": "killed in the pause after an attempt failed on the held old file, then run again: "
                 "nothing was moved, the update completes",
        "layout": DEFAULT_LAYOUT,
        "killed_run": {"args": [], "hold": "resources\\app.asar", "kill": "in-a-pause", "files": DEFAULT_LAYOUT},
        "args": [],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "s"),
        "files": UPDATED,
        "started": started("{cwd}\\quillbrook.exe", ["{cwd}\\quillbrook.exe"]),
        "boxes": [],
        "moves": [move(ASIDE, 1), move(IN, 1)],
    },
    {
        "name": "killed-with-the-old-file-aside",
        "about": "killed right after the old file was moved aside, before the new copy was moved in, then "
                 "run again: the new copy goes in and the backup is removed",
        "layout": DEFAULT_LAYOUT,
        "killed_run": {"args": [], "hold": "resources\\app.asar", "kill": "old-file-aside", "files": OLD_FILE_ASIDE},
        "args": [],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "s"),
        "files": UPDATED,
        "started": started("{cwd}\\quillbrook.exe", ["{cwd}\\quillbrook.exe"]),
        "boxes": [],
        # The old file is already aside: only the new copy moves.
        "moves": [move(IN, 1)],
    },
]


def find_scenario(name, table):
    for scenario in table:
        if scenario["name"] == name:
            return scenario
    sys.exit(f"no scenario named {name!r}; known: {', '.join(s['name'] for s in table)}")


def folder_of(name):
    """Returns the scenario's application folder: its Unix name and its Windows name."""
    return (os.path.join(winectl.prefix_dir(), "drive_c", ROOT_WINDOWS[3:], name),
            ROOT_WINDOWS + "\\" + name)


def content_bytes(token):
    if token in CONTENTS:
        return CONTENTS[token]
    with open(winectl.windows_program(PROGRAMS[token]), "rb") as f:
        return f.read()


def make_layout(folder, layout):
    """Makes folder afresh with the files of layout in it."""
    if os.path.lexists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    for path, token in layout.items():
        full = os.path.join(folder, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(content_bytes(token))


def read_tree(folder, leave_out):
    """Returns {path: token or bytes} for every file under folder (paths with '/'),
    leaving out the names in leave_out; a file whose bytes match a known content is
    shown by its token."""
    known = {}
    for token in list(CONTENTS) + list(PROGRAMS):
        known[content_bytes(token)] = token
    tree = {}
    for directory, _, files in os.walk(folder):
        for name in files:
            full = os.path.join(directory, name)
            path = os.path.relpath(full, folder).replace(os.sep, "/")
            if path in leave_out:
                continue
            with open(full, "rb") as f:
                data = f.read()
            tree[path] = known.get(data, data)
    return tree


def expected_log_bytes(lines, cwd):
    return b"".join(line.format(cwd=cwd).encode("cp936") + b"\r\n" for line in lines)


def expected_record(record, cwd):
    """The stand-in's record for an expected start: cmdline, argc, argv, cwd, in the
    stand-in's own format (LF line ends)."""
    argv = [a.format(cwd=cwd) for a in record["argv"]]
    lines = [f"cmdline: {record['cmdline'].format(cwd=cwd)}", f"argc: {len(argv)}"]
    lines += [f"argv[{i}]: {a}" for i, a in enumerate(argv)]
    lines.append(f"cwd: {cwd}")
    return "".join(line + "\n" for line in lines).encode("cp936")


# Relay trace lines: a MessageBoxA call (owner, text, caption, type), a MoveFileA call
# (existing name, new name) and its return. Wine prints strings with C escapes, bytes
# above 0x7E as \xNN, and "..." after the closing quote when it cut a string short.
STRING = rb'[0-9a-fA-F]+ "((?:[^"\\]|\\.)*)"(\.\.\.)?'
BOX_CALL = re.compile(rb"Call user32\.MessageBoxA\([0-9a-fA-F]+," + STRING + b"," + STRING + rb",([0-9a-fA-F]+)\)")
MOVE_CALL = re.compile(rb"Call KERNEL32\.MoveFileA\(" + STRING + b"," + STRING + rb"\)")
MOVE_RETURN = re.compile(rb"Ret  KERNEL32\.MoveFileA\(\) retval=([0-9a-fA-F]+)")
ESCAPES = {b"n": b"\n", b"r": b"\r", b"t": b"\t", b'"': b'"', b"\\": b"\\"}


def unescape(text, cut):
    """Returns the bytes of a string as the relay trace printed it; b'<cut>' is added
    when Wine cut it short."""
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i:i + 2] == b"\\x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        elif text[i:i + 1] == b"\\":
            out += ESCAPES.get(text[i + 1:i + 2], text[i:i + 2])
            i += 2
        else:
            out += text[i:i + 1]
            i += 1
    return bytes(out) + (b"<cut>" if cut else b"")


def trace_events(trace):
    """Returns the boxes and moves of a relay trace in order: ("box", text, caption,
    type) and ("move", existing name, new name, 1 or 0 for the result), with the
    exact bytes."""
    events = []
    pending_move = None
    for line in trace.split(b"\n"):
        box = BOX_CALL.search(line)
        move = MOVE_CALL.search(line)
        done = MOVE_RETURN.search(line)
        if box:
            events.append(("box", unescape(box.group(1), box.group(2)), unescape(box.group(3), box.group(4)),
                           int(box.group(5), 16)))
        elif move:
            pending_move = (unescape(move.group(1), move.group(2)), unescape(move.group(3), move.group(4)))
        elif done and pending_move:
            events.append(("move",) + pending_move + (1 if int(done.group(1), 16) else 0,))
            pending_move = None
    return events


def boxes_in_trace(trace):
    """Returns the MessageBoxA calls of a relay trace in order, as (text, caption,
    type)."""
    return [event[1:] for event in trace_events(trace) if event[0] == "box"]


def show_event(event, cwd):
    if event[0] == "box":
        return "box: " + (show_box(event[1:]) if len(event) > 1 else "(any)")
    names = [(n.decode("cp936", "backslashreplace") if isinstance(n, bytes) else n).replace(cwd + "\\", "")
             for n in event[1:3]]
    return f"MoveFileA({names[0]}, {names[1]}) {'succeeds' if event[3] else 'fails'}"


def show_box(box):
    text, caption, kind = box
    return (f"caption {caption.decode('cp936', 'backslashreplace')!r} type 0x{kind:X} "
            f"text {text.decode('cp936', 'backslashreplace')!r}")


def show_lines(data):
    """Returns data (code page 936) as lines with CR and LF shown as \\r and \\n,
    other control bytes and undecodable bytes as \\xNN."""
    lines = []
    for line in data.splitlines(keepends=True):
        text = line.decode("cp936", "backslashreplace")
        lines.append("".join(c if c >= " " else {"\r": "\\r", "\n": "\\n"}.get(c, f"\\x{ord(c):02x}")
                             for c in text))
    return lines


def diff_text(expected, actual):
    return "\n".join("      " + line for line in difflib.unified_diff(
        expected, actual, "expected", "actual", lineterm="", n=2))


def start_hold(folder, windows_folder, path, hold_ms, display=None):
    """Starts hold-open.exe on path (relative to folder) and returns once it holds the
    file: (process, release-marker path), or stops the test when it cannot."""
    ready = folder + ".ready"
    release = folder + ".release"
    for marker in (ready, release):
        if os.path.exists(marker):
            os.remove(marker)
    with open(folder + ".hold-open.out", "wb") as out:
        process = subprocess.Popen(
            ["wine", winectl.windows_program("tests/hold-open.exe"), path,
             windows_folder + ".ready", windows_folder + ".release", str(hold_ms)],
            cwd=folder, env=winectl.wine_env(display), stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    deadline = time.monotonic() + 60
    while not os.path.exists(ready):
        if process.poll() is not None:
            sys.exit(f"hold-open.exe ended with status {process.returncode} before holding {path}")
        if time.monotonic() > deadline:
            process.kill()
            sys.exit(f"hold-open.exe did not hold {path} within 60 s")
        time.sleep(0.02)
    return process, release


def wait_for_failed_moves(process, count):
    """Returns True once the run's relay trace shows count failed MoveFileA calls,
    False when the run ends or two minutes pass first."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        events = trace_events(read_file(process.trace_path) or b"")
        if sum(1 for event in events if event[0] == "move" and not event[3]) >= count:
            return True
        if process.poll() is not None:
            return False
        time.sleep(0.02)
    return False


def end_hold(hold):
    """Lets the file go and returns hold-open.exe's exit status."""
    process, release = hold
    open(release, "wb").close()
    try:
        return process.wait(timeout=60)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


def run_program(folder, args, tag, display=None, trace_pipe=False):
    """Starts finish-update.exe under Wine in folder with the relay trace of
    MessageBoxA on; its output goes to files named after tag. Returns the process.
    With trace_pipe the trace goes to a pipe of TRACE_PIPE_SIZE bytes instead, whose
    two ends are kept in process.trace_pipe; read_trace_until copies it to the file."""
    err_path = f"{folder}.{tag}.trace"
    pipe = None
    if trace_pipe:
        pipe = os.pipe()
        fcntl.fcntl(pipe[1], fcntl.F_SETPIPE_SZ, TRACE_PIPE_SIZE)
    with open(f"{folder}.{tag}.out", "wb") as out, open(err_path, "wb") as err:
        process = subprocess.Popen(["wine", winectl.windows_program("finish-update.exe")] + args,
                                   cwd=folder, env=winectl.wine_env(display, relay=True),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=pipe[1] if pipe else err)
    process.trace_path = err_path
    process.trace_pipe = pipe
    return process


def wait_program(process, timeout=120):
    """Returns the exit status, or None when the program had to be killed."""
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None


def read_trace_until(process, done, timeout=120):
    """Copies the run's relay trace from its pipe to its trace file until done(the
    trace so far) holds. Returns the trace so far, or None when the run ends or
    timeout seconds pass first."""
    read_end = process.trace_pipe[0]
    data = read_file(process.trace_path) or b""
    deadline = time.monotonic() + timeout
    with open(process.trace_path, "ab") as trace:
        while not done(data):
            if process.poll() is not None or time.monotonic() > deadline:
                return None
            if select.select([read_end], [], [], 0.05)[0]:
                chunk = os.read(read_end, 65536)
                trace.write(chunk)
                data += chunk
    return data


def failed_move_at_end(data):
    """Returns the last two lines of data when they are a MoveFileA call and its
    return with 0 (a failed move), else None."""
    lines = data.split(b"\n")
    if not data.endswith(b"\n") or len(lines) < 3 or not MOVE_CALL.search(lines[-3]):
        return None
    done = MOVE_RETURN.search(lines[-2])
    if not done or int(done.group(1), 16) != 0:
        return None
    return lines[-3] + b"\n", lines[-2] + b"\n"


def bytes_waiting(fd):
    count = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, count)
    return count[0]


def wait_in_a_pause(process, hold, folder, killed):
    """A kill point: the first attempt has failed on the held file and the run goes
    into its pause; the next attempt cannot succeed while the file is held, so the
    kill falls between attempts. Returns None there, or why the run did not get
    there."""
    if not wait_for_failed_moves(process, 1):
        return "the run made no failed move while the old file was held"
    return None


def hold_up_with_old_file_aside(process, hold, folder, killed):
    """A kill point for a run with its trace in a pipe (run_program(trace_pipe=True))
    and the old file held: once the first attempt has failed on the held file, fills
    the pipe so that the next attempt's MoveFileA call line still fits but its return
    line does not, and lets go of the file. That attempt moves the old file aside and
    then blocks writing the return line, before it can move the new copy in. Only
    the filling has to come before the next attempt, and it follows the failed move's
    return line at once, well within the pause; check_held_up_trace makes sure
    afterwards that the run wrote nothing past the call line. Returns None once the
    old file is aside, or why it is not."""
    lines = read_trace_until(process, failed_move_at_end)
    if lines is None:
        return "the run made no failed move while the old file was held"
    call_line, return_line = failed_move_at_end(lines)
    read_end, write_end = process.trace_pipe
    if bytes_waiting(read_end):
        return "the run wrote more trace right after its failed move; cannot hold it up"
    # The next attempt's lines are the same as this one's but for the result, which
    # has the same width; half a return line of room either way for any difference.
    filler = TRACE_PIPE_SIZE - len(call_line) - len(return_line) // 2
    # A write that cannot wait: had the run written into the pipe meanwhile, a blocking
    # one could wait for this very reader. Through a new opening of the pipe, because
    # the run's standard error shares the first opening's blocking mode.
    writer = os.open(f"/proc/self/fd/{write_end}", os.O_WRONLY | os.O_NONBLOCK)
    try:
        written = os.write(writer, b"." * filler)
    except BlockingIOError:
        written = 0
    os.close(writer)
    if written != filler:
        return "the trace pipe had no room for the filler: the run wrote on before it was filled"
    process.trace_filler = filler
    hold_status = end_hold(hold)
    if hold_status != 0:
        return f"hold-open.exe ended with status {hold_status}"
    destination = os.path.join(folder, killed["hold"].replace("\\", "/"))
    deadline = time.monotonic() + 60
    while os.path.lexists(destination) or not os.path.lexists(destination + ".update-backup"):
        if process.poll() is not None:
            return f"the run ended (status {process.returncode}) before it moved the old file aside"
        if time.monotonic() > deadline:
            return "the old file was not moved aside within 60 s of letting it go"
        time.sleep(0.01)
    return None


KILL_POINTS = {"in-a-pause": (wait_in_a_pause, False), "old-file-aside": (hold_up_with_old_file_aside, True)}


def windows_program_pid(process):
    """Returns the Unix pid of the process running finish-update.exe: the `wine`
    launcher turns into it, so normally the launcher's own pid, otherwise one of its
    descendants; None when there is none."""
    pids = [process.pid]
    while pids:
        pid = pids.pop(0)
        arguments = winectl.read_proc(pid, "cmdline").split(b"\0")
        if arguments[0].lower().replace(b"\\", b"/").endswith(b"/finish-update.exe"):
            return pid
        for task in os.listdir(f"/proc/{pid}/task") if os.path.isdir(f"/proc/{pid}/task") else []:
            pids += [int(child) for child in winectl.read_proc(pid, f"task/{task}/children").split()]
    return None


def kill_run(process):
    """Kills the Windows program of a run with SIGKILL and waits for the run to end.
    Returns None, or why the run did not end that way."""
    pid = windows_program_pid(process)
    if pid is None:
        status = wait_program(process, 0)
        return f"finish-update.exe was not running to be killed (the run's status {status})"
    os.kill(pid, signal.SIGKILL)
    status = wait_program(process, 60)
    if pid == process.pid and status != -signal.SIGKILL:
        return f"the run ended with status {status}, not by the kill"
    return None


def run_killed(folder, windows_folder, killed, kill_point, trace_pipe, problems, display=None):
    """Runs the program with killed["hold"] held open, waits with kill_point(process,
    hold, folder, killed) for the moment to kill it, kills it, lets go of the file and
    checks that the run left killed["files"] and did not start the application.
    Appends what is wrong to problems (saying "killed run"); returns the process."""
    hold = start_hold(folder, windows_folder, killed["hold"], HOLD_LIMIT_MS, display)
    process = run_program(folder, killed["args"], "killed", display, trace_pipe)
    for why in (kill_point(process, hold, folder, killed), kill_run(process)):
        if why:
            problems.append("killed run: " + why)
    hold_status = end_hold(hold)
    if hold_status != 0:
        problems.append(f"killed run: hold-open.exe ended with status {hold_status}")
    if process.trace_pipe:
        check_held_up_trace(process, windows_folder, problems)
    still_running = winectl.wait_for_programs_in(windows_folder)
    if still_running:
        problems.append(f"killed run: programs started from the folder still run after 30 s: pids {still_running}")
    check_files(killed["files"], folder, "killed run: files after the kill differ", problems)
    record = read_file(os.path.join(folder, STARTED))
    if record is not None:
        problems.append("killed run: the application started:\n      " + "\n      ".join(show_lines(record)))
        os.remove(os.path.join(folder, STARTED))
    return process


def check_held_up_trace(process, cwd, problems):
    """Reads what is left in a held-up run's trace pipe after the kill, adds it to the
    trace file, and checks that it is the filler and then nothing but the MoveFileA
    call that moved the old file aside: the run got no further."""
    read_end, write_end = process.trace_pipe
    os.close(write_end)
    # Not up to the end of the pipe: the wineserver may still hold a copy of the
    # killed program's standard error for a moment.
    os.set_blocking(read_end, False)
    left = b""
    while True:
        try:
            chunk = os.read(read_end, 65536)
        except BlockingIOError:
            break
        if not chunk:
            break
        left += chunk
    os.close(read_end)
    filler = getattr(process, "trace_filler", None)
    after = left[filler:] if filler and left[:filler] == b"." * filler else left
    with open(process.trace_path, "ab") as trace:
        trace.write(after)
    if filler is None:
        return  # not held up: the kill point said why
    call = MOVE_CALL.search(after)
    aside = call and after.count(b"\n") == 1 and after.endswith(b"\n") and \
        [unescape(call.group(1), call.group(2)), unescape(call.group(3), call.group(4))] == \
        [f"{cwd}\\{name}".encode("cp936") for name in ASIDE]
    if not aside:
        problems.append("killed run: the trace after the hold-up is not just the call that moves the old file "
                        "aside (the run was not held up there, or got further):\n"
                        + "\n".join("      " + line for line in show_lines(after)))


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError):
        return None


def check_files(want_files, folder, what, problems):
    """Compares the files in folder (but for the run log and the started programs'
    records) with want_files; appends what, with each difference, to problems."""
    actual_files = read_tree(folder, {RUN_LOG, STARTED, DECOY_STARTED})
    if actual_files != want_files:
        lines = []
        for path in sorted(set(want_files) | set(actual_files)):
            want = want_files.get(path, "absent")
            got = actual_files.get(path, "absent")
            if want != got:
                lines.append(f"      {path}: expected {want}, found {got if isinstance(got, str) else repr(got[:60])}")
        problems.append(what + ":\n" + "\n".join(lines))


def check_outcome(scenario, folder, windows_folder, status, trace, problems):
    """Compares what a finished run left with the scenario's expectations; appends a
    description of each difference to problems."""
    cwd = windows_folder
    if status != scenario["exit"]:
        problems.append(f"exit status: expected {scenario['exit']}, got "
                        f"{'none (killed after the time limit)' if status is None else status}")

    if scenario["log"] is not None:
        wanted = expected_log_bytes(scenario["log"], cwd)
        actual = read_file(os.path.join(folder, RUN_LOG))
        if actual is None:
            problems.append(f"log: {RUN_LOG} was not written")
        elif actual != wanted:
            same_lines = actual.replace(b"\r\n", b"\n") == wanted.replace(b"\r\n", b"\n")
            problems.append(f"log: {RUN_LOG} differs (exact bytes, CRLF line ends)"
                            + (": same lines, other line ends" if same_lines else "") + ":\n"
                            + diff_text(show_lines(wanted), show_lines(actual)))

    check_files(scenario["files"], folder, "files afterwards differ", problems)

    record = read_file(os.path.join(folder, STARTED))
    if scenario["started"] is None:
        if record is not None:
            problems.append("application: expected not started, but it started:\n      "
                            + "\n      ".join(show_lines(record)))
    else:
        want = expected_record(scenario["started"], cwd)
        if record is None:
            problems.append("application: expected started, but it did not start"
                            + (" (it did in an earlier run)" if scenario.get("earlier_runs") else ""))
        elif record != want:
            problems.append("application: started with other details:\n"
                            + diff_text(show_lines(want), show_lines(record)))
    decoy = read_file(os.path.join(folder, DECOY_STARTED))
    if decoy is not None:
        problems.append("the planted decoy my.exe started: " + decoy.decode("cp936", "backslashreplace").strip())

    events = trace_events(trace)
    if "moves" in scenario:
        seen = [BOX if e[0] == "box" else
                ("move",) + tuple(n.decode("cp936", "backslashreplace").replace(cwd + "\\", "") for n in e[1:3])
                + (e[3],) for e in events]
        if seen != scenario["moves"]:
            problems.append("moves and boxes, in order, differ:\n      expected:\n"
                            + "".join(f"        {show_event(e, cwd)}\n" for e in scenario["moves"])
                            + "      actual:\n"
                            + "".join(f"        {show_event(e, cwd)}\n" for e in events))

    boxes = [event[1:] for event in events if event[0] == "box"]
    if boxes != scenario["boxes"]:
        problems.append("boxes (MessageBoxA calls, in order) differ:\n      expected:\n"
                        + "".join(f"        {i + 1}. {show_box(b)}\n" for i, b in enumerate(scenario["boxes"]))
                        + ("        (none)\n" if not scenario["boxes"] else "")
                        + "      actual:\n"
                        + "".join(f"        {i + 1}. {show_box(b)}\n" for i, b in enumerate(boxes))
                        + ("        (none)\n" if not boxes else ""))


def run_scenario(scenario):
    folder, windows_folder = folder_of(scenario["name"])
    make_layout(folder, scenario["layout"])
    problems = []
    for number, earlier in enumerate(scenario.get("earlier_runs", [])):
        status = wait_program(run_program(folder, earlier["args"], f"run{number + 1}"))
        winectl.wait_for_programs_in(windows_folder)
        if status != earlier["exit"]:
            problems.append(f"earlier run {number + 1}: exit status: expected {earlier['exit']}, got {status}")
        for marker in (STARTED, DECOY_STARTED):
            if os.path.exists(os.path.join(folder, marker)):
                os.remove(os.path.join(folder, marker))
    if scenario.get("killed_run"):
        kill_point, trace_pipe = KILL_POINTS[scenario["killed_run"]["kill"]]
        run_killed(folder, windows_folder, scenario["killed_run"], kill_point, trace_pipe, problems)

    hold = None
    if scenario.get("hold"):
        hold = start_hold(folder, windows_folder, scenario["hold"], HOLD_LIMIT_MS)
    process = run_program(folder, scenario["args"], "run")
    if hold and scenario.get("release_after_failed_moves"):
        if not wait_for_failed_moves(process, scenario["release_after_failed_moves"]):
            problems.append(f"the run did not make {scenario['release_after_failed_moves']} failed moves "
                            "while the file was held")
        hold_status = end_hold(hold)
        hold = None
        if hold_status != 0:
            problems.append(f"hold-open.exe ended with status {hold_status}")
    status = wait_program(process)
    if hold:
        hold_status = end_hold(hold)
        if hold_status != 0:
            problems.append(f"hold-open.exe ended with status {hold_status}")
    still_running = winectl.wait_for_programs_in(windows_folder)
    if still_running:
        problems.append(f"programs started from the folder still run after 30 s: pids {still_running}")
    trace = read_file(process.trace_path) or b""
    check_outcome(scenario, folder, windows_folder, status, trace, problems)
    return problems


def report(name, about, problems):
    if not problems:
        print(f"scenario {name}: passed ({about})")
        return 0
    print(f"scenario {name} FAILED ({about}):")
    for problem in problems:
        print("  - " + problem)
    return 1


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        print("\n".join(s["name"] for s in SCENARIOS))
        return 0
    if len(argv) != 2:
        print(__doc__)
        return 2
    scenario = find_scenario(argv[1], SCENARIOS)
    return report(scenario["name"], scenario["about"], run_scenario(scenario))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
