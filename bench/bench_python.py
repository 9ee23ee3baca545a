"""The Python module's figures (run by bench/run with the module on PYTHONPATH).

  python_read_us         median Selectrix feedback read through quorrin.CommandStation
  python_raw_read_us     median of the same two-byte exchange written with os, termios and
                         select (purge input, write the request, wait for and read the answer),
                         interleaved, in this process
  python_read_ratio      the two medians' quotient (target: at most 1.0)
  python_import_ms       median time of `import quorrin` in a fresh interpreter
  python_import_base_ms  median time of `import termios` there, interleaved
  python_import_ratio    the two medians' quotient
  python_import_posix_base_ms
                         median time of importing the standard modules any pure-Python posix
                         serial-port module must load (termios, fcntl, select, struct, array):
                         a lower bound of what such a module's import costs, interleaved too
  python_import_posix_ratio
                         python_import_ms over it: an upper bound of the ratio to such a module
"""

import os
import select
import statistics
import subprocess
import sys
import termios
import time

import quorrin

READS = 300
IMPORTS = 15


def raw_port(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    attrs = termios.tcgetattr(fd)
    attrs[0] = 0  # iflag
    attrs[1] = 0  # oflag
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
    attrs[3] = 0  # lflag
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def raw_read(fd, address):
    termios.tcflush(fd, termios.TCIFLUSH)
    os.write(fd, bytes([address, 0x20]))
    ready, _, _ = select.select([fd], [], [], 0.5)
    if not ready:
        raise RuntimeError("no answer")
    return os.read(fd, 1)


def import_ms(module):
    code = ("import time; t = time.perf_counter(); import %s; "
            "print((time.perf_counter() - t) * 1000)" % module)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return float(out.stdout)


def main():
    with quorrin.Simulator("selectrix") as ours, quorrin.Simulator("selectrix") as theirs:
        fd = raw_port(theirs.path)
        try:
            with quorrin.CommandStation("selectrix", ours.path) as cs:
                cs.feedback(12)  # initialised before timing
                raw_read(fd, 12)
                module, raw = [], []
                for _ in range(READS):
                    t = time.perf_counter()
                    cs.feedback(12)
                    module.append(time.perf_counter() - t)
                    t = time.perf_counter()
                    raw_read(fd, 12)
                    raw.append(time.perf_counter() - t)
        finally:
            os.close(fd)
    m, r = statistics.median(module) * 1e6, statistics.median(raw) * 1e6
    print("python_read_us: %.1f" % m)
    print("python_raw_read_us: %.1f" % r)
    print("python_read_ratio: %.2f" % (m / r))

    ours_ms, base_ms, posix_ms = [], [], []
    for _ in range(IMPORTS):
        ours_ms.append(import_ms("quorrin"))
        base_ms.append(import_ms("termios"))
        posix_ms.append(import_ms("termios, fcntl, select, struct, array"))
    q, b = statistics.median(ours_ms), statistics.median(base_ms)
    p = statistics.median(posix_ms)
    print("python_import_ms: %.2f" % q)
    print("python_import_base_ms: %.2f" % b)
    print("python_import_ratio: %.1f" % (q / b))
    print("python_import_posix_base_ms: %.2f" % p)
    print("python_import_posix_ratio: %.1f" % (q / p))


if __name__ == "__main__":
    main()
