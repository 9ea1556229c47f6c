#!/usr/bin/env python3
# Counts the test assertions (EXPECT_*/ASSERT_* statements, read to their
# ';') that compare debug trace text, directly or through a helper that
# returns it, per file and in all. Usage: scripts/trace_assertions.py [tests]
import collections
import pathlib
import re
import sys

TRACE = re.compile(r'\b(traced|trace_count|trace_text|trace_lines|trace_tail|wait_deliveries|controls_traced)\s*\('
                   r'|\.trace(\.find|\s*,)')
ASSERTION = re.compile(r'\b(EXPECT|ASSERT)_[A-Z_0-9]+\s*\(')


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else 'tests')
    per_file = collections.Counter()
    for path in sorted(root.rglob('*')):
        if path.suffix not in ('.cpp', '.h'):
            continue
        text = path.read_text()
        for m in ASSERTION.finditer(text):
            if TRACE.search(text[m.start():text.find(';', m.end())]):
                per_file[str(path)] += 1
    for path, n in per_file.most_common():
        print(f'{n:4} {path}')
    print('total', sum(per_file.values()))


if __name__ == '__main__':
    main()
