"""The report's refusals and notes: one exception class and one warning class."""


class InputError(ValueError):
    """Input the report cannot use; the message is one line naming the file (or, for a frame
    given in memory, the argument) and the problem."""


class InputNote(UserWarning):
    """A note on input the report could use: missing values and where, gaps, rows left out. The
    library gives each note as one such warning; the page and `Report.notes` list them too."""
