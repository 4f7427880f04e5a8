#!/usr/bin/python3
"""Reads the installer's window from outside, through the AT-SPI accessibility
bus, the way a screen reader would.

  window.py texts            prints the window's texts as JSON
  window.py click X Y        clicks at client coordinates X, Y of the window
                             (xdotool, a real click), waits for the run's
                             summary, and prints the texts then as JSON
"""
import json
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

TITLE = "Vyr Cert Installer"
SUMMARY_START = "Importare finalizat"


def find_frame(timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is None:
                continue
            for frame in app:
                if frame is not None and frame.name == TITLE:
                    return frame
        time.sleep(0.2)
    sys.exit(f"no accessible window titled {TITLE!r}")


def texts(frame):
    """The labels in creation order: root progress, intermediate progress,
    status line, then the two captions; the buttons by their texts; the
    status bar's message."""
    central = frame[0]
    labels = [child.name for child in central if child.getRoleName() == "label"]
    buttons = [button.name for row in central if row.getRoleName() == "filler"
               for button in row if button.getRoleName() == "push button"]
    status_bar = [child.name for child in frame if child.getRoleName() == "status bar"]
    return {"title": frame.name, "root": labels[0], "interim": labels[1], "status": labels[2],
            "buttons": buttons, "statusbar": status_bar[0] if status_bar else None}


def click(frame, x, y):
    window = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$"],
                            capture_output=True, text=True, check=True).stdout.split()[0]
    changes = []
    loop = GLib.MainLoop()

    def changed(event):
        # Qt's events name the label, not its new text, and the GUI answers
        # only once the run is over: the first change read after the click
        # therefore shows the run's end.
        if event.source.getRoleName() == "label" and event.source.name.startswith(SUMMARY_START):
            changes.append(event.source.name)
            if len(changes) == 1:
                GLib.timeout_add(300, loop.quit)

    pyatspi.Registry.registerEventListener(changed, "object:property-change:accessible-name")
    GLib.timeout_add(200, lambda: subprocess.run(
        ["xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1"]) and False)
    GLib.timeout_add(120000, loop.quit)
    loop.run()
    pyatspi.Registry.deregisterEventListener(changed, "object:property-change:accessible-name")
    if not changes:
        sys.exit("the run's summary never appeared")
    return texts(frame)


def main():
    frame = find_frame()
    if sys.argv[1] == "texts":
        print(json.dumps(texts(frame), ensure_ascii=False))
    elif sys.argv[1] == "click":
        print(json.dumps(click(frame, int(sys.argv[2]), int(sys.argv[3])), ensure_ascii=False))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
