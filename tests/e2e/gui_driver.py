#!/usr/bin/python3
"""Drives Kelvora's windows from outside through the accessibility interface (AT-SPI).

  gui_driver.py wait-app SECONDS          the program's windows are on the bus
  gui_driver.py click NAME [SECONDS]      presses the button or menu item NAME
  gui_driver.py answer TEXT BUTTON [SECONDS]
                                          in the box that shows TEXT, presses BUTTON
  gui_driver.py has TEXT [SECONDS]        some label of the program shows TEXT
  gui_driver.py dump                      prints the program's accessible tree

Exit status 0 when done, 1 when the thing did not appear in time."""
import sys
import time

import pyatspi

BUTTON_ROLES = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_MENU_ITEM}


def children(a):
    try:
        return [a.getChildAtIndex(i) for i in range(a.childCount)]
    except Exception:
        return []


def walk(root):
    stack = [root]
    while stack:
        a = stack.pop()
        if a is None:
            continue
        yield a
        stack.extend(reversed(children(a)))


def program():
    desktop = pyatspi.Registry.getDesktop(0)
    for a in children(desktop):
        try:
            if a is not None and a.name and a.name.lower().startswith("kelvora"):
                return a
        except Exception:
            pass
    return None


def until(seconds, f):
    end = time.time() + seconds
    while True:
        try:
            r = f()
        except Exception:
            r = None
        if r:
            return r
        if time.time() >= end:
            return None
        time.sleep(0.25)


def press(a):
    action = a.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click", "Click", "activate"):
            return action.doAction(i)
    return action.doAction(0)


def find_button(root, name):
    for a in walk(root):
        try:
            if a.getRole() in BUTTON_ROLES and a.name.replace("&", "") == name:
                return a
        except Exception:
            pass
    return None


def shows(window, text):
    for a in walk(window):
        try:
            if text in (a.name or ""):
                return True
            if a.getRole() in (pyatspi.ROLE_LABEL, pyatspi.ROLE_TEXT):
                t = a.queryText()
                if text in t.getText(0, t.characterCount):
                    return True
        except Exception:
            pass
    return False


def main(argv):
    cmd = argv[1] if len(argv) > 1 else "dump"
    if cmd == "wait-app":
        return 0 if until(float(argv[2]), program) else 1
    app = until(30, program)
    if app is None:
        print("no Kelvora on the accessibility bus", file=sys.stderr)
        return 1
    if cmd == "click":
        seconds = float(argv[3]) if len(argv) > 3 else 20
        b = until(seconds, lambda: find_button(program(), argv[2]))
        if b is None:
            print("no button " + argv[2], file=sys.stderr)
            return 1
        press(b)
        return 0
    if cmd == "answer":
        text, button = argv[2], argv[3]
        seconds = float(argv[4]) if len(argv) > 4 else 30

        def box():
            for w in children(program()):
                if shows(w, text):
                    b = find_button(w, button)
                    if b is not None:
                        return b
            return None

        b = until(seconds, box)
        if b is None:
            print("no box showing [%s] with %s" % (text, button), file=sys.stderr)
            return 1
        press(b)
        return 0
    if cmd == "has":
        seconds = float(argv[3]) if len(argv) > 3 else 20
        return 0 if until(seconds, lambda: shows(program(), argv[2])) else 1
    if cmd == "dump":
        for a in walk(app):
            try:
                print(a.getRoleName(), repr(a.name))
            except Exception:
                pass
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
