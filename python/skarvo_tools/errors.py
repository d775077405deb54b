"""Errors of the command line tools."""
import os


class UserError(Exception):
    """A problem with what the user asked for (a missing file, a bad option).

    The command prints its text as one line and exits with status 2.
    """


def check_input_file(path: str, kind: str) -> None:
    """Raises UserError when `path` (a `kind` file: "SP3", "navigation", ...)
    is missing or a folder."""
    if not os.path.exists(path):
        raise UserError(f"{kind} file not found: {path}")
    if os.path.isdir(path):
        raise UserError(f"{kind} path is a folder, not a file: {path}")


class FileFailure(Exception):
    """An observation file that could not be reported on.

    In a batch the other files go on; the command exits with status 1.
    """
