#!/usr/bin/env python3
"""responder: answers every request that reaches its module, like the C++ pong.

usage: responder.py MY_ID        (e.g. spawned by `pxr load` beside the C ping:
                                  spawn /usr/bin/python3 examples/python/responder.py 0x20)
"""
import sys

import pxrlib


def main():
    if len(sys.argv) != 2:
        print("usage: responder.py MY_ID", file=sys.stderr)
        return 64
    me = int(sys.argv[1], 0)
    # Started by the loader before it admits attachers: wait for it.
    with pxrlib.Environment.attach(wait=True) as env:
        while True:
            try:
                msg = env.receive(me)
            except pxrlib.EnvironmentGone:
                return 0
            if msg is None:
                continue  # an interrupted wait
            if msg.is_request:
                env.confirm(msg)  # the same buffer goes back to the sender
            else:
                msg.release()  # e.g. a congestion message


if __name__ == "__main__":
    sys.exit(main())
