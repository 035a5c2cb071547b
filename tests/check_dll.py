#!/usr/bin/python3
"""Checks the built canlib32.dll as a file: machine, exports, imports and resources.

usage: check_dll.py <canlib32.dll> <canlib32.def> i386|amd64
"""
import sys

import pefile

# Windows system DLLs the library may import; the MinGW runtime must be linked in statically.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ws2_32.dll",
               "msvcrt.dll", "comctl32.dll", "shell32.dll"}
RT_GROUP_ICON = 14
# The two builds: PE header machine and optional-header magic (PE32, PE32+).
MACHINES = {"i386": ("IMAGE_FILE_MACHINE_I386", 0x10B),
            "amd64": ("IMAGE_FILE_MACHINE_AMD64", 0x20B)}


def definition_names(path):
    names, in_exports = [], False
    for line in open(path):
        words = line.split()
        if not words or words[0].startswith(";"):
            continue
        if words[0] == "EXPORTS":
            in_exports = True
        elif in_exports:
            names.append(words[0])
    return names


def main(dll_path, def_path, machine):
    failures = []

    def check(condition, message):
        if not condition:
            failures.append(message)

    pe = pefile.PE(dll_path)
    machine_name, magic = MACHINES[machine]
    check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE[machine_name], f"not {machine}")
    check(pe.is_dll(), "not a DLL")
    check(pe.OPTIONAL_HEADER.Magic == magic, f"optional header magic {pe.OPTIONAL_HEADER.Magic:#x}")

    exports = pe.DIRECTORY_ENTRY_EXPORT
    check(exports.name == b"canlib32.dll", f"module name {exports.name!r}")
    names = definition_names(def_path)
    check(len(names) == 110, f"{len(names)} names in the definition")
    check(names == sorted(names), "definition not in alphabetical order")
    symbols = exports.symbols
    check(len(symbols) == 110, f"{len(symbols)} exports")
    check(exports.struct.Base == 1, f"ordinal base {exports.struct.Base}")
    code = [s for s in pe.sections if s.Characteristics & 0x20000000]  # executable sections
    for ordinal, name in enumerate(names, 1):
        symbol = next((s for s in symbols if s.name and s.name.decode() == name), None)
        if symbol is None:
            failures.append(f"{name} not exported by name")
            continue
        check(symbol.ordinal == ordinal, f"{name} has ordinal {symbol.ordinal}, not {ordinal}")
        check(symbol.forwarder is None, f"{name} is forwarded")
        check(any(s.contains_rva(symbol.address) for s in code), f"{name} is not code")

    imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check(imports <= SYSTEM_DLLS, f"imports beyond the system DLLs: {sorted(imports - SYSTEM_DLLS)}")

    version = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                version.update({k.decode(): v.decode() for k, v in table.entries.items()})
    fixed = pe.VS_FIXEDFILEINFO[0]
    check(fixed.FileVersionMS == fixed.FileVersionLS == 0, "file version is not 0.0.0.0")
    check(fixed.ProductVersionMS == fixed.ProductVersionLS == 0, "product version is not 0.0.0.0")
    check(fixed.FileType == 2, "file type is not DLL")
    for key, value in {"FileDescription": "Brenvox CAN Library for Vantrel",
                       "ProductName": "Brenvox CAN Library for Vantrel",
                       "InternalName": "canlib32", "OriginalFilename": "canlib32.dll",
                       "FileVersion": "0.0.0.0", "ProductVersion": "0.0.0.0"}.items():
        check(version.get(key) == value, f"version {key} is {version.get(key)!r}")

    # The dialog's icon: one group of four 32-bit images, 16 to 128 pixels square.
    groups = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == RT_GROUP_ICON]
    check(len(groups) == 1 and len(groups[0].directory.entries) == 1, "not one icon group")
    if groups:
        data_entry = groups[0].directory.entries[0].directory.entries[0].data.struct
        data = pe.get_data(data_entry.OffsetToData, data_entry.Size)
        count = int.from_bytes(data[4:6], "little")
        sizes = []
        for i in range(count):
            entry = data[6 + 14 * i: 20 + 14 * i]
            sizes.append((entry[0] or 256, entry[1] or 256, int.from_bytes(entry[6:8], "little")))
        check(sorted(sizes) == [(16, 16, 32), (32, 32, 32), (64, 64, 32), (128, 128, 32)],
              f"icon images {sizes}")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{dll_path} ({machine}): {len(symbols)} exports, imports {sorted(imports)}, "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[3] not in MACHINES:
        sys.exit(__doc__.strip())
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3]))
