#!/usr/bin/env python3
"""After Doxygen: gives every function, macro, type and datum of pxrlib.h a man page of its
own name that includes the page of its section (PXR_send.3 -> pxrlib_send_receive.3), as
`man PXR_send` expects, and drops the pages nobody looks up (directories, the HTML's front page). Struct fields get
no link: names such as index.3 belong to other packages."""
import pathlib
import sys
import xml.etree.ElementTree as ET

KINDS = {"function", "define", "typedef", "variable", "enum"}


def main(xml_dir, man_dir):
    xml_dir, man_dir = pathlib.Path(xml_dir), pathlib.Path(man_dir)
    for page in [*man_dir.glob("_*.3"), *man_dir.glob("*.md.3")]:
        page.unlink()
    count = 0
    for path in sorted(xml_dir.glob("group__*.xml")):
        group = ET.parse(path).getroot().find("compounddef")
        page = group.findtext("compoundname")
        for member in group.iter("memberdef"):
            if member.get("kind") not in KINDS:
                continue
            link = man_dir / (member.findtext("name") + ".3")
            link.write_text(f".so man3/{page}.3\n")
            count += 1
    # The header's own page lists every section: the entry point.
    (man_dir / "pxrlib.3").write_text(".so man3/pxrlib.h.3\n")
    print(f"{count} man page links in {man_dir}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
