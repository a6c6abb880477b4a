"""The standard input of a script whose descriptor 0 is not a terminal.

Python's own sys.stdin reads ahead a buffer's worth, and a pipe or a file cannot take back what the
script left unread: the menu would never see it. This one is python3's in all but its raw file,
whose reads stop at the first line end: a byte a read on a pipe, and on a regular file a block cut
after its first line end, the descriptor moved back over the rest. The block is small so that a
large read does not read far past every line end. Reading all goes in large blocks.
"""
import io
import os
import stat
import sys


class StdinFileIO(io.FileIO):
    __module__ = "script_menu"
    read = io.RawIOBase.read  # through readinto, which FileIO's own read bypasses

    def __init__(self):
        super().__init__(0, "rb", closefd=False)
        self.regular = stat.S_ISREG(os.fstat(0).st_mode)

    def readinto(self, buffer):
        if not self.regular:
            return super().readinto(memoryview(buffer)[:1])
        block = os.read(0, min(len(buffer), 1024))
        end = block.find(b"\n") + 1 or len(block)
        if end < len(block):
            os.lseek(0, end - len(block), os.SEEK_CUR)
        memoryview(buffer)[:end] = block[:end]
        return end


def install():
    """Puts the replacement in place of sys.__stdin__, and of sys.stdin where that is the same."""
    old = sys.__stdin__
    if old is None:
        return
    raw = StdinFileIO()
    raw.name = old.name
    # python3 splits standard input at "\n" on POSIX and translates no line end.
    new = io.TextIOWrapper(io.BufferedReader(raw), old.encoding, old.errors, "\n",
                           old.line_buffering)
    new.mode = old.mode
    if sys.stdin is old:
        sys.stdin = new
    sys.__stdin__ = new


install()
