"""A build backend that needs nothing beyond the standard library, so that
`pip install ./python` works on a machine without a package index: the package is pure
Python, and its wheel is a zip file with the package and its metadata."""
import base64
import hashlib
import os
import zipfile

NAME, VERSION = "pxrlib", "1.0.0"
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIST_INFO = "%s-%s.dist-info" % (NAME, VERSION)
METADATA = ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: Python binding of libpxrlib: "
            "zero-copy message passing between processes on one Linux host\n"
            "Requires-Python: >=3.9\n" % (NAME, VERSION))
WHEEL = "Wheel-Version: 1.0\nGenerator: pxrlib_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n"


def _files():
    package = os.path.join(HERE, NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            with open(os.path.join(package, name), "rb") as f:
                yield "%s/%s" % (NAME, name), f.read()
    yield DIST_INFO + "/METADATA", METADATA.encode()
    yield DIST_INFO + "/WHEEL", WHEEL.encode()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel = "%s-%s-py3-none-any.whl" % (NAME, VERSION)
    record = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        for path, data in _files():
            z.writestr(path, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            record.append("%s,sha256=%s,%d" % (path, digest.decode(), len(data)))
        record.append(DIST_INFO + "/RECORD,,")
        z.writestr(DIST_INFO + "/RECORD", "\n".join(record) + "\n")
    return wheel


def get_requires_for_build_wheel(config_settings=None):
    return []
