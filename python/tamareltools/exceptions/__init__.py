"""The platform error raised by the tool library."""

from typing import Any


class TamarelToolsError(Exception):
    """A platform error built from a message entry: ``TamarelToolsError(*entry, value=...)``.

    ``code`` and ``msg`` come from the entry; ``value`` (a tuple, usually) carries the
    details, and ``msg`` is formatted with them where it has ``{}`` fields.
    """

    def __init__(self, code: Any, msg: Any, value: Any = None) -> None:
        self.code = code
        self.value = value
        if value is not None and "{}" in str(msg):
            try:
                msg = str(msg).format(*value)
            except (IndexError, TypeError):
                pass
        self.msg = msg
        super().__init__(code, msg)

    def __str__(self) -> str:
        if self.value is None:
            return f"{self.code}: {self.msg}"
        return f"{self.code}: {self.msg} {self.value!r}"
