#!/usr/bin/env python3
"""Shows finish-update.exe's boxes for real, under Xvfb, and handles them the way a
user would: each test finds the box window, checks its title, saves a screenshot
where asked, checks that the run is still waiting for the box, closes it with the
Return key and goes on to the next. Afterwards everything scenarios.py checks is
checked too (exit status, log, files, application, and the MessageBoxA calls in the
relay trace, which here must match the windows seen one for one). A scenario may
first kill a run while its box is up and run the program again, as scenarios.py's
killed runs do.

    boxes.py --list            the scenario names, one a line
    boxes.py NAME              run one scenario

Needs the Xvfb display and wineserver started by `winectl.py display-start`.
Screenshots go to the folder in FU_SCREENSHOTS (tests/wine/update-screenshots.sh
copies them into docs/).
"""
import functools
import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source folder clean
import scenarios
import winectl
from scenarios import (ASIDE, DEFAULT_LAYOUT, DEFAULT_PATH_LINES, DEFAULT_DST, DELETE_FAILED, IN,
                       RETRIES_EXHAUSTED, ERROR_SHARING_VIOLATION, UPDATED, attempts, error_box, move, started,
                       usage_box)

# After a box that was shown and closed, MessageBoxA leaves the last error at 0 under
# Wine, and the final report shows that.
ERROR_SUCCESS = 0
WINDOW_CLASS = "finish-update.exe"
BOX_TIMEOUT = 60

BOX_SCENARIOS = [
    {
        "name": "usage-box",
        "about": "one argument: the usage box waits for the user, then the run ends",
        "layout": DEFAULT_LAYOUT, "args": ["resources\\app1.txt"],
        "exit": 1,
        "log": DEFAULT_PATH_LINES,
        "files": DEFAULT_LAYOUT,
        "started": None,
        "boxes": [usage_box()],
        "screenshots": ["usage-box.png"],
    },
    {
        "name": "error-boxes",
        "about": "the old file held open: the fourth attempt's box, then the final report, each waiting",
        "layout": DEFAULT_LAYOUT, "args": [], "hold": "resources\\app.asar",
        "exit": 1,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "oooo"),
        "files": DEFAULT_LAYOUT,
        "started": None,
        "boxes": [error_box(DELETE_FAILED, ERROR_SHARING_VIOLATION), error_box(RETRIES_EXHAUSTED, ERROR_SUCCESS)],
        "screenshots": ["error-box.png", None],
    },
    {
        "name": "killed-at-the-error-box",
        "about": "killed while the fourth attempt's box is up (the old file held open), then run again: "
                 "the box goes with it, nothing was moved, the update completes",
        "layout": DEFAULT_LAYOUT,
        "killed_run": {"args": [], "hold": "resources\\app.asar",
                       "box": error_box(DELETE_FAILED, ERROR_SHARING_VIOLATION), "files": DEFAULT_LAYOUT},
        "args": [],
        "exit": 0,
        "log": DEFAULT_PATH_LINES + attempts(DEFAULT_DST, "s"),
        "files": UPDATED,
        "started": started("{cwd}\\quillbrook.exe", ["{cwd}\\quillbrook.exe"]),
        "boxes": [],
        "screenshots": [],
        "moves": [move(ASIDE, 1), move(IN, 1)],
    },
]


def xdotool(display, *arguments):
    result = subprocess.run(["xdotool"] + list(arguments), env=dict(os.environ, DISPLAY=display),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    return result.stdout.decode("utf-8", "backslashreplace").strip()


def visible_boxes(display):
    """Returns [(window id, title)] of the program's visible top-level windows; Wine's
    hidden "Default IME" window is left out."""
    found = []
    for window in xdotool(display, "search", "--onlyvisible", "--class", WINDOW_CLASS).split():
        title = xdotool(display, "getwindowname", window)
        if title != "Default IME":
            found.append((window, title))
    return found


def wait_for_box(process, display):
    """Returns ([(window, title)], None) once the run shows a box, or (None, why)."""
    deadline = time.monotonic() + BOX_TIMEOUT
    while time.monotonic() < deadline:
        boxes = visible_boxes(display)
        if boxes:
            return boxes, None
        if process.poll() is not None:
            return None, f"the run ended (status {process.returncode}) without showing it"
        time.sleep(0.05)
    return None, f"no box appeared within {BOX_TIMEOUT} s"


def wait_for_error_box(display, process, hold, folder, killed):
    """A kill point for scenarios.run_killed: the run shows killed["box"], its first
    box. Returns None then, or why not."""
    box = killed["box"]
    found, why = wait_for_box(process, display)
    if found is None:
        return f"box ({scenarios.show_box(box)}): {why}"
    calls = scenarios.boxes_in_trace(scenarios.read_file(process.trace_path) or b"")
    if len(found) != 1 or found[0][1] != box[1].decode("cp936") or calls != [box]:
        return (f"expected one box, {scenarios.show_box(box)}; windows {found}, calls "
                + "; ".join(scenarios.show_box(c) for c in calls))
    return None


def wait_until_no_boxes(display):
    deadline = time.monotonic() + BOX_TIMEOUT
    while time.monotonic() < deadline:
        if not visible_boxes(display):
            return True
        time.sleep(0.05)
    return False


def wait_until_closed(window, display):
    deadline = time.monotonic() + BOX_TIMEOUT
    while time.monotonic() < deadline:
        if window not in [w for w, _ in visible_boxes(display)]:
            return True
        time.sleep(0.05)
    return False


def screenshot(window, display, path):
    """Saves the window as a PNG once two captures in a row agree (it is fully
    drawn); without dates in the file, so that an unchanged box gives the same bytes."""
    command = ["import", "-window", window, "-strip", "-define", "png:exclude-chunks=date,time", "png:-"]
    env = dict(os.environ, DISPLAY=display)
    previous = None
    for _ in range(40):
        image = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=30).stdout
        if image and image == previous:
            break
        previous = image
        time.sleep(0.05)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(previous)


def run_box_scenario(scenario, display, screenshots):
    folder, windows_folder = scenarios.folder_of("box-" + scenario["name"])
    scenarios.make_layout(folder, scenario["layout"])
    problems = []
    if scenario.get("killed_run"):
        scenarios.run_killed(folder, windows_folder, scenario["killed_run"],
                             functools.partial(wait_for_error_box, display), False, problems, display)
        if not wait_until_no_boxes(display):
            problems.append(f"killed run: its box was still up {BOX_TIMEOUT} s after the kill")
    hold = None
    if scenario.get("hold"):
        hold = scenarios.start_hold(folder, windows_folder, scenario["hold"], scenarios.HOLD_LIMIT_MS,
                                     display)
    process = scenarios.run_program(folder, scenario["args"], "run", display)
    for number, (box, shot) in enumerate(zip(scenario["boxes"], scenario["screenshots"]), 1):
        wanted_title = box[1].decode("cp936")
        found, why = wait_for_box(process, display)
        if found is None:
            problems.append(f"box {number} ({scenarios.show_box(box)}): {why}")
            break
        if len(found) != 1:
            problems.append(f"box {number}: {len(found)} windows at once: {found}")
        window, title = found[0]
        if title != wanted_title:
            problems.append(f"box {number}: title {title!r}, expected {wanted_title!r}")
        calls = scenarios.boxes_in_trace(scenarios.read_file(process.trace_path) or b"")
        if len(calls) != number or calls[-1] != box:
            problems.append(f"box {number}: the window on screen is not the expected call; expected "
                            f"{scenarios.show_box(box)}; calls so far: "
                            + "; ".join(scenarios.show_box(c) for c in calls))
        if shot:
            screenshot(window, display, os.path.join(screenshots, shot))
        if process.poll() is not None:
            problems.append(f"box {number}: the run ended (status {process.returncode}) while its box was up")
        xdotool(display, "key", "--window", window, "Return")
        if not wait_until_closed(window, display):
            problems.append(f"box {number}: still open {BOX_TIMEOUT} s after Return was pressed")
            break
    # Any further box would block the run: note it and close it.
    deadline = time.monotonic() + BOX_TIMEOUT
    while process.poll() is None and time.monotonic() < deadline:
        for window, title in visible_boxes(display):
            problems.append(f"an unexpected box titled {title!r} appeared; closed it")
            xdotool(display, "key", "--window", window, "Return")
            wait_until_closed(window, display)
        time.sleep(0.05)
    status = scenarios.wait_program(process, 1)
    if hold:
        scenarios.end_hold(hold)
    still_running = winectl.wait_for_programs_in(windows_folder)
    if still_running:
        problems.append(f"programs started from the folder still run after 30 s: pids {still_running}")
    trace = scenarios.read_file(process.trace_path) or b""
    scenarios.check_outcome(scenario, folder, windows_folder, status, trace, problems)
    return problems


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        print("\n".join(s["name"] for s in BOX_SCENARIOS))
        return 0
    if len(argv) != 2:
        print(__doc__)
        return 2
    scenario = scenarios.find_scenario(argv[1], BOX_SCENARIOS)
    display = winectl.current_display()
    if not display:
        sys.exit("no Xvfb display is up (winectl.py display-start)")
    screenshots = winectl.setting("FU_SCREENSHOTS")
    return scenarios.report("box-" + scenario["name"], scenario["about"],
                            run_box_scenario(scenario, display, screenshots))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
