"""Errors that name a run option. The option's name is data, not text: a
message is written once with fields for the options it names, and each front
end spells them its own way, ``segment`` (and ``segment=``) in Python,
``--segment`` on the command line."""

from __future__ import annotations

import string
from typing import Any


class OptionName:
    """One option as a front end names it: ``str()`` gives the name alone,
    ``given`` the name as it takes a value, ``prose`` the name within a
    sentence (``the dark rate`` / ``--dark-rate``), ``none`` the option given
    no value (``max_memory=None`` / ``--max-memory none``)."""

    def __init__(self, keyword: str, command_line: bool) -> None:
        self.keyword = keyword
        self.command_line = command_line

    def __str__(self) -> str:
        return "--" + self.keyword.replace("_", "-") if self.command_line else self.keyword

    @property
    def given(self) -> str:
        return f"{self} " if self.command_line else f"{self}="

    @property
    def prose(self) -> str:
        return str(self) if self.command_line else "the " + self.keyword.replace("_", " ")

    @property
    def none(self) -> str:
        return f"{self.given}{'none' if self.command_line else 'None'}"


class _OptionMessage(Exception):
    """A message naming run options through fields of its template:
    ``{segment}``, ``{segment.given}``, ``{max_memory.none}``; ``values``
    fill the other fields (a field that no value fills names an option).
    ``option`` names the option at fault."""

    def __init__(self, option: str, template: str, **values: Any) -> None:
        self.option = option
        self.template = template
        self.values = values
        fields = (name for _, name, _, _ in string.Formatter().parse(template) if name)
        roots = (name.split(".")[0].split("[")[0] for name in fields)
        self.names = tuple(dict.fromkeys(root for root in roots if root not in values))
        super().__init__(self.text(command_line=False))

    def text(self, command_line: bool) -> str:
        """The message with the options spelled as on the command line, or as
        Python's keywords."""
        fields = {name: OptionName(name, command_line) for name in self.names}
        return self.template.format_map({**self.values, **fields})

    def __reduce__(self) -> tuple[Any, ...]:
        # The template and its values travel with the error between processes.
        return _rebuild, (type(self), self.option, self.template, self.values)


def _rebuild(cls: type[_OptionMessage], option: str, template: str, values: dict[str, Any]) -> _OptionMessage:
    return cls(option, template, **values)


class OptionError(_OptionMessage, ValueError):
    """A run option's value refused; ``option`` names it as ``run`` takes it."""


class OptionMemoryError(_OptionMessage, MemoryError):
    """A run refused for the memory it would take beyond its ``max_memory``."""


def option_text(error: BaseException, command_line: bool) -> str:
    """An error's message, with the options it names spelled for the front end."""
    return error.text(command_line) if isinstance(error, _OptionMessage) else str(error)
