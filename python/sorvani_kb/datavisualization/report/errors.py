"""The one error the report command reports as a refusal of its input."""


class InputError(Exception):
    """Input the report cannot use; the message is one line naming the file and the problem."""
