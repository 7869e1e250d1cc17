#!/usr/bin/env python3
"""Checks the relative links of README.md and docs/*.md.

Fails when a link names a file that does not exist, or an anchor that is no
heading of its file (anchors as GitHub makes them), and when a heading repeats
within one file. http(s) links are not checked.
Usage: check_links.py [project folder]
"""
import pathlib
import re
import sys

FENCE = re.compile(r'^```.*?^```', re.S | re.M)
HEADING = re.compile(r'^#{1,6}[ \t]+(.+?)[ \t#]*$', re.M)
LINK = re.compile(r'\[[^\]]*\]\(([^)\s]+)\)')


def anchor(heading):
    text = re.sub(r'\[([^\]]*)\]\([^)]*\)', r'\1', heading)  # a link counts by its text
    return re.sub(r'[^\w\- ]', '', text.lower()).replace(' ', '-')


def main(root):
    root = pathlib.Path(root).resolve()
    files = [root / 'README.md'] + sorted((root / 'docs').glob('*.md'))
    texts = {f: FENCE.sub('', f.read_text(encoding='utf-8')) for f in files}
    anchors, errors = {}, []
    for f, text in texts.items():
        anchors[f] = set()
        for heading in HEADING.findall(text):
            a = anchor(heading)
            if a in anchors[f]:
                errors.append('%s: heading repeats: %s' % (f.relative_to(root), heading))
            anchors[f].add(a)
    for f, text in texts.items():
        for target in LINK.findall(re.sub(r'`[^`]*`', 'code', text)):
            if re.match(r'(https?|mailto):', target):
                continue
            path, _, frag = target.partition('#')
            dest = (f.parent / path).resolve() if path else f
            if not dest.exists():
                errors.append('%s: link to a missing file: %s' % (f.relative_to(root), target))
            elif frag and frag not in anchors.get(dest, set()):
                errors.append('%s: link to no heading: %s' % (f.relative_to(root), target))
    for e in errors:
        print(e, file=sys.stderr)
    return 1 if errors else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else '.'))
