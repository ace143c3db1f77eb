"""The Windows stub's resources as Windows reads them, read back by pefile
from self-extractors that zqpack made: the manifest, every version field
zqpack was given, the checksum over the filled stub, and the texts that do
not fit refused with their limit.
  check_resources.py ZQPACK WIN32_STUB SCRATCH_DIR"""
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile

zqpack, stub_path, scratch = sys.argv[1:4]
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(os.path.join(scratch, "tree"))
with open(os.path.join(scratch, "tree", "a.txt"), "w") as f:
    f.write("resources\n" * 100)
stub = open(stub_path, "rb").read()
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def create(name, *options):
    run = subprocess.run([zqpack, "create", "--stub", stub_path, "-o", name, *options, "tree"],
                         cwd=scratch, capture_output=True, text=True)
    return run.returncode, run.stderr


def resource(pe, kind):
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == kind:
            data = entry.directory.entries[0].directory.entries[0].data.struct
            return pe.get_data(data.OffsetToData, data.Size)
    return None


def version_strings(pe):
    found = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            found.update({k.decode(): v.decode("utf-8") for k, v in table.entries.items()})
    return found


given = {
    "ProductName": "Example Tool",
    "FileDescription": "Example Tool installer \u2013 f\u00fcr alle",
    "CompanyName": "Example GmbH",
    "FileVersion": "2.5.7.11",
    "ProductVersion": "2.5",
    "LegalCopyright": "\u00a9 2026 Example GmbH. All rights reserved.",
}
options = ["--product-name", given["ProductName"], "--file-description",
           given["FileDescription"], "--company-name", given["CompanyName"],
           "--file-version", given["FileVersion"], "--product-version",
           given["ProductVersion"], "--legal-copyright", given["LegalCopyright"]]
status, errors = create("given.exe", *options)
check(status == 0, "create with every version option: " + errors)
made = open(os.path.join(scratch, "given.exe"), "rb").read()
pe = pefile.PE(data=made)
check(version_strings(pe) == given, "version strings: %r" % version_strings(pe))
fixed = pe.VS_FIXEDFILEINFO[0]
check((fixed.FileVersionMS, fixed.FileVersionLS) == (2 << 16 | 5, 7 << 16 | 11),
      "fixed file version")
check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (2 << 16 | 5, 0),
      "fixed product version")
check(pefile.PE(data=made[:len(stub)]).verify_checksum(), "the filled stub's checksum")
check(len(made) % 8 == 0, "a Windows self-extractor's length is a multiple of 8")

manifest = ET.fromstring(resource(pe, 24))
ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
      "c": "urn:schemas-microsoft-com:compatibility.v1"}
levels = [e.get("level") for e in manifest.iter("{%s}requestedExecutionLevel" % ns["v3"])]
check(levels == ["asInvoker"], "execution level %r" % levels)
oses = {e.get("Id") for e in manifest.iter("{%s}supportedOS" % ns["c"])}
check(oses == {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
               "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
               "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"},  # Windows 10 and 11
      "supported OS ids %r" % oses)
check(pe.OPTIONAL_HEADER.Subsystem == 3, "console subsystem")
check(pe.OPTIONAL_HEADER.DllCharacteristics & 0x140 == 0x140, "ASLR and DEP")

# Without the options the stub goes out as it was built.
status, errors = create("plain.exe")
plain = open(os.path.join(scratch, "plain.exe"), "rb").read()
check(status == 0 and plain[:len(stub)] == stub, "the stub is not kept as it is: " + errors)
defaults = version_strings(pefile.PE(data=plain))
check(defaults["ProductName"] == "zqsfx" and defaults["CompanyName"] == "zqsfx",
      "defaults %r" % defaults)

# The field's own limit: the text that fills it passes, one more is refused.
status, errors = create("full.exe", "--company-name", "x" * 63)
check(status == 0 and version_strings(pefile.PE(
    data=open(os.path.join(scratch, "full.exe"), "rb").read()))["CompanyName"] == "x" * 63,
    "63 characters fill CompanyName: " + errors)
status, errors = create("long.exe", "--company-name", "x" * 64)
check(status == 1 and "at most 63 characters" in errors, "too long a text: %r" % errors)
check(not os.path.exists(os.path.join(scratch, "long.exe")), "a refused pack left a file")
for bad in ["1.2.3.4.5", "1..2", "65536", "1.x"]:
    status, errors = create("bad.exe", "--file-version", bad)
    check(status == 1 and "--file-version" in errors, "version %s: %r" % (bad, errors))

# A damaged version resource in the given stub is refused, never followed.
key = "CompanyName\0".encode("utf-16-le")
entry = stub.index(key) - 6
stub_pe = pefile.PE(data=stub)
version_data = [e for e in stub_pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == 16][0]
data_entry = version_data.directory.entries[0].directory.entries[0].data.struct.get_file_offset()
# CompanyName is the first entry of the first table: the root's 92 bytes of
# header and fixed info, StringFileInfo's 36 and the table's 24 lie in front
# of it. Cut it short at the end of its key, and each of them behind it.
cut = [(entry - 152, 152 + 30), (entry - 60, 60 + 30), (entry - 24, 24 + 30), (entry, 30)]
for name, patches in [("a value area cut off", [(at, n.to_bytes(2, "little")) for at, n in cut]),
                      ("an entry past its parent", [(entry, b"\xff\xff")]),
                      ("an entry of no length", [(entry, b"\0\0")]),
                      ("data past its section", [(data_entry + 4, b"\0\xff\xff\x7f")])]:
    damaged = bytearray(stub)
    for at, value in patches:
        damaged[at:at + len(value)] = value
    with open(os.path.join(scratch, "damaged.exe"), "wb") as f:
        f.write(damaged)
    run = subprocess.run([zqpack, "create", "--stub", "damaged.exe", "-o", "d.exe",
                          "--company-name", "x", "tree"], cwd=scratch, capture_output=True,
                         text=True)
    check(run.returncode == 1 and run.stderr.startswith("zqpack: "),
          "damaged stub (%s): status %d, %r" % (name, run.returncode, run.stderr))

for failure in failures:
    print("FAIL:", failure)
print("%d checks failed" % len(failures) if failures else "ok: resources as given")
sys.exit(1 if failures else 0)
