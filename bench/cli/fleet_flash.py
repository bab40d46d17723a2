#!/usr/bin/env python3
"""plenko-tq flash on a fleet: N simulated devices (one plenko-tq-sim process
each) updated with one image, in the same run

  one after another: N runs of `plenko-tq flash IMAGE --address A`
  concurrently     : one run of `plenko-tq flash IMAGE --address A1 ... --address AN`

Prints the wall time of both (best and median of the rounds), their ratio,
and the CPU time the tool and the simulators used, which says what bounds the
ratio: every chunk costs CPU on both ends of the loopback connection, so
the concurrent run can be at most about as many times faster as there are
cores to share between the tool and the simulators.

    bench/cli/fleet_flash.py [--devices 8] [--mib 8] [--rounds 7]

Environment: PLENKO_TQ_CLI (default build/tools/cli/plenko-tq) and
PLENKO_TQ_SIM (default build/tools/sim/plenko-tq-sim). Loopback only; no
discovery, so no network namespace is needed.
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
CLI = Path(os.environ.get("PLENKO_TQ_CLI", REPO / "build" / "tools" / "cli" / "plenko-tq")).resolve()
SIM = Path(os.environ.get("PLENKO_TQ_SIM", REPO / "build" / "tools" / "sim" / "plenko-tq-sim")).resolve()
TICKS = os.sysconf("SC_CLK_TCK")


def start_sim(serial):
    proc = subprocess.Popen([str(SIM), "--devices", "1", "--serial", str(serial)], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline().split()
    if not line or line[0] != "READY":
        proc.kill()
        sys.exit(f"plenko-tq-sim did not start: {line}")
    return proc, line[1]


def cpu_seconds(pid):
    """User + system time of a running process, from /proc."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def run_cli(args):
    """Wall and CPU seconds of one plenko-tq run; exits on failure."""
    start = time.perf_counter()
    proc = subprocess.Popen([str(CLI), *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"plenko-tq {' '.join(args[:2])} failed ({proc.returncode}): {proc.stderr.read().decode()}")
    return wall, usage.ru_utime + usage.ru_stime


def measure(sims, runs):
    """Wall seconds, tool CPU seconds and simulator CPU seconds of `runs`."""
    sim_before = sum(cpu_seconds(p.pid) for p, _ in sims)
    wall = cli_cpu = 0.0
    for args in runs:
        w, c = run_cli(args)
        wall += w
        cli_cpu += c
    return wall, cli_cpu, sum(cpu_seconds(p.pid) for p, _ in sims) - sim_before


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devices", type=int, default=8)
    parser.add_argument("--mib", type=int, default=8, help="image size in MiB")
    parser.add_argument("--rounds", type=int, default=7)
    opts = parser.parse_args()
    for tool in (CLI, SIM):
        if not tool.is_file():
            sys.exit(f"{tool} not built (cmake --build build --target plenko-tq plenko-tq-sim)")

    sims = [start_sim(1001 + i) for i in range(opts.devices)]
    try:
        with tempfile.TemporaryDirectory() as tmp:
            image = Path(tmp) / "image.bin"
            image.write_bytes(random.Random(7).randbytes(opts.mib << 20))
            addresses = [a for _, a in sims]
            one_by_one = [["flash", str(image), "--address", a] for a in addresses]
            together = [["flash", str(image)] + [x for a in addresses for x in ("--address", a)]]
            results = {"one after another": [], "concurrently": []}
            for r in range(opts.rounds):
                # Alternate which goes first, so neither always meets a warm or a cold machine.
                order = [("one after another", one_by_one), ("concurrently", together)]
                for name, runs in order if r % 2 == 0 else reversed(order):
                    results[name].append(measure(sims, runs))
    finally:
        for proc, _ in sims:
            proc.terminate()
            proc.wait()

    print(f"{opts.devices} simulated devices, {opts.mib} MiB image, {opts.rounds} rounds, {os.cpu_count()} cores")
    summary = {}
    for name, rounds in results.items():
        walls = [w for w, _, _ in rounds]
        best = min(rounds)
        summary[name] = (min(walls), statistics.median(walls))
        print(
            f"  {name:18} best {min(walls):6.2f} s  median {statistics.median(walls):6.2f} s  "
            f"(best round: tool CPU {best[1]:5.2f} s, simulators CPU {best[2]:5.2f} s, "
            f"{(best[1] + best[2]) / best[0]:.2f} cores busy)"
        )
    seq, par = summary["one after another"], summary["concurrently"]
    print(f"  speed-up (one after another / concurrently): best {seq[0] / par[0]:.2f}x  median {seq[1] / par[1]:.2f}x")


if __name__ == "__main__":
    main()
