"""Exceptions raised by the package.

Every exception is a SardunError, and each also derives from the built-in
exception a caller would expect, so ``except MemoryError`` or
``except ValueError`` keep working without knowing this package:

    SardunError
    +-- LibraryNotFound(OSError)      no engine library at any looked-up place
    +-- MissingEntryPoint(AttributeError)  the loaded library lacks a function
    +-- EngineOutOfMemory(MemoryError)     status -1: a scratch allocation failed
    +-- InvalidRequest(ValueError)         status -2: inconsistent counts
    +-- EngineStatusError                  any other non-zero status

Bad arguments are caught before the engine is called and raise plain
TypeError or ValueError naming the argument.
"""

STATUS_OK = 0
STATUS_OUT_OF_MEMORY = -1
STATUS_INVALID_REQUEST = -2


class SardunError(Exception):
    """Base of every error the package raises on its own account."""


class LibraryNotFound(SardunError, OSError):
    pass


class MissingEntryPoint(SardunError, AttributeError):
    pass


class EngineStatusError(SardunError):
    def __init__(self, function, status, message):
        super().__init__(f"{function}: {message} (status {status})")
        self.function = function
        self.status = status


class EngineOutOfMemory(EngineStatusError, MemoryError):
    pass


class InvalidRequest(EngineStatusError, ValueError):
    pass


def check_status(function, status):
    """Turns a non-zero engine status into the matching exception."""
    if status == STATUS_OK:
        return
    if status == STATUS_OUT_OF_MEMORY:
        raise EngineOutOfMemory(function, status,
                                "the engine could not allocate its scratch; outputs may be partly written")
    if status == STATUS_INVALID_REQUEST:
        raise InvalidRequest(function, status, "the engine rejected the request's counts")
    raise EngineStatusError(function, status, "unexpected engine status")
