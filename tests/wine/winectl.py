#!/usr/bin/env python3
"""The Wine side of the tests: the Wine prefix, the zh_CN.UTF-8 locale, the
wineserver kept up for a run of tests, and the Xvfb display for the tests that show
real boxes. CTest runs each step below as a setup or cleanup test; the test scripts
import the helpers.

    winectl.py locale          generate the zh_CN.UTF-8 locale (once; cached)
    winectl.py prefix          prepare the Wine prefix (once; cached, checked each time)
    winectl.py server-start    start a wineserver without a display, for the trace runs
    winectl.py server-stop     stop it
    winectl.py display-start   start Xvfb and a wineserver that uses it
    winectl.py display-stop    stop both
    winectl.py run-exe EXE [ARG...]   run a Windows test program in the prefix (its
                               folder current) and show its output

Where things are, from the environment (set by tests/wine/CMakeLists.txt):
FU_WINE_PREFIX, FU_WINE_LOCALES, FU_WINE_STATE (pid files and logs), FU_WINDOWS_BUILD
(the Windows build tree, holding finish-update.exe and tests/*.exe).

Every Wine process gets LC_ALL=zh_CN.UTF-8 with LOCPATH pointing at the generated
locale: that gives the ANSI code page 936, and file names with bytes above 0x7F
work only when the locale exists. Output of Wine processes always goes to files: a
process that Wine starts (explorer.exe, services.exe, a started application) keeps
the output it inherited open for as long as it lives.
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import time

# Bump when the prefix settings below change, so that cached prefixes are remade.
PREFIX_SETTINGS = "2"
# Registry settings made once per prefix.
PREFIX_REGISTRY = [
    # What a run's relay trace shows: the boxes, and each move, so that a test can
    # act between attempts.
    ["HKCU\\Software\\Wine\\Debug", "RelayInclude", "user32.MessageBoxA;kernel32.MoveFileA"],
    # Wine draws the title bar itself: there is no window manager under Xvfb, and the
    # screenshots should show the box's caption.
    ["HKCU\\Software\\Wine\\X11 Driver", "Decorated", "N"],
]
LOCALE = "zh_CN.UTF-8"
STARTUP_TIMEOUT = 300


def setting(name):
    """Returns the environment variable name; stops the test when it is missing."""
    value = os.environ.get(name)
    if not value:
        sys.exit(f"winectl: {name} is not set (the tests are meant to be run by CTest)")
    return value


def prefix_dir():
    return setting("FU_WINE_PREFIX")


def state_dir():
    path = setting("FU_WINE_STATE")
    os.makedirs(path, exist_ok=True)
    return path


def windows_build():
    return setting("FU_WINDOWS_BUILD")


def windows_program(relative):
    """Returns the full name of a program of the Windows build; stops the test with
    how to build it when it is missing."""
    path = os.path.join(windows_build(), relative)
    if not os.path.isfile(path):
        sys.exit(f"missing {path}: build the Windows programs first "
                 "(cmake --preset windows && cmake --build --preset windows)")
    return path


def display_file():
    return os.path.join(state_dir(), "display")


def current_display():
    """Returns the display of the running Xvfb (":N"), or None when none is up."""
    try:
        with open(display_file()) as f:
            return f.read().strip() or None
    except FileNotFoundError:
        return None


def wine_env(display=None, relay=False):
    """Returns the environment for a Wine process: the prefix, code page 936, quiet
    debug output (or the MessageBoxA relay trace), and DISPLAY only when given."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("LC_") and k not in ("LANG", "LANGUAGE", "DISPLAY", "WAYLAND_DISPLAY")}
    env.update(
        WINEPREFIX=prefix_dir(),
        WINEDEBUG="-all,+relay" if relay else "-all",
        WINEDLLOVERRIDES="mscoree,mshtml=",
        LOCPATH=setting("FU_WINE_LOCALES"),
        LC_ALL=LOCALE,
    )
    if display:
        env["DISPLAY"] = display
    return env


def windows_name(unix_path):
    """Returns the name Wine gives a Unix path through its Z: drive."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def run_quiet(command, env, log_name, timeout, cwd=None):
    """Runs command with its output appended to a log file in the state folder.
    Returns its exit status; stops the test, showing the log's end, on a timeout."""
    log_path = os.path.join(state_dir(), log_name)
    with open(log_path, "ab") as log:
        log.write(("\n$ " + " ".join(command) + "\n").encode())
        log.flush()
        process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=log, stderr=log, start_new_session=True)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            sys.exit(f"winectl: {' '.join(command)} did not end within {timeout} s; "
                     f"see {log_path}:\n{tail(log_path)}")


def tail(path, lines=30):
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "backslashreplace")
    except FileNotFoundError:
        return ""
    return "\n".join(text.splitlines()[-lines:])


def wine_version():
    result = subprocess.run(["wine", "--version"], env=wine_env(), stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=60)
    return result.stdout.strip()


def stop_server(env):
    """Stops this prefix's wineserver and every process in it, if one is up, and
    returns once it is gone."""
    run_quiet(["wineserver", "-k"], env, "wineserver.log", 60)
    run_quiet(["wineserver", "-w"], env, "wineserver.log", 60)


def locale_step():
    target = os.path.join(setting("FU_WINE_LOCALES"), LOCALE)
    if os.path.isfile(os.path.join(target, "LC_CTYPE")):
        print(f"locale {LOCALE}: reusing {target}")
        return 0
    os.makedirs(os.path.dirname(target), exist_ok=True)
    # localedef exits 1 after mere warnings; the files it wrote are what counts.
    status = run_quiet(["localedef", "-i", "zh_CN", "-f", "UTF-8", target], dict(os.environ),
                       "localedef.log", STARTUP_TIMEOUT)
    if not os.path.isfile(os.path.join(target, "LC_CTYPE")):
        print(f"localedef failed (status {status}):\n{tail(os.path.join(state_dir(), 'localedef.log'))}")
        return 1
    print(f"locale {LOCALE}: generated in {target}")
    return 0


def prefix_step():
    prefix = prefix_dir()
    env = wine_env()
    stamp_path = os.path.join(prefix, ".finish-update-tests")
    wanted = f"{wine_version()}\nsettings {PREFIX_SETTINGS}\n"
    try:
        with open(stamp_path) as f:
            stamp = f.read()
    except FileNotFoundError:
        stamp = None
    if stamp == wanted and os.path.isfile(os.path.join(prefix, "system.reg")) \
            and os.path.isdir(os.path.join(prefix, "drive_c")):
        print(f"Wine prefix: reusing {prefix}")
        return 0
    started = time.monotonic()
    if os.path.isdir(prefix):
        stop_server(env)
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    status = run_quiet(["wineboot", "-i"], env, "prefix.log", STARTUP_TIMEOUT)
    for key, name, value in PREFIX_REGISTRY:
        if status == 0:
            status = run_quiet(["wine", "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f"],
                               env, "prefix.log", STARTUP_TIMEOUT)
    run_quiet(["wineserver", "-w"], env, "prefix.log", STARTUP_TIMEOUT)
    if status != 0 or not os.path.isfile(os.path.join(prefix, "system.reg")):
        print(f"preparing the Wine prefix failed (status {status}):\n"
              f"{tail(os.path.join(state_dir(), 'prefix.log'))}")
        return 1
    with open(stamp_path, "w") as f:
        f.write(wanted)
    print(f"Wine prefix: made {prefix} in {time.monotonic() - started:.0f} s")
    return 0


def start_server(display):
    """Starts a persistent wineserver for the prefix, with or without a display, and
    has it start Wine's own background programs (with quiet debug output, so that no
    test's trace picks them up). Returns 0, or 1 with the reason printed."""
    env = wine_env(display)
    stop_server(env)  # one left over from an interrupted run, or one with another display
    run_quiet(["wineserver", "-p"], env, "wineserver.log", 60)
    status = run_quiet(["wine", "cmd", "/c", "exit"], env, "warm-up.log", STARTUP_TIMEOUT,
                       cwd=os.path.join(prefix_dir(), "drive_c"))
    if status != 0:
        print(f"Wine does not run programs (status {status}):\n{tail(os.path.join(state_dir(), 'warm-up.log'))}")
        return 1
    print(f"wineserver up for {prefix_dir()}" + (f" on display {display}" if display else " without a display"))
    return 0


def server_start_step():
    return start_server(None)


def server_stop_step():
    stop_server(wine_env())
    print("wineserver stopped")
    return 0


def display_start_step():
    """Starts Xvfb on a free display (it picks the number itself and tells it through
    a pipe) and a wineserver that uses it."""
    stop_recorded_xvfb()  # one left over from an interrupted run
    read_end, write_end = os.pipe()
    log = open(os.path.join(state_dir(), "xvfb.log"), "ab")
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                            stdout=log, stderr=log, start_new_session=True)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 60
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_end], [], [], 1)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        xvfb.kill()
        print(f"Xvfb did not start:\n{tail(os.path.join(state_dir(), 'xvfb.log'))}")
        return 1
    display = ":" + number.strip().decode()
    with open(os.path.join(state_dir(), "xvfb.pid"), "w") as f:
        f.write(str(xvfb.pid))
    with open(display_file(), "w") as f:
        f.write(display)
    print(f"Xvfb up on {display} (pid {xvfb.pid})")
    return start_server(display)


def display_stop_step():
    display = current_display()
    stop_server(wine_env(display))
    stop_recorded_xvfb()
    print(f"Xvfb on {display} and its wineserver stopped")
    return 0


def stop_recorded_xvfb():
    """Stops the Xvfb whose pid display-start recorded, if it still runs, and forgets
    it and its display."""
    pid_path = os.path.join(state_dir(), "xvfb.pid")
    try:
        with open(pid_path) as f:
            pid = int(f.read())
    except (FileNotFoundError, ValueError):
        pid = None
    # Only the Xvfb this fixture started: its pid, checked against its command line.
    if pid and b"Xvfb" in read_proc(pid, "cmdline"):
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            if not os.path.exists(f"/proc/{pid}") or b"Z" == proc_state(pid):
                break
            time.sleep(0.05)
    for path in (pid_path, display_file()):
        if os.path.exists(path):
            os.remove(path)


def read_proc(pid, name):
    try:
        with open(f"/proc/{pid}/{name}", "rb") as f:
            return f.read()
    except OSError:
        return b""


def proc_state(pid):
    fields = read_proc(pid, "stat").rsplit(b")", 1)
    return fields[1].split()[0] if len(fields) == 2 and fields[1].split() else b""


def wine_processes_in(windows_folder):
    """Returns the pids of this prefix's live processes whose command line names
    something in windows_folder (Wine shows a program's Windows name there)."""
    needle = (windows_folder.rstrip("\\") + "\\").lower().encode("utf-8")
    wanted_prefix = b"WINEPREFIX=" + prefix_dir().encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        if needle not in read_proc(entry, "cmdline").lower():
            continue
        if wanted_prefix in read_proc(entry, "environ").split(b"\0") and proc_state(entry) != b"Z":
            found.append(int(entry))
    return found


def wait_for_programs_in(windows_folder, timeout=30):
    """Returns once no process of this prefix runs a program from windows_folder, or
    the pids still running after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        running = wine_processes_in(windows_folder)
        if not running or time.monotonic() > deadline:
            return running
        time.sleep(0.05)


def run_exe_step(arguments):
    """Runs a Windows test program from the Windows build with its own folder current,
    without a display, and shows what it printed. Returns its exit status."""
    program = windows_program(arguments[0])
    out_path = os.path.join(state_dir(), os.path.basename(program) + ".out")
    with open(out_path, "wb") as out:
        process = subprocess.Popen(["wine", program] + arguments[1:], env=wine_env(),
                                   cwd=os.path.dirname(program), stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT)
        try:
            status = process.wait(timeout=600)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
    with open(out_path, "rb") as f:
        sys.stdout.write(f.read().decode("utf-8", "backslashreplace"))
    print(f"\n{os.path.basename(program)} under Wine: exit status {status}")
    return status


STEPS = {
    "locale": locale_step,
    "prefix": prefix_step,
    "server-start": server_start_step,
    "server-stop": server_stop_step,
    "display-start": display_start_step,
    "display-stop": display_stop_step,
}


def main(argv):
    if len(argv) >= 2 and argv[1] == "run-exe" and len(argv) >= 3:
        return run_exe_step(argv[2:])
    if len(argv) != 2 or argv[1] not in STEPS:
        print(__doc__)
        return 2
    return STEPS[argv[1]]()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
