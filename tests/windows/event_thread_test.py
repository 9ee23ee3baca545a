#!/usr/bin/env python3
"""The event thread of the Windows device under wine, on a pseudo-terminal
registered as COM5: with the modem-line shim (tests/windows/modem_shim.cpp,
test harness only) the driver's WaitCommEvent fires for received bytes,
CTS, ring and break (wine's ClearCommError shows no line errors on a pty); without it the port still opens, reports
no modem lines and its polling wait still reports received bytes. Either way
the close ends the wait at once.
Usage: event_thread_test.py WINDOWS_BUILD SHIM.so (WINEPREFIX set, a
persistent wineserver running: scripts/wine-env.sh)."""
import os, pty, queue, subprocess, sys, tempfile, threading, time

build, shim = sys.argv[1], sys.argv[2]
watch = os.path.join(build, "bin", "win_event_watch.exe")
link = os.path.join(build, "com5")
TIOCM_CTS, TIOCM_DSR, TIOCM_CAR, TIOCM_RNG = 0x020, 0x100, 0x040, 0x080


def run(with_shim):
    master, slave = pty.openpty()
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    state = tempfile.NamedTemporaryFile("w", delete=False)
    def lines(bits, frame=0, overrun=0, parity=0, brk=0):
        # Wine compares the lines with those at the start of each wait, so a
        # change between two waits would be lost: give the thread its next wait.
        time.sleep(0.3)
        # Replaced in one step: the shim never reads a half-written file.
        with open(state.name + "~", "w") as f:
            f.write(f"{bits} {frame} {overrun} {parity} {brk}\n")
        os.replace(state.name + "~", state.name)
    lines(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR)
    env = dict(os.environ, QUORRIN_MODEM_FILE=state.name)
    if with_shim:
        env["LD_PRELOAD"] = shim
    proc = subprocess.Popen(["wine", watch, "COM5"], stdout=subprocess.PIPE, env=env, text=True)
    got = []
    out = queue.Queue()
    def reader():
        for line in proc.stdout:
            out.put(line)
        out.put(None)
    threading.Thread(target=reader, daemon=True).start()
    def expect(word, timeout=5.0):
        end = time.time() + timeout
        while time.time() < end:
            try:
                line = out.get(timeout=max(end - time.time(), 0.01))
            except queue.Empty:
                break
            if line is None:
                break
            got.append(line.strip())
            if line.startswith(word):
                return line.strip()
        raise AssertionError(f"{'shim' if with_shim else 'no shim'}: no '{word}' in {got}")
    try:
        opened = expect("open")
        assert ("modem-lines yes" in opened) == with_shim, opened
        time.sleep(0.3)
        os.write(master, b"abc")
        assert expect("rx").startswith("rx a"), got
        if with_shim:
            lines(TIOCM_DSR | TIOCM_CAR)
            expect("cts 0")
            lines(TIOCM_DSR | TIOCM_CAR | TIOCM_RNG)
            expect("ring")
            lines(TIOCM_DSR | TIOCM_CAR, brk=1)
            expect("break")
        # A byte that comes while the handler still reads the first ones.
        os.write(master, b"Q")
        closed = expect("closed", 10.0)
        assert ("driver-events yes" in closed) == with_shim, closed
        assert int(closed.split()[1]) < 1000, closed
        print(f"ok   event thread {'with' if with_shim else 'without'} the shim: {' | '.join(got)}")
    finally:
        proc.kill() if proc.poll() is None else None
        proc.wait()
        os.close(master)
        os.close(slave)
        os.unlink(state.name)


failed = 0
for with_shim in (False, True):
    try:
        run(with_shim)
    except AssertionError as e:
        print("FAIL", e)
        failed = 1
sys.exit(failed)
