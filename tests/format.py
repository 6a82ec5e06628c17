#!/usr/bin/env python3
"""Checks that the C++ sources are laid out as .clang-format says. Lists each file clang-format
would change and exits 1; exits 77 (skipped) without clang-format 14, since other versions lay
out some constructs differently."""
import os
import re
import subprocess
from concurrent.futures import ThreadPoolExecutor
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
FOLDERS = ('src', 'tests', 'tools', 'bench')


def clang_format():
    for name in ('clang-format-14', 'clang-format'):
        try:
            out = subprocess.run([name, '--version'], capture_output=True, text=True).stdout
        except FileNotFoundError:
            continue
        if re.search(r'version 14\.', out):
            return name
    return None


def main():
    tool = clang_format()
    if not tool:
        print('clang-format 14 is not installed: the layout is not checked')
        return 77
    files = []
    for folder in FOLDERS:
        for top, dirs, names in os.walk(os.path.join(ROOT, folder)):
            dirs[:] = [d for d in dirs if not d.startswith('build')]
            files += [os.path.join(top, n) for n in sorted(names) if n.endswith(('.cpp', '.h'))]

    def differs(f):
        with open(f, encoding='utf-8') as src:
            before = src.read()
        after = subprocess.run([tool, '--style=file', '--assume-filename=' + f], input=before,
                               capture_output=True, text=True, cwd=ROOT, check=True).stdout
        return after != before

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        changed = [os.path.relpath(f, ROOT) for f, d in zip(files, pool.map(differs, files)) if d]
    for f in changed:
        print(f'{f}: not laid out as .clang-format says (run: clang-format -i {f})')
    print(f'{len(files)} files checked, {len(changed)} to lay out again')
    return 1 if changed else 0


if __name__ == '__main__':
    sys.exit(main())
