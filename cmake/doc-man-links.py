#!/usr/bin/env python3
"""After Doxygen: gives every function, macro, type and datum of pxrlib.h a man page of its
own name that links to the page of its section (PXR_send.3.gz -> pxrlib_send_receive.3.gz), as
`man PXR_send` expects, drops the pages nobody looks up (directories, the HTML's front page),
and compresses the pages as Debian installs them (gzip -9n: no name, no time, so a rebuild
gives the same bytes). Struct fields get no link: names such as index.3 belong to other
packages."""
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

KINDS = {"function", "define", "typedef", "variable", "enum"}


def link(man_dir, name, page):
    """name.3.gz, a link to page.3.gz (a link, not a .so page, is how Debian lists one page
    under several names)."""
    path = man_dir / f"{name}.3.gz"
    if path.exists() or path.is_symlink():
        return 0
    path.symlink_to(f"{page}.3.gz")
    return 1


def main(xml_dir, man_dir):
    xml_dir, man_dir = pathlib.Path(xml_dir), pathlib.Path(man_dir)
    for page in [*man_dir.glob("_*.3"), *man_dir.glob("*.md.3")]:
        page.unlink()
    # The same command as the pxr command's own page (tools/CMakeLists.txt).
    subprocess.run(["gzip", "-9nf", "--", *sorted(map(str, man_dir.glob("*.3")))], check=True)
    count = 0
    for path in sorted(xml_dir.glob("group__*.xml")):
        group = ET.parse(path).getroot().find("compounddef")
        page = group.findtext("compoundname")
        for member in group.iter("memberdef"):
            if member.get("kind") in KINDS:
                count += link(man_dir, member.findtext("name"), page)
    # The header's own page lists every section: the entry point.
    link(man_dir, "pxrlib", "pxrlib.h")
    print(f"{count} man page links in {man_dir}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
