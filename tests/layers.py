#!/usr/bin/env python3
"""Checks the include lines of src/: every include of our own names its folder, and the layers
point one way (core <- widgets <- windows <- app). Prints each offending line; exits 1 on any."""
import os
import re
import sys

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'src')

# Which folders each layer may include. A folder not named here is a mistake to be placed.
CORE = {'data', 'pictures', 'align', 'backup', 'consent'}
WIDGETS = {'widgets'}
WINDOWS = {'browser', 'records', 'admin', 'compare', 'consult', 'export', 'capture'}
APP = {'app'}
ALLOWED = {}
for f in CORE:
    ALLOWED[f] = CORE
for f in WIDGETS:
    ALLOWED[f] = CORE | WIDGETS
for f in WINDOWS:
    ALLOWED[f] = CORE | WIDGETS | WINDOWS
for f in APP:
    ALLOWED[f] = CORE | WIDGETS | WINDOWS | APP

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
# Files the build generates beside each target: forms and moc output.
GENERATED = re.compile(r'^(ui_\w+\.h|\w+\.moc|moc_\w+\.cpp)$')


def main():
    faults = []
    for folder in sorted(os.listdir(SRC)):
        path = os.path.join(SRC, folder)
        if not os.path.isdir(path):
            continue
        if folder not in ALLOWED:
            faults.append('src/%s: a folder in no layer (name it in tests/layers.py)' % folder)
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith(('.h', '.cpp')):
                continue
            rel = 'src/%s/%s' % (folder, name)
            with open(os.path.join(path, name), encoding='utf-8') as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    if GENERATED.match(target):
                        continue
                    if '/' not in target:
                        faults.append('%s:%d: bare include "%s"' % (rel, number, target))
                        continue
                    top = target.split('/', 1)[0]
                    if top not in ALLOWED.get(folder, set()):
                        faults.append('%s:%d: %s may not include "%s"' % (rel, number, folder, target))
                    elif not os.path.exists(os.path.join(SRC, target)):
                        faults.append('%s:%d: "%s" is not a file of src/' % (rel, number, target))
    # Start-up is included only by start-up (and by its own tests).
    top = os.path.join(SRC, '..')
    for base in ('tests', 'tools', 'bench'):
        for dirpath, _, names in os.walk(os.path.join(top, base)):
            rel_dir = os.path.relpath(dirpath, top)
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
