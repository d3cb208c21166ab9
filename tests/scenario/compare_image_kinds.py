#!/usr/bin/env python3
"""Runs each scenario (and zarksim's default machine) twice, on the host-built
drivers and on the Windows build's .sys images, and fails when the two JSON
reports differ in anything but the image kind. Prints each run's wall time."""
import argparse
import difflib
import json
import subprocess
import sys
import time

# What may differ between the two kinds: which kind ran.
IGNORED = ("images",)


def run(zarksim, scenario, kind):
    command = [zarksim, "--json", "--images", kind]
    if scenario:
        command += ["--scenario", scenario]
    start = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True)
    elapsed = time.monotonic() - start
    if done.returncode not in (0, 1) or not done.stdout:
        sys.exit(f"{' '.join(command)} exited with {done.returncode}:\n{done.stderr}")
    report = json.loads(done.stdout)
    for key in IGNORED:
        report.pop(key, None)
    return done.returncode, report, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--zarksim", required=True)
    parser.add_argument("scenarios", nargs="*")
    args = parser.parse_args()
    failures = 0
    totals = {"host": 0.0, "sys": 0.0}
    for scenario in [None] + args.scenarios:
        name = scenario or "(default machine)"
        results = {kind: run(args.zarksim, scenario, kind) for kind in ("host", "sys")}
        for kind, (_, _, elapsed) in results.items():
            totals[kind] += elapsed
        (host_status, host, host_time), (sys_status, sys_report, sys_time) = results["host"], results["sys"]
        print(f"{name}: host {host_time:.2f} s, sys {sys_time:.2f} s")
        if host_status != sys_status or host != sys_report:
            failures += 1
            print(f"{name}: the reports differ (exit status host {host_status}, sys {sys_status})")
            text = {kind: json.dumps(report, indent=1, sort_keys=True).splitlines()
                    for kind, report in (("host", host), ("sys", sys_report))}
            sys.stdout.writelines(line + "\n" for line in difflib.unified_diff(
                text["host"], text["sys"], "host", "sys", lineterm="", n=2))
    print(f"total: host {totals['host']:.2f} s, sys {totals['sys']:.2f} s, "
          f"ratio {totals['sys'] / max(totals['host'], 1e-9):.2f}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
