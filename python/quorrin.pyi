"""Type stubs of the Quorrin module: command stations, their serial port and simulators."""

from typing import Iterator, Literal, Optional, Sequence, TypedDict, Union, Callable, Any

__version__: str
SYSTEMS: tuple[str, ...]

class Error(Exception):
    """A failure the command station or its port reported."""

class PortError(Error):
    """The serial port failed."""
    code: int
    os_error: int
    text: str

class NoAnswer(Error):
    """The interface did not answer."""

def ports() -> list[str]:
    """The serial ports of this machine, named as Port and CommandStation take them."""

class PowerState(TypedDict):
    on: bool
    emergency_stop: Optional[bool]
    source: Literal["interface", "commanded"]
    commanded: bool

class ModemLines(TypedDict):
    cts: bool
    dsr: bool
    ring: bool
    rlsd: bool

class Timeouts(TypedDict):
    read_interval: int
    read_total_multiplier: int
    read_total_constant: int
    write_total_multiplier: int
    write_total_constant: int

# An event: {'event': kind, ...values}; see CommandStation.events.
Event = dict[str, Any]

class Simulator:
    """A simulated command station behind a pseudo-terminal (pty=False: in-process)."""
    def __init__(self, system: str, pty: bool = True) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def system(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Simulator": ...
    def __exit__(self, *args: object) -> None: ...

class EventIterator(Iterator[Event]):
    def __iter__(self) -> "EventIterator": ...
    def __next__(self) -> Event: ...

class CommandStation:
    """One command station on a serial port (or a simulator of its own)."""
    def __init__(
        self,
        system: str,
        port: Optional[str] = None,
        simulator: bool = False,
        *,
        baud: int = ...,
        lenz_reply_ms: int = 500,
        lenz_skip: bool = True,
        lenz_quiet_ms: int = 0,
        ib_fixed: bool = False,
        ib_baud: int = 0,
        ib_binary: bool = False,
        marklin_loco_pause: int = 60,
        marklin_stop_pause: int = 90,
        marklin_byte_pause: int = 10,
        marklin_fast: bool = False,
        kaart_fast: bool = False,
        kaart_option0: bool = True,
        kaart_option1: bool = True,
        kaart_option2: bool = True,
        kaart_option4: bool = False,
        dinamo_reply_ms: int = 200,
    ) -> None: ...
    @property
    def system(self) -> str: ...
    @property
    def port(self) -> str: ...
    @property
    def is_open(self) -> bool: ...
    on_event: Optional[Callable[[Event], object]]
    def close(self) -> None: ...
    def __enter__(self) -> "CommandStation": ...
    def __exit__(self, *args: object) -> None: ...
    def probe(self) -> bool: ...
    def power_on(self) -> None: ...
    def power_off(self, *, track: bool = False) -> None: ...
    def power_state(self) -> PowerState: ...
    def loco(
        self,
        address: int,
        speed: int = 0,
        *,
        light: bool = False,
        forward: bool = True,
        functions: Sequence[bool] = (),
        lenz_steps: int = 3,
        ib_steps: int = 14,
        ib_old: bool = False,
        change_direction: bool = False,
        system_address: bool = False,
    ) -> bytes: ...
    def feedback(
        self, address: int, *, request: int = 0, all: bool = False, flag2: bool = False
    ) -> Optional[bytes]: ...
    def write(self, address: int, value: int, *, system_address: bool = False) -> None: ...
    def version(self) -> float: ...
    def events(self, timeout: Optional[float] = None) -> EventIterator: ...
    def wait(self, seconds: Optional[float]) -> None: ...

class Port:
    """A serial port on its own."""
    def __init__(
        self,
        name: Optional[str] = None,
        *,
        baud: int = 9600,
        data_bits: int = 8,
        parity: Literal["none", "odd", "even", "mark", "space"] = "none",
        stop_bits: Union[int, float] = 1,
        flow_control: Literal["none", "hardware", "software"] = "none",
    ) -> None: ...
    name: str
    baud: int
    data_bits: int
    parity: str
    stop_bits: float
    flow_control: str
    @property
    def is_open(self) -> bool: ...
    @property
    def timeouts(self) -> Timeouts: ...
    @property
    def in_waiting(self) -> int: ...
    def open(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Port": ...
    def __exit__(self, *args: object) -> None: ...
    def set_timeouts(
        self,
        *,
        read_interval: Optional[int] = None,
        read_total_multiplier: Optional[int] = None,
        read_total_constant: Optional[int] = None,
        write_total_multiplier: Optional[int] = None,
        write_total_constant: Optional[int] = None,
    ) -> None: ...
    def read(self, size: int) -> bytes: ...
    def write(self, data: Union[bytes, bytearray, memoryview]) -> int: ...
    def purge(self, *, input: bool = True, output: bool = True) -> None: ...
    def set_dtr(self, on: bool) -> None: ...
    def set_break(self, on: bool) -> None: ...
    def modem_lines(self) -> ModemLines: ...
