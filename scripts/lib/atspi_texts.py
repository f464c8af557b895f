"""Prints the texts the desktop's accessibility service reads out of each window of the
running applications: one "window title<TAB>text" line per label, in window order. Prints
nothing when no application has registered yet."""
import pyatspi

# Accessible objects deeper than this are not looked at; our windows are shallow.
MAX_DEPTH = 8


def labels(node, depth=0):
    if depth > MAX_DEPTH:
        return
    for child in node:
        if child is None:
            continue
        if child.getRole() == pyatspi.ROLE_LABEL and child.name:
            yield child.name
        yield from labels(child, depth + 1)


def main():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None:
            continue
        try:
            for window in app:
                for text in labels(window):
                    print(f"{window.name}\t{text}")
        except Exception:
            # An application that ends while it is read out has nothing left to say.
            continue


main()
