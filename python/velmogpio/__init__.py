"""The eight GPIO lines of the Velmo board, from Python.

    import velmogpio
    velmogpio.configure({3: "in", 6: "out"})   # only these two lines change
    velmogpio.set(6, 1)
    if velmogpio.get(3):
        ...
    for event in velmogpio.watch(3, edge="rising", timeout=10):
        print(event.time, event.line, event.level, event.edge)

Lines are numbered 1 to 8: lines 1-4 are bank 1, 5-8 bank 2, behind four
byte-wide x86 I/O-port registers at `base` (0x500). The calls are those of
the board's C library, VELMOGPIOLib, compiled into this module: the same
ports in the same order, checked by the same rules.

Port access needs a process the kernel lets reach the ports (root, or
CAP_SYS_RAWIO). Without it every call raises `Error` with the library's
message, such as "I/O port 0x50f: access denied (needs CAP_SYS_RAWIO)."
The same unmodified program runs on the virtual board under velmo-emu:

    velmo-emu -- python3 prog.py

velmogpio.base (the C library's BaseAddress, 0x500) and velmogpio.line_map
(each line's bit, the C library's GPIO1_pos and GPIO2_pos) may be changed
by a program, as a C client changes those globals: the next call uses them.

A line outside 1-8, a level other than 0 or 1, a direction other than
"in" or "out" or a configuration word above 255 raises ValueError before
any port is touched; a value that is no integer raises TypeError.

Threads: every call releases the GIL while it reaches the ports, so other
threads run meanwhile, and any thread may call any function. Nothing is
locked, as in the C library: set() and configure() read a register, change
a bit and write it back, so two threads changing lines of the same bank at
once may undo each other's change (a threading.Lock around such calls
prevents it), and a moved `base` or `line_map` applies to the next call of
every thread. Refusals carry the one message the library keeps for the
whole process; two threads refused at the same moment may both report the
later one.
"""

import collections
import collections.abc
import sys
import types

from . import _velmogpio as _c

__all__ = [
    "Error",
    "Line",
    "Event",
    "LineMap",
    "configure",
    "get",
    "set",
    "lines",
    "watch",
    "base",
    "line_map",
]


class Error(OSError):
    """A port access the kernel refused.

    str(error) and error.strerror are the library's message (what its C
    clients read with KVNGetLastError), naming the port and the reason:
    "I/O port 0x50f: access denied (needs CAP_SYS_RAWIO)." error.errno is
    the kernel's code for the refusal: EPERM (no capability, or a kernel
    that refuses even a privileged process), ENOSYS (a kernel without port
    access), EINVAL (a port past 0xffff, from a moved base).
    """

    def __str__(self):
        return self.strerror if self.strerror is not None else super().__str__()


_c.set_error_class(Error)

Line = collections.namedtuple("Line", "line direction level")
Line.__doc__ = """A line as lines() reports it: its number (1-8), its direction
("in" or "out") and its level (0 or 1)."""

Event = collections.namedtuple("Event", "time line level edge")
Event.__doc__ = """An edge seen by watch(): time in seconds since the watch
began, the line, its new level (0 or 1), and "rising" or "falling"."""

_EDGES = ("rising", "falling", "both")  # the order of the extension's codes
_DIRECTIONS = {"in": True, "out": False}


def configure(directions):
    """Sets the direction of lines: each is an input ("in") or an output ("out").

    configure(word) sets all eight at once: bit i of the word (0-255) is
    line i+1, 1 input and 0 output, so configure(0x0F) makes lines 1-4
    inputs and 5-8 outputs.

    configure({3: "in", 6: "out"}) changes only the lines named and keeps
    the others as the board has them (as `velmogpio config 3=in 6=out`).

    Raises ValueError for a word above 255, a line outside 1-8 or another
    direction (nothing touched), Error when the kernel refuses the ports.
    """
    if isinstance(directions, collections.abc.Mapping):
        pairs = []
        for line, direction in directions.items():
            line = _c.check_line(line)
            if direction not in _DIRECTIONS:
                raise ValueError("bad direction %r for line %d (in or out)" % (direction, line))
            pairs.append((line, _DIRECTIONS[direction]))
        if not pairs:
            raise ValueError("configure needs a word or at least one {line: 'in'|'out'}")
        _c.config_lines(pairs)
    else:
        _c.config(directions)


def get(lines):
    """Reads the level of a line, or of several.

    get(3) returns 0 or 1; get([3, 6]) returns {3: level, 6: level}. The
    data register is read whatever the direction: an output line reads the
    level it is driven to.

    Raises ValueError for a line outside 1-8 (all lines are checked before
    the first is read), Error when the kernel refuses the port.
    """
    if isinstance(lines, int):
        return _c.read(lines)
    checked = [_c.check_line(line) for line in lines]
    return {line: _c.read(line) for line in checked}


def set(lines, level=None):
    """Drives a line high (1) or low (0), or several.

    set(6, 1) drives one line; set({6: 1, 7: 0}) drives each line named,
    in that order. The level is written whatever the direction: on an input
    line it is latched and shows on the pin once the line is an output.

    Raises ValueError for a line outside 1-8 or a level other than 0 or 1
    (all checked before the first is driven), Error when the kernel refuses
    the port.
    """
    if isinstance(lines, collections.abc.Mapping):
        if level is not None:
            raise TypeError("set(line, level) or set({line: level, ...}), not both")
        drives = [(_c.check_line(line), _c.check_level(value)) for line, value in lines.items()]
    elif level is None:
        raise TypeError("set(line, level) or set({line: level, ...}): no level given")
    else:
        drives = [(lines, level)]
    for line, value in drives:
        _c.drive(line, value)


def lines():
    """The eight lines as the board has them: a list of Line(line, direction, level).

    Reads the eight levels, then the two direction registers (as
    `velmogpio show`). Raises Error when the kernel refuses the ports.
    """
    return [Line(*state) for state in _c.state()]


def watch(lines, edge="both", timeout=None, interval=0.001):
    """Edges on lines, as they happen: an iterator of Event(time, line, level, edge).

    lines is a line or a list of lines, each named once. The lines are read
    now: those levels are where the watch starts from, not events. Then
    they are read every interval seconds (0.001 to 60) and each change is
    an event, "rising" (to 1) or "falling" (to 0); edge="rising" or
    "falling" keeps only those. A change shorter than the interval may be
    missed; lines that change between the same two readings come in the
    order named. The iterator ends at timeout seconds after the start
    (None: never); Ctrl-C raises KeyboardInterrupt from it as usual.

        for event in velmogpio.watch([3, 4], edge="rising", timeout=60):
            print(event)

    Raises ValueError for a bad line, edge, timeout or interval (nothing
    touched), Error when the kernel refuses the ports (at once for the
    first reading, or from the iterator).
    """
    line_list = [lines] if isinstance(lines, int) else list(lines)
    if edge not in _EDGES:
        raise ValueError("bad edge %r (rising, falling or both)" % (edge,))
    if not 0.001 <= interval <= 60:
        raise ValueError("bad interval %r (0.001 to 60 seconds)" % (interval,))
    if timeout is not None and not 0 <= timeout <= 86400:
        raise ValueError("bad timeout %r (0 to 86400 seconds, or None)" % (timeout,))
    timeout_ns = -1 if timeout is None else round(timeout * 1e9)
    polls = _c.Watch(line_list, _EDGES.index(edge), round(interval * 1e9), timeout_ns)
    return _events(polls)


def _events(polls):
    for time, line, level in polls:
        yield Event(time, line, level, "rising" if level else "falling")


class LineMap(collections.abc.MutableMapping):
    """Where each line sits: line (1-8) -> its bit in its bank's registers.

    The C library's position tables GPIO1_pos (lines 1-4) and GPIO2_pos
    (lines 5-8), read and written in place: line_map[6] = 5 moves line 6 to
    bit 5 for every call that follows. A bit is a shift count taken modulo
    32; one of 8 to 31 lies above the register, and the line then reads 0
    and is never changed. Lines cannot be added or removed.
    """

    def __getitem__(self, line):
        return _c.get_pos(line)

    def __setitem__(self, line, bit):
        _c.set_pos(line, bit)

    def __delitem__(self, line):
        raise TypeError("the line map always holds lines 1 to 8")

    def __iter__(self):
        return iter(range(1, 9))

    def __len__(self):
        return 8

    def __repr__(self):
        return repr(dict(self))


class _Module(types.ModuleType):
    """velmogpio, with base and line_map read from and written to the library."""

    @property
    def base(self):
        """The I/O port of the register block, 0x500: the C library's BaseAddress.

        The registers are at base + 0x07, + 0x0F, + 0x34 and + 0x38; a new
        value applies to the next call. Any 32-bit int; a port the kernel
        does not have (past 0xffff, or negative) is refused with Error.
        """
        return _c.get_base()

    @base.setter
    def base(self, port):
        _c.set_base(port)

    @property
    def line_map(self):
        """Each line's bit in its bank's registers (a LineMap); assign a
        {line: bit} mapping to change the lines it names."""
        return _LINE_MAP

    @line_map.setter
    def line_map(self, positions):
        checked = [(_c.check_line(line), bit) for line, bit in dict(positions).items()]
        for line, bit in checked:
            _c.set_pos(line, bit)


_LINE_MAP = LineMap()
sys.modules[__name__].__class__ = _Module
