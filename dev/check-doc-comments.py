#!/usr/bin/env python3
"""Fails when a function of the public headers has no doc comment, so that the reference
(man pages and HTML, built by Doxygen from the comments) covers every call. Reads the XML that
the same Doxygen run writes: every function declared in pxrlib.h or pxr.hpp, and every public
member function of pxr.hpp's classes except constructors, destructors and assignments, needs a
brief or a detailed description.

Usage: check-doc-comments.py BUILD/doc/xml"""
import pathlib
import sys
import xml.etree.ElementTree as ET

HEADERS = ("pxrlib.h", "pxr.hpp")


def described(member):
    text = "".join(member.find("briefdescription").itertext())
    text += "".join(member.find("detaileddescription").itertext())
    return text.strip() != ""


def special(member, owner):
    name = member.findtext("name")
    short = owner.split("::")[-1]
    deleted = "= delete" in (member.findtext("argsstring") or "")
    return name in (short, "~" + short, "operator=") or deleted


def main(xml_dir):
    missing, seen = [], set()
    for path in sorted(pathlib.Path(xml_dir).glob("*.xml")):
        compound = ET.parse(path).getroot().find("compounddef")
        if compound is None or compound.get("kind") not in ("file", "namespace", "class", "struct"):
            continue
        owner = compound.findtext("compoundname")
        for member in compound.iter("memberdef"):
            location = member.find("location")
            file = location.get("file", "") if location is not None else ""
            if member.get("kind") != "function" or pathlib.Path(file).name not in HEADERS:
                continue
            if member.get("prot") != "public" or special(member, owner):
                continue
            key = (file, location.get("line"))
            if key in seen:
                continue
            seen.add(key)
            if not described(member):
                missing.append(f"{pathlib.Path(file).name}:{location.get('line')}: "
                               f"{member.findtext('name')} has no doc comment")
    for line in missing:
        print(line)
    if not seen:
        print("no functions found: is the XML output of the reference build there?")
        return 1
    print(f"{len(seen) - len(missing)} of {len(seen)} public functions documented")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
