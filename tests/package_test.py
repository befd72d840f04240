#!/usr/bin/env python3
"""Checks the release packages that scripts/package leaves in dist/: their
names and contents, the .deb's control fields, the sender taken out of the
.deb (dpkg-deb -x) answering --help and --version, lintian finding no error;
then builds the packages twice more, from two fresh clones of HEAD in
different directories, one after the other, and compares the SHA-256 sums;
as root, once more as a throwaway ordinary account.
Usage: package_test.py VERSION"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROBLEMS = []


def check(condition, message):
    if not condition:
        PROBLEMS.append(message)
    return condition


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def contents(version):
    dist = os.path.join(ROOT, "dist")
    windows = f"octolatch-{version}-windows-x64"
    linux = f"octolatch-{version}-linux-x86_64"
    deb = f"octolatch_{version}_amd64.deb"
    names = sorted(os.listdir(dist))
    check(names == sorted(["SHA256SUMS", f"{windows}.zip", f"{linux}.tar.gz", deb]), f"dist/ holds {names}")

    with zipfile.ZipFile(os.path.join(dist, f"{windows}.zip")) as z:
        got = sorted(z.namelist())
        owners = {name for name, owner in ((i.filename, zip_owner(i)) for i in z.infolist()) if owner != (0, 0)}
    check(not owners, f"the zip records an owner other than 0/0 for {sorted(owners)}")
    check(got == sorted(f"{windows}/{n}" for n in ("octolatch.exe", "octolatch-send.exe", "README.md", "LICENSE")),
          f"the zip holds {got}")

    linux_files = ["bin/octolatch-send", "bin/octolatchd", "share/man/man1/octolatch-send.1.gz",
                   "share/man/man8/octolatchd.8.gz", "share/doc/octolatch/README.md",
                   "share/doc/octolatch/copyright", "share/doc/octolatch/changelog.gz",
                   "share/doc/octolatch/examples/octolatchd.toml", "share/doc/octolatch/examples/70-octolatch.rules",
                   "lib/systemd/system/octolatchd.service", "lib/tmpfiles.d/octolatch.conf"]
    with tarfile.open(os.path.join(dist, f"{linux}.tar.gz")) as t:
        got = sorted(m.name for m in t.getmembers() if m.isfile())
        owners = {(m.uid, m.gid, m.uname, m.gname) for m in t.getmembers()}
    check(owners == {(0, 0, "", "")}, f"the tar.gz records the owners {owners}, not 0/0 without names")
    check(got == sorted(f"{linux}/{n}" for n in linux_files), f"the tar.gz holds {got}")

    deb_path = os.path.join(dist, deb)
    with tempfile.TemporaryDirectory() as unpacked:
        check(run(["dpkg-deb", "-x", deb_path, unpacked]).returncode == 0, "dpkg-deb -x failed")
        got = sorted(os.path.relpath(os.path.join(d, f), unpacked) for d, _, fs in os.walk(unpacked) for f in fs)
        check(got == sorted(f"usr/{n}" for n in linux_files), f"the .deb holds {got}")
        sender = os.path.join(unpacked, "usr", "bin", "octolatch-send")
        help_run = run([sender, "--help"])
        check(help_run.returncode == 0 and help_run.stdout.startswith("usage: octolatch-send"),
              f"the .deb's octolatch-send --help: exit {help_run.returncode}, {help_run.stdout[:80]!r}")
        version_run = run([sender, "--version"])
        check(version_run.stdout == f"octolatch-send {version}\n", f"--version says {version_run.stdout!r}")
        service = os.path.join(unpacked, "usr", "bin", "octolatchd")
        check(run([service, "--version"]).stdout == f"octolatchd {version}\n", "the .deb's octolatchd --version")
        example = os.path.join(unpacked, "usr", "share", "doc", "octolatch", "examples", "octolatchd.toml")
        checked = run([service, "--check-config", "--config", example])
        check(checked.returncode == 0, f"the example configuration: {checked.stderr.strip()}")
    with open(os.path.join(ROOT, "docs", "changelog")) as changelog:
        top = changelog.readline()
    check(top.startswith(f"octolatch ({version})"), f"docs/changelog begins with {top!r}, not version {version}")
    fields = run(["dpkg-deb", "-f", deb_path, "Package", "Version", "Architecture", "Depends"]).stdout
    check(f"Package: octolatch\nVersion: {version}\nArchitecture: amd64\n" in fields and "libc6" in fields,
          f"the .deb's control fields: {fields!r}")
    scripts = run(["dpkg-deb", "-I", deb_path]).stdout
    check(all(re.search(rf"\d+ bytes, +\d+ lines +\* +{name} ", scripts) for name in ("postinst", "prerm", "postrm")),
          f"the .deb's maintainer scripts, executable: {scripts}")
    lintian = run(["lintian", "--fail-on", "error,warning", deb_path])
    check(lintian.returncode == 0, f"lintian: {lintian.stdout.strip()}")


def zip_owner(info):
    """The owner an entry's Info-ZIP Unix extra field records; (0, 0) when it
    records none."""
    extra = info.extra
    while len(extra) >= 4:
        kind, size = struct.unpack("<HH", extra[:4])
        field = extra[4:4 + size]
        if kind == 0x7875 and len(field) >= 3:  # version, then sized uid and gid
            uid_size = field[1]
            uid = int.from_bytes(field[2:2 + uid_size], "little")
            gid_size = field[2 + uid_size]
            return uid, int.from_bytes(field[3 + uid_size:3 + uid_size + gid_size], "little")
        extra = extra[4 + size:]
    return 0, 0


def sums(directory):
    with open(os.path.join(directory, "dist", "SHA256SUMS")) as f:
        return f.read()


def reproducible():
    """Two clones in directories of different names, built one after the other."""
    work = tempfile.mkdtemp(prefix="octolatch-repro-")
    try:
        builds = []
        for name in ("a", "a-second-clone-in-a-longer-path"):
            clone = os.path.join(work, name)
            check(run(["git", "clone", "-q", ROOT, clone]).returncode == 0, f"git clone into {clone} failed")
            result = run([os.path.join(clone, "scripts", "package")], cwd=clone)
            if not check(result.returncode == 0, f"scripts/package in {clone}: {result.stderr[-500:]}"):
                return
            builds.append(sums(clone))
        check(builds[0] == builds[1], f"two builds of one commit differ:\n{builds[0]}\n{builds[1]}")
        if os.geteuid() == 0:
            other = build_as_ordinary_account(work)
            if other is not None:
                check(other == builds[0], f"an ordinary account's build differs from root's:\n{other}\n{builds[0]}")
        clean = run(["git", "status", "--porcelain"], cwd=ROOT).stdout == ""
        if clean:
            check(sums(ROOT) == builds[0], f"this checkout's packages differ from a fresh clone's:\n{sums(ROOT)}\n{builds[0]}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def build_as_ordinary_account(work):
    """Builds the packages once more from a fresh clone as a throwaway
    ordinary account; returns the sums, or None when it could not be done."""
    account = f"octolatch-builder-{os.getpid()}"
    home = os.path.join(work, account)
    clone = os.path.join(home, "octolatch")
    if not check(run(["useradd", "--no-create-home", "--home-dir", home, "--shell", "/bin/sh", account]).returncode == 0,
                 f"useradd {account} failed"):
        return None
    try:
        os.chmod(work, 0o755)
        check(run(["git", "clone", "-q", ROOT, clone]).returncode == 0, f"git clone into {clone} failed")
        run(["chown", "-R", f"{account}:{account}", home])
        result = run(["runuser", "-u", account, "--", "env", f"HOME={home}", "scripts/package"], cwd=clone)
        if not check(result.returncode == 0, f"scripts/package as {account}: {result.stderr[-500:]}"):
            return None
        return sums(clone)
    finally:
        run(["userdel", account])


def main():
    version = sys.argv[1]
    contents(version)
    reproducible()
    for problem in PROBLEMS:
        print(f"packages: {problem}")
    print(f"packages: {0 if PROBLEMS else 1} passed, {1 if PROBLEMS else 0} failed")
    return 1 if PROBLEMS else 0


if __name__ == "__main__":
    sys.exit(main())
