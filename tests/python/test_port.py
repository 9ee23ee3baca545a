"""quorrin.Port, quorrin.ports(), quorrin.Simulator and the stubs."""

import ast
import errno
import os
import pathlib
import termios

import pytest

import quorrin


def test_port_reads_a_selectrix_answer(simulator):
    with quorrin.Port(simulator.path, baud=9600) as port:
        assert port.is_open and port.baud == 9600 and port.data_bits == 8
        port.set_timeouts(read_interval=0, read_total_constant=1000)
        assert port.timeouts["read_total_constant"] == 1000
        port.write(bytes([0x80 | 7, 0x33]))  # write 0x33 to address 7 (no answer)
        assert port.write(bytearray([7, 0x20])) == 2  # read address 7
        assert port.read(1) == b"\x33"
        assert port.in_waiting == 0
    assert not port.is_open


def test_port_read_returns_at_once_by_default(simulator):
    with quorrin.Port(simulator.path) as port:
        assert port.read(5) == b""


def test_port_settings():
    port = quorrin.Port(baud=19200, data_bits=7, parity="even", stop_bits=2)
    assert (port.baud, port.data_bits, port.parity, port.stop_bits) == (19200, 7, "even", 2.0)
    port.baud = 31250  # a rate of its own
    assert port.baud == 31250
    assert not port.is_open


def test_flow_control_reaches_the_line(silent_line):
    fd = os.open(silent_line, os.O_RDWR | os.O_NOCTTY)
    try:
        with quorrin.Port(silent_line, flow_control="hardware") as port:
            assert port.flow_control == "hardware"
            assert termios.tcgetattr(fd)[2] & termios.CRTSCTS
            port.flow_control = "software"
            iflag, _, cflag = termios.tcgetattr(fd)[:3]
            assert iflag & termios.IXON and iflag & termios.IXOFF
            assert not cflag & termios.CRTSCTS
            port.flow_control = "none"
            assert not termios.tcgetattr(fd)[0] & (termios.IXON | termios.IXOFF)
    finally:
        os.close(fd)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: quorrin.Port(baud=0), ValueError),
        (lambda: quorrin.Port(data_bits=9), ValueError),
        (lambda: quorrin.Port(parity="sometimes"), ValueError),
        (lambda: quorrin.Port(stop_bits=3), ValueError),
        (lambda: quorrin.Port(stop_bits="1"), TypeError),
        (lambda: quorrin.Port(flow_control="rts"), ValueError),
        (lambda: quorrin.Port(5), TypeError),
        (lambda: quorrin.Port("/dev/quorrin-no-such-port"), quorrin.PortError),
        (lambda: quorrin.Port().open(), ValueError),
        (lambda: quorrin.Port().read(1), ValueError),
        (lambda: quorrin.Port().write(b"x"), ValueError),
        (lambda: quorrin.Port().modem_lines(), ValueError),
        (lambda: quorrin.Port().set_timeouts(read_total_constant="1"), TypeError),
        (lambda: quorrin.Simulator("rocket"), ValueError),
    ],
)
def test_port_bad_use(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda p: p.read(-1), ValueError),
        (lambda p: p.read(1 << 30), ValueError),
        (lambda p: p.write("text"), TypeError),
        (lambda p: p.set_dtr(1), TypeError),
    ],
)
def test_open_port_bad_use(simulator, call, error):
    with quorrin.Port(simulator.path) as port:
        with pytest.raises(error):
            call(port)


def test_port_lines_on_a_pseudo_terminal(simulator):
    with quorrin.Port(simulator.path) as port:
        assert set(port.modem_lines()) == {"cts", "dsr", "ring", "rlsd"}
        port.purge()
        port.set_break(False)


def test_simulator_lifetime():
    sim = quorrin.Simulator("marklin")
    assert sim.path.startswith("/dev/") and sim.system == "marklin"
    sim.close()
    sim.close()
    assert sim.closed
    with pytest.raises(ValueError):
        sim.path


def test_an_in_process_simulator_is_reached_by_its_name_until_it_closes():
    sim = quorrin.Simulator("selectrix", pty=False)
    assert sim.path == "sim:selectrix"
    cs = quorrin.CommandStation("selectrix", sim.path)
    assert cs.feedback(12) == b"\x00"
    with quorrin.CommandStation("selectrix", simulator=True) as own:
        assert own.port == "sim:selectrix-2"  # a station's own, beside it
    sim.close()
    with pytest.raises(quorrin.PortError) as failed:
        cs.feedback(12)
    assert failed.value.os_error == errno.EIO
    assert "sim:selectrix: the simulator has stopped" in failed.value.text
    with pytest.raises(quorrin.Error):  # the close cannot reach the line either
        cs.close()
    assert not cs.is_open


def test_ports_are_names():
    assert all(isinstance(p, str) and p for p in quorrin.ports())


def test_stubs_name_every_public_member():
    stub = ast.parse(pathlib.Path(quorrin.__file__).with_name("quorrin.pyi").read_text())
    declared = {}
    for node in stub.body:
        if isinstance(node, ast.ClassDef):
            declared[node.name] = {
                n.name if isinstance(n, ast.FunctionDef) else n.target.id
                for n in node.body if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
        elif isinstance(node, ast.FunctionDef):
            declared[node.name] = set()
    for name in ("CommandStation", "Port", "Simulator", "ports", "Error", "PortError", "NoAnswer"):
        assert name in declared
    for cls in ("CommandStation", "Port", "Simulator"):
        public = {m for m in dir(getattr(quorrin, cls)) if not m.startswith("_")}
        assert public <= declared[cls], public - declared[cls]
