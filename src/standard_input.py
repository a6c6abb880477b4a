"""The standard input of a script whose descriptor 0 is not a terminal.

Python's own sys.stdin reads ahead a buffer's worth, and a pipe or a file cannot take back what the
script left unread: the menu would never see it. This one is python3's in all but its raw file,
whose reads, into any writable buffer taken as bytes, stop at the first line end: a byte a read on
a pipe, and on a regular file a block cut after its first line end, the descriptor moved back over
the rest. What descriptor 0 is, is looked at again after each line end, since a script may put
another file there. The block is small so that a large read does not read far past every line end.
Reading all goes in large blocks.

The program sets line_feed_to_drop before this runs: True when the menu's value ended in a CR on an
input that cannot be read back, so that the LF of its CR LF may still come. That LF is dropped
when it is the first byte read, whenever it comes; any other first byte is kept.
"""
import io
import os
import stat
import sys


class StdinFileIO(io.FileIO):
    __module__ = "script_menu"
    read = io.RawIOBase.read  # through readinto, which FileIO's own read bypasses
    _readinto = io.FileIO.readinto  # without the cost of super() at every byte of a pipe

    def __init__(self, line_feed_to_drop):
        super().__init__(0, "rb", closefd=False)
        self.line_feed_to_drop = line_feed_to_drop
        self.regular = None  # whether descriptor 0 is a regular file; None: to be looked at

    # Errors, an interrupt among them, come from these reads as from python3's own, which are C:
    # with no frame of the replacement. A bare raise adds none for its own frame from 3.11 on;
    # before, it keeps the frames that the error came through.
    def readinto(self, buffer):
        try:
            view = memoryview(buffer).cast("B")  # any writable buffer, as bytes
            if self.line_feed_to_drop and len(view) > 0:
                got = self._readinto(view[:1])
                if got is not None:
                    self.line_feed_to_drop = False
                if got != 1 or view[0] != 0x0A:
                    return got
            # A byte a read is right on any file, a block only on a regular one. A script may put
            # another file on descriptor 0: it is looked at again after a block and a line end.
            if self.regular is None:
                self.regular = stat.S_ISREG(os.fstat(0).st_mode)
            if not self.regular:
                got = self._readinto(view[:1])
                if got != 1 or view[0] == 0x0A:
                    self.regular = None
                return got
            self.regular = None
            got = self._readinto(view[:1024])
            end = view[:got].tobytes().find(b"\n") + 1 or got
            if end < got:
                os.lseek(0, end - got, os.SEEK_CUR)
            return end
        except BaseException as error:
            error.__traceback__ = None
            raise

    def readall(self):
        try:
            if not self.line_feed_to_drop:
                return super().readall()
            first = bytearray(1)
            got = self.readinto(first)  # drops that LF, should it come first
            if not got:
                return None if got is None else b""
            return bytes(first) + (super().readall() or b"")
        except BaseException as error:
            error.__traceback__ = None
            raise


def install(line_feed_to_drop):
    """Puts the replacement in place of sys.__stdin__, and of sys.stdin where that is the same."""
    old = sys.__stdin__
    if old is None:
        return
    raw = StdinFileIO(line_feed_to_drop)
    raw.name = old.name
    # python3 splits standard input at "\n" on POSIX and translates no line end.
    new = io.TextIOWrapper(io.BufferedReader(raw), old.encoding, old.errors, "\n",
                           old.line_buffering)
    new.mode = old.mode
    if sys.stdin is old:
        sys.stdin = new
    sys.__stdin__ = new


install(line_feed_to_drop)  # noqa: F821 (set by the program)
