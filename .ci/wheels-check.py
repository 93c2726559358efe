"""What the extension modules of an unpacked wheel need from the system.

    python wheels-check.py UNPACKED_WHEEL REFERENCE_LIBM...

Fails unless every module
- needs no shared library but the C library's own (the C++ runtime is linked
  in, and nothing else is grafted in by auditwheel);
- exports nothing but its init function and operator new and delete;
- calls each libm function in the version that the newest reference libm
  (on this machine or in the Debian unstable tree) marks as its default: an
  older version is a compatibility wrapper that gives other bits (see
  .ci/wheels-libm.c), and a function glibc versions anew goes there.
Run with auditwheel's Python, which has pyelftools.
"""

import pathlib
import sys

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerDefSection, GNUVerNeedSection, GNUVerSymSection

C_LIBRARY = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1",
             "ld-linux-x86-64.so.2"}
# The init function, and operator new, new[], delete and delete[].
EXPORTS = ("PyInit_", "_Znw", "_Zna", "_Zdl", "_Zda")
HIDDEN = 0x8000  # a version index with this bit is not the default version


def section(elf, kind):
    return next((s for s in elf.iter_sections() if isinstance(s, kind)), None)


def versions_of_symbols(elf):
    """(symbol, version index) for every dynamic symbol, in table order."""
    dynsym = elf.get_section_by_name(".dynsym")
    versym = section(elf, GNUVerSymSection)
    for i, symbol in enumerate(dynsym.iter_symbols()):
        yield symbol, versym.get_symbol(i)["ndx"] if versym is not None else 1


def default_versions(path):
    """{function: its default version} for one libm."""
    with open(path, "rb") as f:
        elf = ELFFile(f)
        names = {}
        verdef = section(elf, GNUVerDefSection)
        for version, auxiliaries in verdef.iter_versions():
            names[version["vd_ndx"]] = next(auxiliaries).name
        defaults = {}
        for symbol, index in versions_of_symbols(elf):
            if symbol["st_shndx"] != "SHN_UNDEF" and isinstance(index, int) and \
                    not index & HIDDEN and index in names:
                defaults[symbol.name] = names[index]
        return defaults


def glibc_key(version):
    return tuple(int(part) for part in version.removeprefix("GLIBC_").split("."))


def problems_of(module, libm_defaults):
    with open(module, "rb") as f:
        elf = ELFFile(f)
        dynamic = section(elf, DynamicSection)
        needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
        for library in sorted(needed - C_LIBRARY):
            yield f"needs {library}"
        required = {}  # version index -> (library, version)
        verneed = section(elf, GNUVerNeedSection)
        if verneed is not None:
            for need, auxiliaries in verneed.iter_versions():
                for aux in auxiliaries:
                    required[aux.entry["vna_other"]] = (need.name, aux.name)
        for symbol, index in versions_of_symbols(elf):
            if not symbol.name:
                continue
            if symbol["st_shndx"] != "SHN_UNDEF":
                if symbol["st_info"]["bind"] != "STB_LOCAL" and \
                        not symbol.name.startswith(EXPORTS):
                    yield f"exports {symbol.name}"
                continue
            library, version = required.get(index, (None, None))
            if library != "libm.so.6":
                continue
            default = libm_defaults.get(symbol.name)
            if default is not None and default != version:
                yield f"calls {symbol.name}@{version}, not the default {symbol.name}@@{default}"


def main(unpacked, *references):
    libm_defaults = {}
    for path in references:
        if pathlib.Path(path).exists():
            for name, version in default_versions(path).items():
                if name not in libm_defaults or glibc_key(version) > glibc_key(libm_defaults[name]):
                    libm_defaults[name] = version
    if not libm_defaults:
        sys.exit("no reference libm found")
    modules = sorted(pathlib.Path(unpacked).rglob("*.so"))
    if not modules:
        sys.exit(f"no extension module in {unpacked}")
    failed = False
    for module in modules:
        problems = list(problems_of(module, libm_defaults))
        name = module.relative_to(unpacked)
        for problem in problems:
            print(f"{name}: {problem}", file=sys.stderr)
        failed = failed or bool(problems)
        if not problems:
            print(f"{name}: needs only the C library, exports only its init function and "
                  "operator new/delete, calls the default version of every libm function")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main(*sys.argv[1:])
