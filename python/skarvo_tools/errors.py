"""Errors of the command line tools."""


class UserError(Exception):
    """A problem with what the user asked for (a missing file, a bad option).

    The command prints its text as one line and exits with status 2.
    """


class FileFailure(Exception):
    """An observation file that could not be reported on.

    In a batch the other files go on; the command exits with status 1.
    """
