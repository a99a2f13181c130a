#!/usr/bin/python3
"""Drives Kelvora's windows from outside through the accessibility interface (AT-SPI).

  gui_driver.py wait-app SECONDS          the program's windows are on the bus
  gui_driver.py click NAME [SECONDS]      presses the button or menu item NAME
  gui_driver.py answer TEXT BUTTON [SECONDS]
                                          in the box that shows TEXT, presses BUTTON
  gui_driver.py has TEXT [SECONDS]        some label of the program shows TEXT
  gui_driver.py type MARK FIELD TEXT      in the window with the button MARK, writes TEXT
                                          into the field named FIELD (by its label)
  gui_driver.py add-cells MARK LIST N     in the window with the button MARK, N times: selects
                                          the first item of LIST, presses "--->" and confirms
                                          the cell's parameter dialog with OK
  gui_driver.py confirm MARK BUTTON [SECONDS]
                                          presses BUTTON in the window with MARK until it
                                          closes, confirming its boxes with OK
  gui_driver.py page NAME                 shows the page NAME of a tab widget
  gui_driver.py click-shown NAME          presses the button NAME that is on screen
  gui_driver.py click-in MARK NAME [SECONDS]
                                          presses NAME in the window with the button MARK
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


def find_button(root, name, shown=False):
    for a in walk(root):
        try:
            if a.getRole() in BUTTON_ROLES and a.name.replace("&", "") == name and (
                    not shown or a.getState().contains(pyatspi.STATE_SHOWING)):
                return a
        except Exception:
            pass
    return None


def plain(name):
    return (name or "").replace("&", "").strip().rstrip(":").strip()


def windows():
    """The program's top-level windows on screen. A window the program keeps for later (the
    splash, a dialog after it closed) stays on the bus, hidden."""
    shown = []
    for w in children(program()):
        try:
            if w is not None and w.getState().contains(pyatspi.STATE_VISIBLE):
                shown.append(w)
        except Exception:
            pass
    return shown


def window_with(mark):
    """The top-level window on screen that has the button MARK."""
    for w in windows():
        if find_button(w, mark) is not None:
            return w
    return None


def describe(root):
    """The roles and names under ROOT, for the message of a step that failed."""
    lines = []
    for a in walk(root):
        try:
            line = "  %s %r" % (a.getRoleName(), a.name)
            if a.getRole() in BUTTON_ROLES and not a.getState().contains(pyatspi.STATE_ENABLED):
                line += " (disabled)"
            try:
                if a.getRole() == pyatspi.ROLE_TEXT:
                    t = a.queryText()
                    line += " = %r" % t.getText(0, t.characterCount)
            except Exception:
                pass
            lines.append(line)
        except Exception:
            pass
    return "\n".join(lines)


def find_named(root, name, roles):
    for a in walk(root):
        try:
            if a.getRole() in roles and plain(a.name) == plain(name):
                return a
        except Exception:
            pass
    return None


FIELD_ROLES = {pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY, pyatspi.ROLE_PASSWORD_TEXT}
LIST_ROLES = {pyatspi.ROLE_LIST, pyatspi.ROLE_LIST_BOX, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE}


def item_count(lst):
    return len([c for c in children(lst) if c is not None and c.getRole() != pyatspi.ROLE_SCROLL_BAR])


def select_first(lst):
    items = [c for c in children(lst)
             if c is not None and c.getRole() in (pyatspi.ROLE_LIST_ITEM, pyatspi.ROLE_TABLE_CELL)]
    if not items:
        return False
    if items[0].getState().contains(pyatspi.STATE_SELECTED):
        return True
    try:
        action = items[0].queryAction()
        for i in range(action.nActions):
            if action.getName(i).lower() in ("toggle", "select", "press", "click"):
                return action.doAction(i)
    except NotImplementedError:
        pass
    return lst.querySelection().selectChild(0)


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
            for w in windows():
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
    if cmd == "page":
        tab = until(30, lambda: find_named(program(), argv[2], {pyatspi.ROLE_PAGE_TAB}))
        if tab is None:
            print("no page " + argv[2], file=sys.stderr)
            return 1
        press(tab)
        return 0
    if cmd == "click-shown":
        b = until(20, lambda: find_button(program(), argv[2], shown=True))
        if b is None:
            print("no button %s on the page shown" % argv[2], file=sys.stderr)
            return 1
        press(b)
        return 0
    if cmd == "click-in":
        mark, name = argv[2], argv[3]
        seconds = float(argv[4]) if len(argv) > 4 else 20

        def enabled_button():
            b = find_button(window_with(mark), name)
            return b if b is not None and b.getState().contains(pyatspi.STATE_ENABLED) else None

        b = until(seconds, enabled_button)
        if b is None:
            print("no enabled button %s in the window with %s" % (name, mark), file=sys.stderr)
            return 1
        press(b)
        return 0
    if cmd == "type":
        mark, field, text = argv[2], argv[3], argv[4]
        f = until(30, lambda: find_named(window_with(mark), field, FIELD_ROLES))
        if f is None:
            print("no field %s in the window with %s:\n%s" %
                  (field, mark, describe(window_with(mark))), file=sys.stderr)
            return 1
        f.queryEditableText().setTextContents(text)
        got = until(10, lambda: f.queryText().getText(0, -1) == text)
        if not got:
            print("field %s does not take [%s]" % (field, text), file=sys.stderr)
            return 1
        return 0
    if cmd == "confirm":
        # Presses BUTTON in the window with MARK until that window has closed, and confirms
        # each box it raises with OK. The press is repeated: the enabled state the bus reports
        # can lag behind the window's, and a press on a button still disabled is lost.
        mark, button = argv[2], argv[3]
        seconds = float(argv[4]) if len(argv) > 4 else 30
        end = time.time() + seconds
        next_press = 0
        while time.time() < end:
            try:
                w = window_with(mark)
                if w is None:
                    return 0
                if time.time() >= next_press:
                    b = find_button(w, button)
                    if b is not None:
                        press(b)
                    next_press = time.time() + 2
                for d in windows():
                    if find_button(d, mark) is None:
                        b = find_button(d, "OK")
                        if b is not None:
                            print("box %r:\n%s" % (d.name, describe(d)), file=sys.stderr)
                            press(b)
            except Exception:
                pass
            time.sleep(0.25)
        print("the window with %s stays open:\n%s" % (mark, describe(window_with(mark))),
              file=sys.stderr)
        for d in windows():
            print("  window %r" % d.name, file=sys.stderr)
        return 1
    if cmd == "add-cells":
        mark, list_name, n = argv[2], argv[3], int(argv[4])
        for k in range(n):
            w = until(30, lambda: window_with(mark))
            lst = w and find_named(w, list_name, LIST_ROLES)
            if lst is None:
                print("no list %s in the window with %s:\n%s" %
                      (list_name, mark, describe(w)), file=sys.stderr)
                return 1
            before = item_count(lst)
            if not until(10, lambda: select_first(lst) is not None and
                         find_button(w, mark).getState().contains(pyatspi.STATE_ENABLED)):
                print("cell %d: the first available cell cannot be selected" % (k + 1),
                      file=sys.stderr)
                return 1
            press(find_button(w, mark))

            # The cell's parameter dialog: a window with OK but without the row's buttons.
            def cell_dialog():
                for d in windows():
                    if find_button(d, mark) is None:
                        b = find_button(d, "OK")
                        if b is not None:
                            return b
                return None

            ok = until(30, cell_dialog)
            if ok is None:
                print("cell %d: no parameter dialog" % (k + 1), file=sys.stderr)
                return 1
            press(ok)
            if not until(30, lambda: cell_dialog() is None and item_count(lst) == before - 1):
                print("cell %d: not taken into the row (%d of %d available)" %
                      (k + 1, item_count(lst), before), file=sys.stderr)
                for d in windows():
                    print("  window %r" % d.name, file=sys.stderr)
                return 1
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
