"""Each Windows stub, moved to another image base through its relocation
directory as the loader moves it under ASLR, still extracts a
self-extractor under Wine (which loads an image at the base it asks for):
an absolute address the relocations miss would still point at the old base,
where nothing is mapped. The import names are read back from the import
address table, as the loader reads them (the lookup tables are cut off).
  check_relocated.py ZQPACK SCRATCH_DIR STUB..."""
import os
import shutil
import subprocess
import sys

import struct

import pefile

zqpack, scratch, stubs = sys.argv[1], sys.argv[2], sys.argv[3:]
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(os.path.join(scratch, "tree", "sub"))
content = "".join("line %d of a moved stub's file\n" % i for i in range(3000))
with open(os.path.join(scratch, "tree", "sub", "a.txt"), "w") as f:
    f.write(content)
failures = []
kNewBase = 0x10000000


def moved_to(pe, base):
    """The image's bytes with every 32-bit address its relocations name
    moved to `base`, as the loader moves them (pefile's own relocate_image
    also rewrites an import address table that has no lookup table)."""
    image = bytearray(pe.__data__)
    delta = base - pe.OPTIONAL_HEADER.ImageBase
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]:
                at = pe.get_offset_from_rva(entry.rva)
                value = struct.unpack_from("<I", image, at)[0]
                struct.pack_into("<I", image, at, (value + delta) & 0xFFFFFFFF)
    moved = pefile.PE(data=bytes(image))
    moved.OPTIONAL_HEADER.ImageBase = base
    moved.OPTIONAL_HEADER.CheckSum = moved.generate_checksum()
    return moved.write()

for stub in stubs:
    name = os.path.basename(stub)
    pe = pefile.PE(stub)
    imports = sorted(i.name.decode() for d in pe.DIRECTORY_ENTRY_IMPORT for i in d.imports)
    if "ExitProcess" not in imports or "wsprintfA" not in imports:
        failures.append("%s: imports read from its address table: %r" % (name, imports))
    sites = sum(len(block.entries) for block in pe.DIRECTORY_ENTRY_BASERELOC)
    if sites < 100:
        failures.append("%s: %d relocations" % (name, sites))
    moved = os.path.join(scratch, "moved-" + name)
    with open(moved, "wb") as f:
        f.write(moved_to(pe, kNewBase))
    sfx = os.path.join(scratch, "sfx-" + name)
    subprocess.run([zqpack, "create", "--stub", moved, "-o", sfx, "tree"], cwd=scratch,
                   check=True, capture_output=True)
    out = os.path.join(scratch, "out-" + name)
    os.makedirs(out)
    run = subprocess.run(["wine", sfx, "-y"], cwd=out, stdin=subprocess.DEVNULL,
                         capture_output=True, timeout=300)
    extracted = os.path.join(out, "tree", "sub", "a.txt")
    if run.returncode != 0 or not os.path.exists(extracted) or \
            open(extracted, newline="").read() != content:
        failures.append("%s moved: status %d, %r" % (name, run.returncode, run.stdout[-200:]))

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
