"""Wrong use, silent interfaces, failing ports and interrupts: an exception each."""

import os
import signal
import threading
import time

import pytest

import quorrin


@pytest.mark.parametrize(
    "system, call, message",
    [
        ("selectrix", lambda cs: cs.loco(112, 1), "central unit's own"),
        ("selectrix", lambda cs: cs.loco(3, 32), r"speed 32 is out of range for selectrix \(0..31\)"),
        ("selectrix", lambda cs: cs.loco(-1, 0), r"\(0..127\)"),
        ("selectrix", lambda cs: cs.feedback(112), "not read"),
        ("selectrix", lambda cs: cs.loco(3, 1, functions=(False, True)), "--f2 is not carried"),
        ("selectrix", lambda cs: cs.write(5, 256), r"\(0..255\)"),
        ("selectrix", lambda cs: cs.version(), "lenz only"),
        ("selectrix", lambda cs: cs.loco(3, 1, functions=(True,) * 5), "carries 4"),
        ("marklin", lambda cs: cs.loco(256, 1), r"\(0..255\)"),
        ("marklin", lambda cs: cs.loco(3, 1, forward=False), "--backward is not carried"),
        ("marklin", lambda cs: cs.loco(3, 5, change_direction=True), "instead of a speed"),
        ("marklin", lambda cs: cs.feedback(0), r"\(1..31\)"),
        ("lenz", lambda cs: cs.feedback(129), r"\(1..128\)"),
        ("lenz", lambda cs: cs.loco(10000, 0), r"\(0..9999\)"),
        ("lenz", lambda cs: cs.loco(3, 0, lenz_steps=9), r"\(1..8\)"),
        ("lenz", lambda cs: cs.write(3, 1), "selectrix only"),
        ("kaart", lambda cs: cs.loco(3, 0), "not available"),
        ("kaart", lambda cs: cs.feedback(0, request=256), r"\(0..255\)"),
        ("intellibox", lambda cs: cs.loco(3, 0, ib_steps=16), "14, 15, 27, 28, 31"),
        ("dinamo", lambda cs: cs.feedback(1), "use events"),
    ],
)
def test_wrong_use_names_the_range(system, call, message):
    with quorrin.CommandStation(system, simulator=True) as cs:
        with pytest.raises(ValueError, match=message):
            call(cs)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: quorrin.CommandStation(3, simulator=True), TypeError),
        (lambda: quorrin.CommandStation("selectrix", simulator=1), TypeError),
        (lambda: quorrin.CommandStation("selectrix", port=5), TypeError),
        (lambda: quorrin.CommandStation("selectrix", simulator=True, speed=3), TypeError),
        (lambda: quorrin.CommandStation("lenz", simulator=True, lenz_reply_ms="5"), TypeError),
        (lambda: quorrin.CommandStation("lenz", simulator=True, lenz_reply_ms=1.5), TypeError),
        (lambda: quorrin.CommandStation("lenz", simulator=True, lenz_skip=1), TypeError),
        (lambda: quorrin.CommandStation("lenz", simulator=True, lenz_quiet_ms=256), ValueError),
        (lambda: quorrin.CommandStation("lenz", simulator=True, lenz_reply_ms=2**70), ValueError),
        (lambda: quorrin.CommandStation("intellibox", simulator=True, ib_baud=12345), ValueError),
        (lambda: quorrin.CommandStation("selectrix", simulator=True, baud=0), ValueError),
        (lambda: quorrin.CommandStation("rocket", simulator=True), ValueError),
        (lambda: quorrin.CommandStation("selectrix"), ValueError),
        (lambda: quorrin.CommandStation("selectrix", "/dev/null", simulator=True), ValueError),
        (lambda: quorrin.CommandStation("selectrix", ""), ValueError),
    ],
)
def test_bad_construction(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize(
    "call",
    [
        lambda cs: cs.loco("3", 1),
        lambda cs: cs.loco(3, 1.5),
        lambda cs: cs.loco(3, 1, light=1),
        lambda cs: cs.loco(3, 1, functions="1"),
        lambda cs: cs.loco(3, 1, functions=(1,)),
        lambda cs: cs.feedback(None),
        lambda cs: cs.feedback(3, all="yes"),
        lambda cs: cs.write(3, b"\x01"),
        lambda cs: cs.events(timeout="2"),
        lambda cs: setattr(cs, "on_event", 5),
    ],
)
def test_wrong_types(call):
    with quorrin.CommandStation("selectrix", simulator=True) as cs:
        with pytest.raises(TypeError):
            call(cs)


@pytest.mark.parametrize("timeout", [-1, float("nan"), float("inf")])
def test_event_timeout_must_be_a_time(timeout):
    with quorrin.CommandStation("selectrix", simulator=True) as cs:
        with pytest.raises(ValueError):
            cs.events(timeout=timeout)


@pytest.mark.parametrize(
    "call",
    [
        lambda cs: cs.probe(),
        lambda cs: cs.power_on(),
        lambda cs: cs.power_state(),
        lambda cs: cs.loco(3, 1),
        lambda cs: cs.feedback(3),
        lambda cs: cs.write(3, 1),
        lambda cs: cs.events(timeout=1),
        lambda cs: cs.wait(0.1),
        lambda cs: cs.port,
    ],
)
def test_a_station_after_its_block(call):
    with quorrin.CommandStation("selectrix", simulator=True) as cs:
        pass
    cs.close()  # again: nothing
    assert not cs.is_open
    with pytest.raises(ValueError, match="closed"):
        call(cs)


def test_silent_interface(silent_line):
    with quorrin.CommandStation("selectrix", silent_line) as cs:
        assert cs.probe() is False
        with pytest.raises(quorrin.NoAnswer):
            cs.feedback(3)


def test_silent_lenz_interface_has_no_version(silent_line):
    with quorrin.CommandStation("lenz", silent_line) as cs:
        with pytest.raises(quorrin.NoAnswer):
            cs.power_on()


def test_port_that_cannot_open():
    with pytest.raises(quorrin.PortError) as caught:
        quorrin.CommandStation("selectrix", "/dev/quorrin-no-such-port")
    error = caught.value
    assert isinstance(error, quorrin.Error)
    assert error.code == 1 and error.os_error > 0
    assert error.text == str(error)


@pytest.mark.parametrize("system", ["lenz", "dinamo"])
def test_simulator_closed_under_a_running_wait(system):
    sim = quorrin.Simulator(system)
    cs = quorrin.CommandStation(system, sim.path)
    cs.probe()
    closer = threading.Timer(0.3, sim.close)
    closer.start()
    start = time.monotonic()
    with pytest.raises((quorrin.PortError, quorrin.NoAnswer)):
        for _ in cs.events(timeout=20):
            pass
    assert time.monotonic() - start < 10
    closer.join()
    # The power-off cannot reach a line that is gone: the close says so.
    with pytest.raises(quorrin.Error):
        cs.close()
    assert not cs.is_open


def test_interrupt_ends_a_wait_and_closes_in_order():
    sim = quorrin.Simulator("selectrix")
    try:
        cs = quorrin.CommandStation("selectrix", sim.path)
        cs.power_on()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            cs.wait(20)
        assert time.monotonic() - start < 2.0
        assert not cs.is_open
        # The close switched the track power off again.
        with quorrin.CommandStation("selectrix", sim.path) as again:
            assert again.power_state()["on"] is False
    finally:
        sim.close()


def test_interrupt_cuts_into_the_components_own_wait(silent_line):
    # The Lenz version waits a second for its answer inside the component.
    cs = quorrin.CommandStation("lenz", silent_line)
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        cs.version()
    assert time.monotonic() - start < 0.7
    assert not cs.is_open


def test_interrupt_cuts_into_the_intellibox_rate_scan(silent_line):
    # On a silent line the scan goes through a second's break and every rate.
    threading.Timer(0.4, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        with quorrin.CommandStation("intellibox", silent_line) as cs:
            cs.probe()
    assert time.monotonic() - start < 0.4 + 0.1
