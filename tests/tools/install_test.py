"""cmake --install into a temporary prefix: the installed c4dsim finds the installed plug-in
by itself and exports as the build does, and the plug-in folder is self-contained (only
system libraries at run time, only c4d_main exported)."""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

SYSTEM_DIRS = ("/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/")


def main():
    parser = argparse.ArgumentParser()
    for name in ("cmake", "build", "example", "c4dsim"):
        parser.add_argument("--" + name, required=True)
    a = parser.parse_args()
    prefix = tempfile.mkdtemp(prefix="tavrin_install_")
    failures = []
    try:
        r = subprocess.run([a.cmake, "--install", a.build, "--prefix", prefix], capture_output=True, timeout=300)
        if r.returncode != 0:
            print(r.stdout.decode(), r.stderr.decode())
            return 1
        modules = glob.glob(os.path.join(prefix, "**", "TavrinCinema4D", "TavrinCinema4DPlugin.so"), recursive=True)
        if len(modules) != 1:
            print(f"expected one installed plug-in module, found {modules}")
            return 1
        folder = os.path.dirname(modules[0])
        for icon in ("render.png", "update.png", "export.png"):
            if not os.path.isfile(os.path.join(folder, "res", icon)):
                failures.append(f"res/{icon} is not installed beside the module")
        for tool in ("c4dsim", "qrfdump", "tavrin"):
            if not os.access(os.path.join(prefix, "bin", tool), os.X_OK):
                failures.append(f"bin/{tool} is not installed")

        # The installed c4dsim, run from elsewhere without --plugin, exports byte for byte
        # what the built one exports.
        installed_out = os.path.join(prefix, "installed.qrf")
        built_out = os.path.join(prefix, "built.qrf")
        r = subprocess.run([os.path.join(prefix, "bin", "c4dsim"), "-q", a.example, "--export", installed_out],
                           capture_output=True, cwd="/", timeout=120)
        if r.returncode != 0:
            failures.append(f"installed c4dsim: status {r.returncode}: {r.stderr.decode(errors='replace')}")
        subprocess.run([a.c4dsim, "-q", a.example, "--export", built_out], check=True, cwd="/", timeout=120)
        if not failures:
            with open(installed_out, "rb") as i, open(built_out, "rb") as b:
                if i.read() != b.read():
                    failures.append("the installed plug-in exports other bytes than the built one")

        # Every library the module needs resolves to a system folder.
        ldd = subprocess.run(["ldd", modules[0]], capture_output=True, text=True, timeout=60).stdout
        for line in ldd.splitlines():
            m = re.match(r"\s*(\S+)(?: => (\S+))?", line)
            if not m or m.group(1).startswith("linux-vdso") or m.group(1).startswith("/lib"):
                continue
            where = m.group(2) or ""
            if not where.startswith(SYSTEM_DIRS) or "tinyxml" in m.group(1):
                failures.append(f"the module needs a non-system library: {line.strip()}")
        nm = subprocess.run(["nm", "-D", "--defined-only", modules[0]], capture_output=True, text=True,
                            timeout=60).stdout
        exported = sorted(line.split()[-1] for line in nm.splitlines() if line.strip())
        if exported != ["c4d_main"]:
            failures.append(f"the module exports {exported[:10]}")
    finally:
        shutil.rmtree(prefix, ignore_errors=True)
    if failures:
        print("\n".join(failures))
        return 1
    print("installed and checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
