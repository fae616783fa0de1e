"""Checks what the distribution's files hold before anyone installs them.

    dist_check.py sdist FILE.tar.gz     the sources to build from and the licence, and nothing of
                                        the checkout's own
    dist_check.py wheel FILE.whl        the module and its stubs, under a platform tag an index takes,
                                        and the licence in its metadata folder
"""
import sys
import tarfile
import zipfile

# The wheels are built and tested from the sdist alone, so it carries the suite too.
NEEDED = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "stubs/loss-stubs/__init__.pyi",
          "tests/conftest.py"]
STRAY = (".ci", "build", "dist")
# Platform tag prefix -> the extension module's suffix. An index refuses a plain linux_* tag.
PLATFORMS = {"manylinux": ".so", "win_amd64": ".pyd", "macosx_": ".so"}


def fail(path, what):
    sys.exit("%s: %s" % (path, what))


def check_sdist(path):
    names = tarfile.open(path).getnames()
    root = names[0].split("/")[0]
    rel = [n[len(root) + 1:] for n in names if n != root]
    missing = [n for n in NEEDED if n not in rel]
    if missing:
        fail(path, "missing " + ", ".join(missing))
    if not any(n.startswith("src/") and n.endswith(".cpp") for n in rel):
        fail(path, "no sources under src/")
    stray = sorted({n.split("/")[0] for n in rel if n.split("/")[0] in STRAY or n.startswith(".venv")})
    if stray:
        fail(path, "holds " + ", ".join(stray))
    print("%s: sources and LICENSE ok" % path)


def check_wheel(path):
    names = zipfile.ZipFile(path).namelist()
    if "loss-stubs/__init__.pyi" not in names:
        fail(path, "no stubs")
    # name-version-python-abi-platform.whl
    platform = path.replace("\\", "/").rsplit("/", 1)[-1][:-len(".whl")].split("-")[4]
    suffix = next((s for p, s in PLATFORMS.items() if platform.startswith(p)), None)
    if suffix is None:
        fail(path, "platform tag %s is none of %s" % (platform, ", ".join(PLATFORMS)))
    modules = [n for n in names if n.startswith("loss.") and n.endswith((".so", ".pyd"))]
    if len(modules) != 1 or not modules[0].endswith(suffix):
        fail(path, "expected one %s extension module at the top, found %r" % (suffix, modules))
    # Where the wheel format puts licence files (PEP 639), named in METADATA as License-File.
    licence = [n for n in names if n.endswith(".dist-info/licenses/LICENSE") and n.count("/") == 2]
    meta = [n for n in names if n.endswith(".dist-info/METADATA") and n.count("/") == 1]
    if not licence:
        fail(path, "no LICENSE in its .dist-info/licenses/")
    text = zipfile.ZipFile(path).read(meta[0]).decode("utf-8") if meta else ""
    if "\nLicense-File: LICENSE\n" not in text:
        fail(path, "METADATA names no License-File: LICENSE")
    print("%s: %s, %s, %s" % (path, modules[0], platform, licence[0]))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("sdist", "wheel"):
        sys.exit(__doc__)
    {"sdist": check_sdist, "wheel": check_wheel}[sys.argv[1]](sys.argv[2])
