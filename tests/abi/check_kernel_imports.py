#!/usr/bin/env python3
"""Checks that every kernel routine the host driver images import is declared
with the Windows calling convention in the host kernel headers.

The routines a driver image imports from the kernel model are the undefined
dynamic symbols of the image that the kernel library defines. For each, a
generated translation unit asserts at compile time that the routine's
declaration in the headers carries NTAPI (ms_abi), so that driver and kernel
agree on how it is called. Prints one line per routine that fails and exits
with status 1 if there is any.
"""

import argparse
import glob
import os
import subprocess
import sys
import tempfile

HEADERS = ("ntddk.h", "wdm.h", "ntddser.h", "wmilib.h", "ntstrsafe.h", "wdmguid.h")

PRELUDE = """\
namespace zark_abi_check {
template <typename R, typename... A> constexpr bool Windows(R (NTAPI*)(A...)) { return true; }
template <typename R, typename... A> constexpr bool Windows(R (NTAPI*)(A..., ...)) { return true; }
template <typename R, typename... A> constexpr bool Windows(R (*)(A...)) { return false; }
template <typename R, typename... A> constexpr bool Windows(R (*)(A..., ...)) { return false; }
}  // namespace zark_abi_check
"""


def dynamic_symbols(nm, path, undefined):
    option = "--undefined-only" if undefined else "--defined-only"
    result = subprocess.run([nm, "-D", option, path], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"check_kernel_imports: {nm} failed on {path}: {result.stderr.strip()}")
    symbols = {}
    for line in result.stdout.splitlines():
        parts = line.split()
        if len(parts) >= 2:
            symbols[parts[-1].split("@")[0]] = parts[-2]
    return symbols


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--cxx", required=True, help="the host C++ compiler")
    parser.add_argument("--include", action="append", default=[], help="an include directory of the drivers")
    parser.add_argument("--kernel", required=True, help="the kernel library the images resolve against")
    parser.add_argument("image_dir", help="the folder of the host driver images (*.so)")
    args = parser.parse_args()

    images = sorted(glob.glob(os.path.join(args.image_dir, "*.so")))
    if not images:
        sys.exit(f"check_kernel_imports: no driver images in {args.image_dir}")
    kernel = {name for name, kind in dynamic_symbols(args.nm, args.kernel, False).items() if kind in "TWi"}
    imports = set()
    for image in images:
        imports |= set(dynamic_symbols(args.nm, image, True)) & kernel
    if not imports:
        sys.exit("check_kernel_imports: the images import no kernel routine; nothing was checked")

    problems = [f"{name}: a C++ symbol; kernel routines are extern \"C\"" for name in sorted(imports)
                if name.startswith("_Z")]
    routines = sorted(name for name in imports if not name.startswith("_Z"))
    source = "".join(f"#include <{header}>\n" for header in HEADERS) + PRELUDE
    source += "".join(f'static_assert(zark_abi_check::Windows(&{name}), "{name}: not declared NTAPI");\n'
                      for name in routines)
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "kernel_imports.cpp")
        with open(path, "w") as out:
            out.write(source)
        command = [args.cxx, "-std=c++20", "-fshort-wchar", "-Wno-multichar", "-fsyntax-only",
                   "-fno-diagnostics-show-caret"]
        command += [f"-I{directory}" for directory in args.include] + [path]
        plain_messages = dict(os.environ, LC_ALL="C")
        result = subprocess.run(command, capture_output=True, text=True, env=plain_messages)
    if result.returncode != 0:
        undeclared = [name for name in routines if f"'{name}' was not declared" in result.stderr]
        other_convention = [name for name in routines if f"{name}: not declared NTAPI" in result.stderr]
        problems += [f"{name}: not declared in the kernel headers" for name in undeclared]
        problems += [f"{name}: not declared with NTAPI in the kernel headers" for name in other_convention]
        failed = undeclared + other_convention
        if not failed:
            problems.append("the check did not compile:\n" + result.stderr)
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"{len(routines)} kernel routines imported by {', '.join(os.path.basename(i) for i in images)}: "
          f"all declared with the Windows calling convention")
    return 0


if __name__ == "__main__":
    sys.exit(main())
