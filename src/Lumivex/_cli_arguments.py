"""The command line's option values: each checked, or refused in argparse's words."""
from __future__ import annotations

import argparse

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional, Union

__all__ = ["jobs", "level", "max_pixels"]


def max_pixels(text: str) -> Optional[int]:
    if text.lower() == "none":
        return None
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number or 'none': {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def level(text: str) -> Union[int, str]:
    if text == "strongest":
        return text
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 9:
        raise argparse.ArgumentTypeError(f"not 1 to 9 or 'strongest': {text!r}")
    return value


def jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of 1 or more: {text!r}")
    return value
