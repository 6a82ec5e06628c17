#!/usr/bin/env python3
"""Checks the include lines of src/: every include of our own names its folder, and the folders
point one way. Prints each offending line; exits 1 on any.

- The folders stand in one order, from the data layer up to the start-up; a folder includes only
  folders below it. The order keeps the libraries' layers (core <- widgets <- windows <- app)
  and, inside the windows, says which window may open which.
- No circle of folders: one is named in full, so the include that closes it is easy to find.
- The main window's folder is included only by the start-up, which makes the main window: a
  feature is handed what it needs through its own entry point and knows nothing of the main
  window's controls.
- A window's generated form header (ui_Name.h) is included only in the folder of that window.
- No file of src/ passes 800 lines: split it along its parts first.
"""
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
SRC = os.path.join(ROOT, 'src')

# Bottom to top. Each group is a library; within a group, later folders may include earlier ones.
LAYERS = [
    ('core', ['data', 'pictures', 'align', 'consent', 'backup']),
    ('widgets', ['widgets']),
    ('windows', ['export', 'capture', 'compare', 'consult', 'records', 'admin', 'browser']),
    ('app', ['app']),
]
ORDER = [folder for _, folders in LAYERS for folder in folders]
RANK = {folder: i for i, folder in enumerate(ORDER)}
MAIN_WINDOW = 'browser'
MAIN_WINDOW_USERS = {'app'}
LONGEST = 800

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
FORM = re.compile(r'^ui_(\w+)\.h$')
# Files the build generates beside each target: forms and moc output.
GENERATED = re.compile(r'^(ui_\w+\.h|\w+\.moc|moc_\w+\.cpp)$')


def sources(folder):
    path = os.path.join(SRC, folder)
    return [n for n in sorted(os.listdir(path)) if n.endswith(('.h', '.cpp'))]


def circle(edges):
    """One circle of the folder graph as a list of folders, or None."""
    state = {}

    def visit(node, path):
        state[node] = 'open'
        path.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 'open':
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, path)
                if found:
                    return found
        path.pop()
        state[node] = 'done'
        return None

    for node in sorted(edges):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def main():
    faults = []
    edges = {}
    folders = sorted(f for f in os.listdir(SRC) if os.path.isdir(os.path.join(SRC, f)))
    for folder in folders:
        if folder not in RANK:
            faults.append('src/%s: a folder in no layer (name it in tests/layers.py)' % folder)
            continue
        for name in sources(folder):
            rel = 'src/%s/%s' % (folder, name)
            with open(os.path.join(SRC, folder, name), encoding='utf-8') as f:
                lines = f.readlines()
            if len(lines) > LONGEST:
                faults.append('%s: %d lines, more than %d: split it along its parts' % (rel, len(lines), LONGEST))
            for number, line in enumerate(lines, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = m.group(1)
                form = FORM.match(target)
                if form:
                    if not any(os.path.exists(os.path.join(SRC, folder, form.group(1) + ext)) for ext in ('.h', '.cpp')):
                        faults.append('%s:%d: "%s" is the form of a window of another folder'
                                      % (rel, number, target))
                    continue
                if GENERATED.match(target):
                    continue
                if '/' not in target:
                    faults.append('%s:%d: bare include "%s"' % (rel, number, target))
                    continue
                top = target.split('/', 1)[0]
                if not os.path.exists(os.path.join(SRC, target)):
                    faults.append('%s:%d: "%s" is not a file of src/' % (rel, number, target))
                    continue
                if top == folder:
                    continue
                edges.setdefault(folder, set()).add(top)
                if top == MAIN_WINDOW and folder not in MAIN_WINDOW_USERS:
                    faults.append('%s:%d: includes the main window\'s "%s"; give the feature an entry point instead'
                                  % (rel, number, target))
                elif top in RANK and RANK[top] > RANK[folder]:
                    faults.append('%s:%d: %s may not include "%s", which stands above it'
                                  % (rel, number, folder, target))
    found = circle(edges)
    if found:
        faults.append('a circle of folders: %s' % ' -> '.join(found))
    # Start-up is included only by start-up (and by its own tests).
    for base in ('tests', 'tools', 'bench'):
        for dirpath, _, names in os.walk(os.path.join(ROOT, base)):
            rel_dir = os.path.relpath(dirpath, ROOT)
            if rel_dir.startswith(os.path.join('tests', 'app')):
                continue
            for name in sorted(names):
                if not name.endswith(('.h', '.cpp')):
                    continue
                with open(os.path.join(dirpath, name), encoding='utf-8') as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if m and m.group(1).startswith('app/'):
                            faults.append('%s/%s:%d: includes start-up "%s"'
                                          % (rel_dir, name, number, m.group(1)))
    for line in faults:
        print(line)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
