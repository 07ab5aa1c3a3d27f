"""Writing result files whole or not at all.

``replace(path, write, binary=False)`` calls ``write(handle)`` on a new file beside ``path`` and renames it over
``path`` only once everything is written and flushed to the disk: a full disk, a file size limit, Ctrl-C or an
error in ``write`` leaves the old file (if any) as it was and no temporary file behind. The new file gets the
old one's permission bits, or the usual ones for a new file (0666 less the umask). A path that exists and is
not a regular file (``/dev/stdout``, a pipe) is written in place: there is nothing to rename over.
"""
from __future__ import annotations

import os
import secrets
import stat
from typing import IO, Any, Callable, Union


def replace(path: Union[str, os.PathLike[str]], write: Callable[[IO[Any]], Any], binary: bool = False) -> None:
    path = os.fspath(path)
    try:
        mode = os.stat(path).st_mode
    except OSError:  # no file yet (or none that can be seen): a new one is made
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        with _open(path, binary) as handle:
            write(handle)
        return
    target = os.path.realpath(path)  # a symbolic link keeps pointing at the file it names
    folder, name = os.path.split(target)
    temporary = os.path.join(folder, ".%s.%s.tmp" % (name, secrets.token_hex(4)))
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as exc:
        raise _naming(exc, path) from None
    try:
        if mode is not None:
            os.chmod(temporary, stat.S_IMODE(mode))
        with _open(fd, binary) as handle:
            write(handle)
            handle.flush()
        os.fsync(fd)
        os.close(fd)
        fd = -1
        os.replace(temporary, target)
    except BaseException as exc:
        if fd >= 0:
            os.close(fd)
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(exc, OSError) and exc.errno is not None:
            raise _naming(exc, path) from exc
        raise


def _open(file: Union[str, int], binary: bool) -> IO[Any]:
    """A file name, or a descriptor left open (the caller closes it after syncing)."""
    if binary:
        return open(file, "wb", closefd=not isinstance(file, int))
    return open(file, "w", newline="", closefd=not isinstance(file, int))


def _naming(exc: OSError, path: str) -> OSError:
    """The same error (its errno gives the same class), about the file the caller named."""
    return OSError(exc.errno, exc.strerror or os.strerror(exc.errno or 0), path)
