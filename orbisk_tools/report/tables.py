"""Tables that fit their terminal: the status, the history and the update summary."""

import dataclasses

from orbisk_tools.report.output import printable, shown


@dataclasses.dataclass(frozen=True)
class Field:
    """A column of a table that fits its terminal. A `whole` one (an address, a serial number) is
    never cut or wrapped. When the table is too wide, the other columns leave it, the one of the
    highest `rank` first: what a column that `moves` holds goes to the line under its row, the
    others are dropped. Should that not be enough, the whole ones but the first move too."""
    header: str
    whole: bool = False
    rank: int = 0
    moves: bool = False


COLUMN_GAP = 2  # the spaces between two columns of a table
NOTE_INDENT = 2  # of the line under a row


def print_table(output, title, fields, rows, pipe_width):
    """Prints a table of `rows`, (cells, note), as wide as the terminal, or `pipe_width` on a file
    or a pipe. Each row is one line; a row's note (its details, what the columns that moved hold)
    goes on a line of its own under it, wrapped at word boundaries."""
    console = console_for(output, pipe_width)
    print_to(console, fitted_table(title, fields, rows, console.width))


def console_for(output, pipe_width):
    """A rich Console on `output`: as wide as the terminal, or `pipe_width` on a file or a pipe."""
    from rich.console import Console

    terminal = output.isatty()
    return Console(file=output, force_terminal=terminal, width=None if terminal else pipe_width)


def print_to(console, *renderables):
    """console.print(*renderables); in a file or a pipe each line ends at its text, not padded
    with spaces to the console's width."""
    if console.is_terminal:
        console.print(*renderables)
        return
    with console.capture() as captured:
        console.print(*renderables)
    console.file.write("".join(line.rstrip() + "\n" for line in captured.get().splitlines()))


def fitted_table(title, fields, rows, width):
    """The renderable of print_table(), for `width` columns."""
    from rich.console import Group
    from rich.padding import Padding
    from rich.table import Column, Table

    cells = [[printable(str(cell)) for cell in row] for row, _ in rows]
    shown_at, header_whole = columns_that_fit(fields, cells, width)
    widths = {index: column_width(fields[index], [row[index] for row in cells], header_whole) for index in shown_at}
    if sum(widths.values()) + COLUMN_GAP * (len(widths) - 1) > width:  # the first column alone is too wide
        widths[shown_at[0]] = width

    def table(first):
        columns = [Column(shown(fields[index].header), width=widths[index], overflow="fold") for index in shown_at]
        return Table(*columns, title=title if first else None, show_header=first, box=None, pad_edge=False,
                     padding=(0, COLUMN_GAP // 2))

    parts, current = [], None
    for row_cells, (_, note) in zip(cells, rows):
        if current is None:
            current = table(first=not parts)
            parts.append(current)
        current.add_row(*(shown(row_cells[index]) for index in shown_at))
        moved = [f"{field.header}: {cell}" for index, (field, cell) in enumerate(zip(fields, row_cells))
                 if index not in widths and (field.moves or field.whole) and cell not in ("", "-")]
        line = "; ".join(filter(None, [*moved, printable(note or "")]))
        if line:
            parts.append(Padding(shown(line), (0, 0, 0, NOTE_INDENT)))
            current = None  # the rows after the note go on in a table of the same columns
    return Group(*parts)


def columns_that_fit(fields, cells, width):
    """(the indexes of the columns shown, whether their headers fit whole) for a table of `width`
    columns: every column that fits, with its header on one line if it can."""
    shown_at = list(range(len(fields)))
    leaving = sorted((index for index in shown_at if not fields[index].whole), key=lambda index: -fields[index].rank)
    leaving += [index for index in shown_at[1:] if fields[index].whole]
    while True:
        for header_whole in (True, False):
            used = sum(column_width(fields[index], [row[index] for row in cells], header_whole) for index in shown_at)
            if used + COLUMN_GAP * (len(shown_at) - 1) <= width:
                return shown_at, header_whole
        if not leaving:
            return shown_at, False
        shown_at.remove(leaving.pop(0))


def column_width(field, texts, header_whole):
    """The width of a column that shows each of `texts` on one line, and its header whole or
    wrapped at word boundaries."""
    from rich.cells import cell_len

    header = cell_len(field.header) if header_whole else max(map(cell_len, field.header.split()))
    return max([header, *map(cell_len, texts)])
