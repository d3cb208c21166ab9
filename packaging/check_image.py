#!/usr/bin/env python3
"""Checks that a linked image is a Windows x64 kernel driver of ours.

A driver image must be a PE32+ image for x86-64 that is an executable image
(not a DLL), can be relocated, runs in the native subsystem, is marked as a
WDM driver, carries a valid checksum (Windows requires one in drivers),
enters at DriverEntry, uses no thread-local storage, has no dynamic
initialisers or static destructors (no C runtime runs them in a kernel
image), imports only from the kernel, the HAL and the WMI library, and of
the processor block (GS) reads only the current thread (gs:[0x188], the
one field the simulated machine that runs the image has).
With --resource TYPE/NAME it also checks that the image's resources hold
that named resource, not empty (a driver's MOF: MOFDATA/MOFRESOURCE).
Prints one line per problem and exits with status 1 if there is any.
"""

import argparse
import re
import struct
import subprocess
import sys

ALLOWED_IMPORTS = ("ntoskrnl.exe", "HAL.dll", "WMILIB.SYS")

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
TLS_DIRECTORY_ENTRY = 9
RESOURCE_DIRECTORY_ENTRY = 2

# Tables of routines that a C runtime calls at start or exit, by the section
# name they have in an image (cut to 8 characters): what they hold and the
# section they come from. ld also merges .ctors and .dtors into .text, as the
# lists at __CTOR_LIST__ and __DTOR_LIST__.
INITIALISER_SECTIONS = {
    ".ctors": ("static constructors", ".ctors"),
    ".dtors": ("static destructors", ".dtors"),
    ".init_ar": ("static constructors", ".init_array"),
    ".fini_ar": ("static destructors", ".fini_array"),
    ".CRT": ("start-up or exit routines", ".CRT"),
}
INITIALISER_LISTS = {
    "__CTOR_LIST__": ("static constructors", ".ctors"),
    "__DTOR_LIST__": ("static destructors", ".dtors"),
}


def run(tool, *args):
    try:
        result = subprocess.run([tool, *args], capture_output=True, text=True)
    except FileNotFoundError:
        sys.exit(f"check_image: cannot run {tool}")
    if result.returncode != 0:
        sys.exit(f"check_image: {tool} failed: {result.stderr.strip()}")
    return result.stdout


def pe_checksum(data):
    """(stored, computed) image checksum: a folded 16-bit sum of the file with
    the checksum field counted as zero, plus the file's length."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    offset = pe + 4 + 20 + 64  # OptionalHeader.CheckSum, PE32 and PE32+ alike
    stored = struct.unpack_from("<I", data, offset)[0]
    padded = data[:offset] + b"\0\0\0\0" + data[offset + 4:]
    if len(padded) % 2:
        padded += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return stored, (total + len(data)) & 0xFFFFFFFF


def header_field(dump, name):
    match = re.search(rf"^{name}\s+(?:0x)?([0-9a-fA-F]+)", dump, re.MULTILINE)
    return int(match.group(1), 16) if match else None


def parse_headers(dump):
    """The fields of `objdump -p -h` that the checks need."""
    fmt = re.search(r"file format (\S+)", dump)
    directories = {}
    for match in re.finditer(r"^Entry ([0-9a-fA-F]) ([0-9a-fA-F]+) ([0-9a-fA-F]+)", dump, re.MULTILINE):
        directories[int(match.group(1), 16)] = (int(match.group(2), 16), int(match.group(3), 16))
    sections = []
    for match in re.finditer(r"^\s+\d+ (\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+2\*\*",
                             dump, re.MULTILINE):
        name, size, vma, offset = match.groups()
        sections.append((name, int(size, 16), int(vma, 16), int(offset, 16)))
    return {
        "format": fmt.group(1) if fmt else None,
        "magic": header_field(dump, "Magic"),
        "characteristics": header_field(dump, "Characteristics"),
        "dll_characteristics": header_field(dump, "DllCharacteristics"),
        "subsystem": header_field(dump, "Subsystem"),
        "entry": header_field(dump, "AddressOfEntryPoint"),
        "image_base": header_field(dump, "ImageBase"),
        "imports": re.findall(r"DLL Name: (\S+)", dump),
        "directories": directories,
        "sections": sections,
    }


def symbol_address(nm_output, name):
    for line in nm_output.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2] == name and parts[1] in ("T", "t"):
            return int(parts[0], 16)
    return None


def pointers(data, sections, address, end=None):
    """The 64-bit words of the image from address up to end, or up to the
    first null word when end is None; None where the image has no bytes."""
    for _, size, vma, offset in sections:
        if offset and vma <= address < vma + size:
            stop = vma + size if end is None else min(end, vma + size)
            words = []
            for at in range(address, stop - 7, 8):
                (word,) = struct.unpack_from("<Q", data, offset + at - vma)
                if end is None and word == 0:
                    break
                words.append(word)
            return words
    return None


def initialisers(headers, nm_output, data):
    """(what, section, count) for each table of start or exit routines that
    has entries; the counts leave out the tables' -1 and 0 markers."""
    found = []
    for name, size, vma, _ in headers["sections"]:
        kind = next((INITIALISER_SECTIONS[p] for p in INITIALISER_SECTIONS if name.startswith(p)), None)
        if kind:
            words = pointers(data, headers["sections"], vma, vma + size) or []
            entries = [word for word in words if word not in (0, 2**64 - 1)]
            if entries:
                found.append((*kind, len(entries)))
    for symbol, kind in INITIALISER_LISTS.items():
        address = symbol_address(nm_output, symbol)
        if address is not None:
            entries = (pointers(data, headers["sections"], address) or [])[1:]  # after the -1 marker
            if entries:
                found.append((*kind, len(entries)))
    return found


def named_resources(headers, data):
    """{(type, name): size} of the image's resources whose type and name are
    strings, from the resource directory (type, then name, then language)."""
    rva, size = headers["directories"].get(RESOURCE_DIRECTORY_ENTRY, (0, 0))
    base = headers["image_base"] or 0
    start = None
    for _, section_size, vma, offset in headers["sections"]:
        if offset and vma - base <= rva < vma - base + section_size:
            start = offset + rva - (vma - base)
    if not rva or not size or start is None:
        return {}

    def entries(at):
        named, numbered = struct.unpack_from("<HH", data, start + at + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, start + at + 16 + 8 * i)
            label = None
            if name & 0x80000000:
                (length,) = struct.unpack_from("<H", data, start + (name & 0x7FFFFFFF))
                text = data[start + (name & 0x7FFFFFFF) + 2:start + (name & 0x7FFFFFFF) + 2 + 2 * length]
                label = text.decode("utf-16-le")
            yield label, target

    found = {}
    for type_name, types in entries(0):
        if type_name is None or not types & 0x80000000:
            continue
        for name, names in entries(types & 0x7FFFFFFF):
            if name is None or not names & 0x80000000:
                continue
            for _, leaf in entries(names & 0x7FFFFFFF):
                if not leaf & 0x80000000:
                    (_, data_size) = struct.unpack_from("<II", data, start + leaf)
                    found[(type_name, name)] = found.get((type_name, name), 0) + data_size
    return found


# The one processor block access the simulated machine carries out: the
# current thread loaded into a 64-bit register (KeGetCurrentThread).
CURRENT_THREAD_LOAD = re.compile(r"\bmov\s+%gs:0x188,%r\w+$")


def processor_block_accesses(disassembly):
    """The instructions that reach the GS segment other than the current
    thread's load, as "address: instruction"."""
    found = []
    for line in disassembly.splitlines():
        if "%gs:" not in line:
            continue
        fields = line.split("\t")
        instruction = fields[-1].strip()
        if not CURRENT_THREAD_LOAD.search(instruction):
            found.append(f"{fields[0].strip().rstrip(':')}: {instruction}")
    return found


def check(headers, nm_output, checksums, allowed, data):
    problems = []
    if headers["format"] != "pei-x86-64" or headers["magic"] != 0x20B:
        problems.append(f"not a PE32+ image for x86-64 (format {headers['format']}, magic {headers['magic']})")
        return problems

    characteristics = headers["characteristics"] or 0
    if characteristics & IMAGE_FILE_DLL:
        problems.append("linked as a DLL (IMAGE_FILE_DLL is set); a driver is an executable image")
    if not characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
        problems.append("not marked as an executable image")
    if characteristics & IMAGE_FILE_RELOCS_STRIPPED:
        problems.append("relocations stripped; a driver must load at any address")
    if headers["subsystem"] != IMAGE_SUBSYSTEM_NATIVE:
        problems.append(f"subsystem is {headers['subsystem']}, not native (1)")
    if not (headers["dll_characteristics"] or 0) & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER:
        problems.append("not marked as a WDM driver (DllCharacteristics 0x2000)")

    stored, computed = checksums
    if stored != computed:
        problems.append(f"checksum is {stored:#x}, the image sums to {computed:#x}")

    tls = headers["directories"].get(TLS_DIRECTORY_ENTRY, (0, 0))
    if tls[0] or tls[1]:
        problems.append("uses thread-local storage (TLS directory present)")

    for what, section, count in initialisers(headers, nm_output, data):
        problems.append(f"has {what} ({count} in {section}); nothing runs them in a kernel image")

    driver_entry = symbol_address(nm_output, "DriverEntry")
    if driver_entry is None:
        problems.append("no DriverEntry symbol (image stripped, or DriverEntry missing)")
    elif headers["entry"] is None or headers["image_base"] is None:
        problems.append("no entry point in the optional header")
    elif headers["image_base"] + headers["entry"] != driver_entry:
        problems.append(f"entry point is at RVA {headers['entry']:#x}, DriverEntry at "
                        f"RVA {driver_entry - headers['image_base']:#x}")

    allowed_lower = {name.lower() for name in allowed}
    for dll in headers["imports"]:
        if dll.lower() not in allowed_lower:
            problems.append(f"imports from {dll}; only {', '.join(allowed)} are allowed")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--nm", default="x86_64-w64-mingw32-nm")
    parser.add_argument("--resource", action="append", default=[], metavar="TYPE/NAME",
                        help="a named resource the image must hold")
    parser.add_argument("--allow-import", action="append", dest="allowed",
                        help="a DLL the image may import from (default: %s)" % ", ".join(ALLOWED_IMPORTS))
    args = parser.parse_args()

    headers = parse_headers(run(args.objdump, "-p", "-h", args.image))
    is_pe = headers["format"] == "pei-x86-64"
    nm_output = run(args.nm, args.image) if is_pe else ""
    with open(args.image, "rb") as image:
        data = image.read()
    checksums = pe_checksum(data) if is_pe else (0, 0)
    problems = check(headers, nm_output, checksums, args.allowed or ALLOWED_IMPORTS, data)
    if is_pe:
        for access in processor_block_accesses(run(args.objdump, "-d", args.image)):
            problems.append(f"reaches the processor block other than for the current thread ({access})")
    resources = named_resources(headers, data) if is_pe else {}
    for wanted in args.resource:
        kind, _, name = wanted.partition("/")
        if not resources.get((kind.upper(), name.upper())):
            problems.append(f"has no resource {name} of type {kind}")
    for problem in problems:
        print(f"{args.image}: {problem}")
    if problems:
        return 1
    print(f"{args.image}: native WDM driver for x64, entry DriverEntry, imports from "
          f"{', '.join(headers['imports']) or 'nothing'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
