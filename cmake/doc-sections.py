#!/usr/bin/env python3
"""Doxygen input filter: each section of pxrlib.h (a banner of three comment lines, the title
between two rules of '=') becomes a group, so that the reference has one page per section.
Line numbers are kept: the three banner lines become three lines. The opening comment of each
header becomes the description of the file."""
import re
import sys

RULE = re.compile(r"^/\* =+ \*/$")


STOP = {"a", "and", "of", "the", "their", "are", "is"}


def slug(title):
    words = [w for w in re.sub(r"[^a-z0-9]+", " ", title.lower()).split() if w not in STOP]
    return "pxrlib_" + "_".join(words[:3])


def main(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    # The opening comment describes the whole header.
    if lines[0] == "/*":
        lines[0] = "/** @file"
    elif lines[0].startswith("// ") and lines[1] == "//":
        name, _, brief = lines[0][3:].partition(" - ")
        lines[0:2] = ["/// @file " + name, "/// " + brief]
        for i in range(2, len(lines)):
            if not lines[i].startswith("//"):
                break
            body = lines[i][2:]
            if body.startswith("   "):
                body = "    " + body  # the example: a code block
            lines[i] = "///" + body
    out, i, open_group = [], 0, False
    while i < len(lines):
        if (RULE.match(lines[i]) and i + 2 < len(lines) and RULE.match(lines[i + 2])
                and lines[i + 1].startswith("/*")):
            title = lines[i + 1].strip("/* ").rstrip()
            out.append("/** @} */" if open_group else "")
            out.append(f"/** @defgroup {slug(title)} {title}")
            out.append(" *  @details Declared in @c <pxrlib.h>; link with @c -lpxrlib (pkg-config pxrlib). @{ */")
            open_group = True
            i += 3
            continue
        if open_group and lines[i].startswith("#endif /* PXRLIB_H */"):
            out.append("/** @} */ " + lines[i])
            open_group = False
            i += 1
            continue
        out.append(lines[i])
        i += 1
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1])
