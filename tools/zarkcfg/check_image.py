#!/usr/bin/env python3
"""Checks zarkcfg.exe as the Windows build makes it: an x64 console program
that imports only from the system's own DLLs, so it runs on any Windows
without a runtime to install."""
import subprocess
import sys

ALLOWED = {"advapi32.dll", "kernel32.dll", "msvcrt.dll"}


def main():
    objdump, image = sys.argv[1], sys.argv[2]
    headers = subprocess.run([objdump, "-p", image], check=True, capture_output=True, text=True).stdout
    problems = []
    if "file format pei-x86-64" not in subprocess.run([objdump, "-f", image], check=True, capture_output=True,
                                                       text=True).stdout:
        problems.append("not an x64 image")
    if "(Windows CUI)" not in headers:
        problems.append("not a console program")
    dlls = {line.split(":", 1)[1].strip().lower() for line in headers.splitlines() if "DLL Name:" in line}
    for dll in sorted(dlls - ALLOWED):
        problems.append("imports from " + dll)
    if problems:
        print(image + ": " + "; ".join(problems))
        return 1
    print(image + ": x64 console program, imports from " + ", ".join(sorted(dlls)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
