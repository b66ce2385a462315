#!/bin/sh
# pip installs the package with no package index at all, and the installed copy loads the
# library. usage: install_offline.sh PYTHON PACKAGE_DIR LIBRARY
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PIP_ROOT_USER_ACTION=ignore "$1" -m pip install -q --disable-pip-version-check --no-index \
  --target "$work/site" "$2"
PYTHONPATH="$work/site" PXRLIB_LIBRARY="$3" "$1" -c \
  'import pxrlib; pxrlib.load_library(); print("installed", pxrlib.__file__)'
