"""Exceptions raised by the package.

Every exception is a SarduneError, and each also derives from the built-in
exception a caller would expect, so ``except MemoryError`` or
``except ValueError`` keep working without knowing this package:

    SarduneError (alias SardunError, its earlier name)
    +-- LibraryNotFound(OSError)      no engine library at any looked-up place
    +-- MissingEntryPoint(AttributeError)  the loaded library lacks a function
    +-- EngineOutOfMemory(MemoryError)     status -1: a scratch allocation failed
    +-- InvalidRequest(ValueError)         status -2: inconsistent counts
    +-- EngineStatusError                  any other non-zero status
    +-- DesignFileError(ValueError)        a design, materials or table file is malformed
    +-- MeasurementFileError(ValueError)   a file of measured spectra is malformed
    +-- MaterialError(ValueError)          a material evaluated where it is not defined
    +-- NonFiniteResult(ArithmeticError)   a result that is not finite (NaN or infinite)
    +-- ToleranceError(RuntimeError)       work of a tolerance analysis failed in its executor
    +-- SynthesisError(RuntimeError)       a start of a multi-start synthesis failed in its executor

Bad arguments are caught before the engine is called and raise plain
TypeError or ValueError naming the argument.
"""

from typing import Optional

STATUS_OK = 0
STATUS_OUT_OF_MEMORY = -1
STATUS_INVALID_REQUEST = -2


class SarduneError(Exception):
    """Base of every error the package raises on its own account."""


SardunError = SarduneError  # the name before 1.1.0; kept for callers that use it


class LibraryNotFound(SarduneError, OSError):
    pass


class MissingEntryPoint(SarduneError, AttributeError):
    pass


class EngineStatusError(SarduneError):
    def __init__(self, function: str, status: int, message: str) -> None:
        super().__init__(f"{function}: {message} (status {status})")
        self.function = function
        self.status = status


class EngineOutOfMemory(EngineStatusError, MemoryError):
    pass


class InvalidRequest(EngineStatusError, ValueError):
    pass


class DesignFileError(SarduneError, ValueError):
    """A file that breaks the design-file grammar. The message reads
    "FILE:LINE: FIELD: PROBLEM" ("FILE: PROBLEM" where no line applies);
    .path is the file as given, .line the line number from 1 (None where no
    line applies), .field the field's name ("layer" for a file without
    layers, None for a file too large to read)."""

    def __init__(self, path: str, line: Optional[int], field: Optional[str], problem: str) -> None:
        super().__init__(f"{path}: {problem}" if line is None else f"{path}:{line}: {field}: {problem}")
        self.path, self.line, self.field = path, line, field


class MeasurementFileError(SarduneError, ValueError):
    """A file of measurements that breaks its format. The message reads
    "FILE:LINE:COLUMN: PROBLEM" ("FILE:LINE: PROBLEM" where no column
    applies, "FILE: PROBLEM" where no line does); .path is the file as
    given, .line and .column count from 1 (or are None)."""

    def __init__(self, path: str, line: Optional[int], column: Optional[int], problem: str) -> None:
        where = path if line is None else f"{path}:{line}" if column is None else f"{path}:{line}:{column}"
        super().__init__(f"{where}: {problem}")
        self.path, self.line, self.column = path, line, column


class MaterialError(SarduneError, ValueError):
    """A material evaluated outside its model's domain (a table's range, a
    Sellmeier pole, n or k out of bounds); the message names the material
    and the wavelength."""


class NonFiniteResult(SarduneError, ArithmeticError):
    """A result the engine and the formulas could not give as a finite number
    (a thick absorbing layer whose field underflows, a layer whose index lies
    below the angle invariant many wavelengths deep, ...). The message names
    the computation, the quantity, the first such wavelength, and the angle,
    polarisation and layer where they apply; .wavelength is in nm, .layer is
    None where the quantity is not a layer's."""

    def __init__(self, message: str, wavelength: float, layer: Optional[int] = None) -> None:
        super().__init__(message)
        self.wavelength, self.layer = wavelength, layer


class ToleranceError(SarduneError, RuntimeError):
    """Work of a tolerance analysis failed in its executor (at submission or
    when it ran): "executor: batch 2 (runs 512 to 767) failed: CAUSE", or
    the statistics of a block of wavelengths on a cluster; .what names the
    work, the cause is chained."""

    def __init__(self, what: str, cause: BaseException) -> None:
        super().__init__(f"executor: {what} failed: {type(cause).__name__}: {cause}")
        self.what = what


class SynthesisError(SarduneError, RuntimeError):
    """A start of a multi-start synthesis failed in its executor (at
    submission or when it ran): "executor: start 3 failed: CAUSE"; .what
    names the start, the cause is chained."""

    def __init__(self, what: str, cause: BaseException) -> None:
        super().__init__(f"executor: {what} failed: {type(cause).__name__}: {cause}")
        self.what = what


def check_status(function: str, status: int) -> None:
    """Turns a non-zero engine status into the matching exception."""
    if status == STATUS_OK:
        return
    if status == STATUS_OUT_OF_MEMORY:
        raise EngineOutOfMemory(function, status,
                                "the engine could not allocate its scratch; outputs may be partly written")
    if status == STATUS_INVALID_REQUEST:
        raise InvalidRequest(function, status, "the engine rejected the request's counts")
    raise EngineStatusError(function, status, "unexpected engine status")
