"""Reading the module's timestamps without losing their nanoseconds."""

from __future__ import annotations

import re
from datetime import datetime, timezone
from typing import Tuple

# The one form the module writes: whole seconds in UTC, then a fraction of 3,
# 6 or 9 digits only when it is not zero (the shortest that is exact, so it
# never ends in "000"), then "+00:00". Digits are ASCII only.
_STAMP = re.compile(
    r"([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})"
    r"(?:\.([0-9]{3}|[0-9]{6}|[0-9]{9}))?\+00:00\Z"
)


def parse_timestamp(text: str) -> Tuple[datetime, int]:
    """Split a ``created_at`` or ``updated_at`` text into a datetime and the rest of its nanoseconds.

    Returns ``(moment, nanoseconds)``: an aware UTC ``datetime`` exact to the
    microsecond, and the nanoseconds within that microsecond (0 to 999), so
    that no digit is lost, on every Python version (``datetime.fromisoformat``
    refuses nine fraction digits before 3.11 and drops three after).
    Nanoseconds since 1970, exactly:
    ``(moment - EPOCH) // timedelta(microseconds=1) * 1000 + nanoseconds``
    with ``EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)``.

    Raises ``ValueError`` naming the text for anything that is not the exact
    form the module writes (such as ``2026-12-09T17:43:22.123456789+00:00``:
    no "Z", no other offset, no fraction that is zero or ends in "000"), and
    ``TypeError`` for anything that is not a str.
    """
    if not isinstance(text, str):
        raise TypeError(f"parse_timestamp() expects a str, not {type(text).__name__}")
    match = _STAMP.match(text)
    if match is not None:
        year, month, day, hour, minute, second, fraction = match.groups()
        if fraction is None or not fraction.endswith("000"):
            nanos = int(fraction.ljust(9, "0")) if fraction else 0
            try:
                moment = datetime(
                    int(year), int(month), int(day), int(hour), int(minute), int(second), nanos // 1000, timezone.utc
                )
            except ValueError:
                pass  # a day, hour or second out of its range
            else:
                return moment, nanos % 1000
    raise ValueError(f"not a corvane_acp_native timestamp (RFC 3339 in UTC as the module writes it): {text!r}")
