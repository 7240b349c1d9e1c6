#!/usr/bin/python3
"""Every relative link in README.md and docs/ leads somewhere: the file it
names exists, and the heading its anchor names is in that file, as the
anchors of rendered Markdown are made (lower case, punctuation dropped,
spaces as hyphens). Prints each dead link and exits 1 when there is one.

Usage: doc_links.py SOURCE_DIR
"""

import glob
import os
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")


def anchors(path):
    with open(path, encoding="utf-8") as text:
        headings = [HEADING.match(line) for line in text if not line.startswith("    ")]
    return {re.sub(r"[^\w\- ]", "", match[1].lower()).replace(" ", "-")
            for match in headings if match}


def dead_links(root):
    pages = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    dead = []
    for page in pages:
        with open(page, encoding="utf-8") as text:
            body = re.sub(r"```.*?```", "", text.read(), flags=re.S)
        for target in LINK.findall(body):
            if re.match(r"[a-z]+:", target):
                continue  # a web address, not ours to follow
            name, _, anchor = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(page), name)) if name else page
            if not os.path.isfile(linked) or anchor and anchor not in anchors(linked):
                dead.append("%s: %s" % (os.path.relpath(page, root), target))
    return pages, dead


if __name__ == "__main__":
    pages, dead = dead_links(sys.argv[1])
    print("\n".join(["dead link in " + link for link in dead] or
                    ["%d pages, every link resolves" % len(pages)]))
    sys.exit(1 if dead or len(pages) < 2 else 0)
