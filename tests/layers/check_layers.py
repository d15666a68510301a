#!/usr/bin/env python3
"""Keeps the library's layers in order: platform, then device and the platform
back ends beside it, then protocol, then api. No file of a lower layer includes
a header of a higher one, and no object of a lower layer refers to a function
or object that a higher one defines. The public headers (include/) may be used
by every layer.

The platform back ends implement the interface that src/device/Transport.h
declares: a layer that may use device calls those functions, wherever a back
end defines them, and nothing else of a back end.

A device is passed down as an argument: no variable of the library keeps a
device per thread for a lower function to look up.

Usage: check_layers.py SOURCE_DIR [OBJECT_FILE...]
"""
import os
import re
import subprocess
import sys

# What each folder of src/ may use besides itself and the public headers.
MAY_USE = {
    "platform": set(),
    "json": {"platform"},
    "device": {"platform"},
    "linux": {"platform", "device"},
    "windows": {"platform", "device"},
    "protocol": {"platform", "device"},
    "api": {"platform", "device", "protocol", "json"},
}
# The folders of the platform back ends, and the header of what they implement.
BACKENDS = {"linux", "windows"}
INTERFACE = os.path.join("src", "device", "Transport.h")
# Headers the build generates, used by the folder that includes them.
GENERATED = {"vasq_version.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def folder_allows(folder, used):
    return used == folder or used in MAY_USE.get(folder, set())


def include_faults(source):
    src = os.path.join(source, "src")
    public = set(os.listdir(os.path.join(source, "include")))
    faults = []
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        if folder not in MAY_USE:
            faults.append(f"src/{folder}: a folder the layer order does not place")
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith((".h", ".cpp", ".hpp")):
                continue
            with open(os.path.join(path, name), encoding="utf-8") as f:
                text = f.read()
            for header in INCLUDE.findall(text):
                if "/" in header:
                    used = header.split("/", 1)[0]
                elif header in public or header in GENERATED or os.path.exists(os.path.join(path, header)):
                    continue
                else:
                    faults.append(f"src/{folder}/{name}: includes \"{header}\", which is neither public nor a folder's")
                    continue
                if not folder_allows(folder, used):
                    faults.append(f"src/{folder}/{name}: includes \"{header}\" of a higher or unrelated layer")
    return faults


def interface_names(source):
    """The functions Transport.h declares: free ones by name, members as Class::name."""
    with open(os.path.join(source, INTERFACE), encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.DOTALL)
    text = re.sub(r"^\s*using\b[^;]*;", "", text, flags=re.MULTILINE)
    names = set()
    for match in re.finditer(r"\bclass\s+(\w+)\s*\{(.*?)\};", text, flags=re.DOTALL):
        cls = match.group(1)
        for member in re.findall(r"(~?\w+)\s*\(", match.group(2)):
            names.add(f"{cls}::{member}")
    text = re.sub(r"\bclass\s+\w+\s*\{.*?\};", "", text, flags=re.DOTALL)
    names.update(re.findall(r"\b(\w+)\s*\(", text))
    return names


def function_name(demangled):
    """The qualified name of a demangled function symbol, or None for data."""
    depth = 0
    for at, char in enumerate(demangled):
        if char == "<":
            depth += 1
        elif char == ">":
            depth -= 1
        elif char == "(" and depth == 0:
            return re.sub(r"\[abi:\w+\]", "", demangled[:at])
    return None


def folder_of_object(path):
    # .../vasq_objects.dir/src/<folder>/<File>.cpp.o
    parts = path.replace("\\", "/").split("/")
    return parts[-2] if len(parts) >= 2 else ""


def symbol_faults(source, objects):
    defined = {}
    references = []
    for obj in objects:
        folder = folder_of_object(obj)
        listing = subprocess.run(["nm", "--defined-only", "-g", obj], capture_output=True, text=True, check=True)
        for line in listing.stdout.splitlines():
            fields = line.split()
            if len(fields) == 3 and fields[1] not in "VvWwUu":
                defined.setdefault(fields[2], folder)
        listing = subprocess.run(["nm", "-u", obj], capture_output=True, text=True, check=True)
        for line in listing.stdout.splitlines():
            fields = line.split()
            if fields:
                references.append((folder, os.path.basename(obj), fields[-1]))
    interface = interface_names(source)
    faults = []
    for folder, name, symbol in references:
        owner = defined.get(symbol)
        if owner is None or folder_allows(folder, owner):
            continue
        demangled = subprocess.run(["c++filt", symbol], capture_output=True, text=True).stdout.strip()
        if owner in BACKENDS and folder_allows(folder, "device") and function_name(demangled) in interface:
            continue
        faults.append(f"src/{folder}/{name}: uses {demangled}, which src/{owner} defines")
    return faults


THREAD_DEVICE = re.compile(r"\bthread_local\b[^;=(]*\b(?:Device|Instrument|Run)\b")


def thread_device_faults(source):
    faults = []
    src = os.path.join(source, "src")
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith((".h", ".cpp", ".hpp")):
                continue
            with open(os.path.join(path, name), encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    if THREAD_DEVICE.search(line.split("//", 1)[0]):
                        faults.append(f"src/{folder}/{name}:{number}: keeps a device per thread")
    return faults


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    faults = include_faults(sys.argv[1]) + thread_device_faults(sys.argv[1]) + symbol_faults(sys.argv[1], sys.argv[2:])
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} places break the layer order", file=sys.stderr)
        return 1
    print("the layers are in order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
