"""quorrin.CommandStation end to end against the simulators."""

import threading
import time

import pytest

import quorrin

# A fast Intellibox: the simulator runs at 2400 baud, so no rate scan is needed.
FAST_IB = {"ib_fixed": True, "ib_baud": 2400}


@pytest.mark.parametrize(
    "system, settings, loco, sent, address, inputs",
    [
        # Selectrix: speed 10 + 0x40 for the light, forward.
        ("selectrix", {}, dict(address=3, speed=10, light=True), b"\x4a", 12, 1),
        # Marklin: the speed byte (speed + 16 for the light), then the address.
        ("marklin", {}, dict(address=24, speed=7, light=True), b"\x17", 3, 2),
        ("lenz", {}, dict(address=3, speed=10, light=True), None, 3, 1),
        ("kaart", {}, None, None, 0, 1),
        ("intellibox", FAST_IB, dict(address=3, speed=5), None, 3, 2),
    ],
)
def test_every_system_end_to_end(system, settings, loco, sent, address, inputs):
    with quorrin.CommandStation(system, simulator=True, **settings) as cs:
        assert cs.probe() is True
        cs.power_on()
        assert cs.power_state()["on"] is True
        if loco is not None:
            got = cs.loco(**loco)
            assert isinstance(got, bytes)
            if sent is not None:
                assert got[: len(sent)] == sent
        answer = cs.feedback(address)
        if inputs is None:
            assert answer is None  # the request goes out, no states come back
        else:
            assert isinstance(answer, bytes) and len(answer) == inputs
        cs.power_off()
        assert cs.power_state()["on"] is False


def test_lenz_track_off_is_its_own_broadcast_and_only_lenz_has_it():
    with quorrin.CommandStation("lenz", simulator=True) as cs:
        cs.power_on()
        list(cs.events(timeout=0.3))
        cs.power_off(track=True)
        assert cs.power_state()["on"] is False
        kinds = [e["event"] for e in cs.events(timeout=0.5)]
        assert "power" in kinds and "emergency-stop" not in kinds
    with quorrin.CommandStation("selectrix", simulator=True) as cs:
        with pytest.raises(ValueError, match="not carried by selectrix"):
            cs.power_off(track=True)


def test_dinamo_runs_its_link_and_reports_no_power_stop():
    with quorrin.CommandStation("dinamo", simulator=True) as cs:
        assert cs.probe() is True
        cs.power_on()
        state = cs.power_state()
        assert state["on"] is True and state["source"] == "commanded"
        assert state["emergency_stop"] is None  # the system cannot tell
        assert list(cs.events(timeout=0.3)) == []


def test_selectrix_write_reads_back():
    with quorrin.CommandStation("selectrix", simulator=True) as cs:
        for value in (0, 7, 255):
            cs.write(5, value)
            assert cs.feedback(5) == bytes([value])


def test_selectrix_track_power_needs_system_address():
    with quorrin.CommandStation("selectrix", simulator=True) as cs:
        with pytest.raises(ValueError, match="112..127"):
            cs.write(127, 1)
        cs.write(127, 1, system_address=True)
        assert cs.power_state() == {
            "on": True, "emergency_stop": False, "source": "interface", "commanded": False}


def test_lenz_version_and_power_broadcast_as_event():
    with quorrin.CommandStation("lenz", simulator=True) as cs:
        assert cs.version() == pytest.approx(3.6)
        cs.power_on()
        kinds = [ev["event"] for ev in cs.events(timeout=0.5)]
        assert "power" in kinds


def test_lenz_feedback_joins_both_halves_and_keeps_them_as_events():
    with quorrin.CommandStation("lenz", simulator=True) as cs:
        assert cs.feedback(3) == b"\x00"
        halves = [ev for ev in cs.events(timeout=0.2) if ev["event"] == "feedback"]
        assert sorted(ev["upper"] for ev in halves) == [False, True]
        assert {ev["module"] for ev in halves} == {3}


@pytest.mark.parametrize("simulator", ["selectrix", "lenz", "marklin"], indirect=True)
def test_closing_switches_off_the_power_it_switched_on(simulator):
    system = simulator.system
    with quorrin.CommandStation(system, simulator.path) as cs:
        cs.power_on()
    if system == "selectrix":
        # The central unit itself says whether the power is on.
        with quorrin.CommandStation(system, simulator.path) as cs:
            assert cs.power_state()["on"] is False
    else:
        assert not cs.is_open


def test_events_end_after_their_timeout():
    with quorrin.CommandStation("selectrix", simulator=True) as cs:
        start = time.monotonic()
        assert [ev for ev in cs.events(timeout=0.3) if ev["event"] != "line"] == []
        assert 0.25 <= time.monotonic() - start < 3.0


def test_callback_runs_on_the_calling_thread():
    seen = []
    with quorrin.CommandStation("lenz", simulator=True) as cs:
        cs.on_event = lambda ev: seen.append((threading.get_ident(), ev["event"]))
        cs.power_on()
        cs.wait(0.5)
        assert list(cs.events(timeout=0.1)) == []  # they went to the callback
    assert ("power" in [kind for _, kind in seen])
    assert {ident for ident, _ in seen} == {threading.get_ident()}


def test_callback_exception_reaches_the_caller():
    def fail(ev):
        raise RuntimeError("from the callback")

    with quorrin.CommandStation("lenz", simulator=True) as cs:
        cs.on_event = fail
        with pytest.raises(RuntimeError, match="from the callback"):
            cs.power_on()
            cs.wait(1.0)


def test_threads_sharing_a_station_take_turns():
    errors = []
    with quorrin.CommandStation("selectrix", simulator=True) as cs:
        cs.write(9, 0x5A)

        def reader():
            try:
                for _ in range(15):
                    assert cs.feedback(9) == b"\x5a"
            except Exception as e:  # noqa: BLE001 - handed to the main thread
                errors.append(e)

        threads = [threading.Thread(target=reader) for _ in range(4)]
        for t in threads:
            t.start()
        for _ in range(15):
            cs.loco(3, 1)
        for t in threads:
            t.join(30)
    assert errors == []


def test_several_stations_at_once():
    with quorrin.CommandStation("selectrix", simulator=True) as a, \
            quorrin.CommandStation("lenz", simulator=True) as b:
        a.write(4, 3)
        assert b.version() == pytest.approx(3.6)
        assert a.feedback(4) == b"\x03"
