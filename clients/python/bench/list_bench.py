"""GetCalculationList of 100,000 names through the Python client against kelvarin-cli.

    KELVARIN_BINARY=build/dev/kelvarin KELVARIN_CLI=build/dev/kelvarin-cli \
        /usr/bin/python3 clients/python/bench/list_bench.py [ROUNDS]

Starts a server on a store of 100 folders of 1,000 empty calculation files, then times the
best of ROUNDS calls: the Python client's call alone, the same with the generic per-element
decoding, and kelvarin-cli as a whole process (connect, call, print), whose time is an upper
bound of the C++ client's.
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "tests", "python_client"))
import kelvarin  # noqa: E402
from kelvarin import variant  # noqa: E402
from server_process import ServerProcess  # noqa: E402

FOLDERS, PER_FOLDER = 100, 1000


def fill(store):
    for f in range(FOLDERS):
        folder = os.path.join(store, "Calc", "Area%d" % f)
        os.makedirs(folder)
        for i in range(PER_FOLDER):
            open(os.path.join(folder, "Calc%d.zrc" % i), "wb").close()


def best(rounds, fn):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        n = fn()
        times.append(time.perf_counter() - t)
        assert n == FOLDERS * PER_FOLDER, n
    return min(times)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    cli = os.environ.get("KELVARIN_CLI", os.path.join(os.path.dirname(os.environ["KELVARIN_BINARY"]), "kelvarin-cli"))
    server = ServerProcess()
    fill(server.store)
    server.start()
    try:
        with kelvarin.connect(server.socket) as conn:
            cmd = conn.create()
            cmd.GetCalculationList()  # warms the server's directory reads
            py = best(rounds, lambda: len(cmd.GetCalculationList()))
            direct, variant._DIRECT = variant._DIRECT, {}
            try:
                generic = best(rounds, lambda: len(cmd.GetCalculationList()))
            finally:
                variant._DIRECT = direct
        def fresh():
            with kelvarin.connect(server.socket) as conn:
                return len(conn.create().GetCalculationList())
        whole = best(rounds, fresh)
        cpp = best(rounds, lambda: len(subprocess.run([cli, "--socket", server.socket, "GetCalculationList"],
                                                      capture_output=True, check=True).stdout.splitlines()))
    finally:
        server.close()
    print("Python client, typed array decoded directly: %.1f ms" % (py * 1000))
    print("Python client, generic decoding per element: %.1f ms" % (generic * 1000))
    print("Python client, connect + create + call:      %.1f ms" % (whole * 1000))
    print("kelvarin-cli process (connect, call, print):  %.1f ms" % (cpp * 1000))
    print("Python / C++: %.2f" % (py / cpp))


if __name__ == "__main__":
    main()
