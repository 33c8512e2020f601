#!/usr/bin/env python3
"""Tests of the Windows launchers, run by CTest.

    launcher_tests.py binaries     checks the built programs' PE images
    launcher_tests.py wine-setup   makes a fresh Wine prefix, keeps a server up
    launcher_tests.py run --launcher NAME   runs one launcher under Wine
    launcher_tests.py wine-cleanup stops the prefix's server

Exit code 77 means skipped (tool missing); the reason is printed.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

SKIP = 77
APPS = {"brenvik": "Brenvik", "tavrel": "Tavrel", "quorvan": "Quorvan"}
ICON_SIZES = {256, 128, 64, 48, 32, 16}
RT_ICON, RT_GROUP_ICON = 3, 14


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(SKIP)


def present(tool):
    return bool(tool) and shutil.which(tool) is not None


# ---- PE image reading ----------------------------------------------------

class Pe:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = data = f.read()
        check(data[:2] == b"MZ", "not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        check(data[pe:pe + 4] == b"PE\0\0", "no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        check(struct.unpack_from("<H", data, optional)[0] == 0x20B, "not a PE32+ image")
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(count)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", data, table + 40 * i) for i in range(sections)]

    def offset(self, rva):
        for _, size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise Failure("RVA %#x lies in no section" % rva)

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva, _ = self.directory(1)
        names, at = [], self.offset(rva) if rva else None
        while at is not None:
            fields = struct.unpack_from("<IIIII", self.data, at)
            if not any(fields):
                break
            names.append(self.cstring(fields[3]))
            at += 20
        return names

    def resources(self):
        """[(type, name, language, bytes)]; names are ints or strings."""
        rva, _ = self.directory(2)
        if not rva:
            return []
        base = self.offset(rva)
        out = []

        def name_of(field):
            if field & 0x80000000:
                at = base + (field & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return field

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                field, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                key = path + [name_of(field)]
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), key)
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    out.append(tuple(key) + (self.data[start:start + size],))

        walk(base, [])
        return out


def image_format(blob):
    """(width, height, bits per pixel) of one icon image, PNG or DIB."""
    if blob[:8] == b"\x89PNG\r\n\x1a\n":
        width, height, depth, colour = struct.unpack_from(">IIBB", blob, 16)
        check(colour == 6, "PNG icon image is not RGBA")
        return width, height, 4 * depth
    size, width, height, _, bits = struct.unpack_from("<IiiHH", blob, 0)
    check(size == 40, "icon image has no BITMAPINFOHEADER")
    return width, height // 2, bits


def check_binary(path, app, others):
    pe = Pe(path)
    check(pe.machine == 0x8664, "not an x86-64 image")
    check(pe.subsystem == 2, "subsystem is %d, not Windows GUI (2)" % pe.subsystem)
    dlls = sorted(name.lower() for name in pe.imports())
    runtime = [d for d in dlls if d not in ("kernel32.dll", "shell32.dll")]
    check("kernel32.dll" in dlls and "shell32.dll" in dlls, "imports %s" % dlls)
    check(runtime in (["msvcrt.dll"], ["ucrtbase.dll"]) or all(d.startswith("api-ms-win-crt-") for d in runtime),
          "imports more than KERNEL32, SHELL32 and the C runtime: %s" % dlls)
    check(pe.directory(13) == (0, 0), "has delay-loaded imports")

    resources = pe.resources()
    types = {r[0] for r in resources}
    check(types == {RT_ICON, RT_GROUP_ICON}, "resource types %s, expected only icons (no manifest, no version)"
          % sorted(types, key=str))
    groups = [r for r in resources if r[0] == RT_GROUP_ICON]
    check(len(groups) == 1 and groups[0][1] == "ID", "icon groups %s, expected one named ID" % [g[1] for g in groups])
    icons = {r[1]: r[3] for r in resources if r[0] == RT_ICON}
    group = groups[0][3]
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    check((reserved, kind) == (0, 1), "malformed icon group header")
    sizes = set()
    for i in range(count):
        width, height, _, _, _, bits, length, ident = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        size = width or 256
        check(width == height and bits == 32, "group entry %d: %dx%d, %d bits" % (i, width, height, bits))
        check(ident in icons and len(icons[ident]) == length, "group entry %d names a missing image" % i)
        check(image_format(icons[ident]) == (size, size, 32), "image %d is not %d px, 32 bits" % (ident, size))
        sizes.add(size)
    check(count == len(ICON_SIZES) and sizes == ICON_SIZES, "icon sizes %s" % sorted(sizes))

    module = '" -m Apps.%s.main' % app
    check(module.encode("utf-16-le") in pe.data, "module text %r missing" % module)
    for other in others:
        check(('Apps.%s.main' % other).encode("utf-16-le") not in pe.data, "also carries Apps.%s.main" % other)
    check("python.exe".encode("utf-16-le") in pe.data, "interpreter name missing")
    for message in (b"Failed to create process. Error: ", b"Failed to get exit code. Error: "):
        check(message in pe.data, "message %r missing" % message)
    return min(icons.items())[1]


def binaries(args):
    if args.skip:
        skip(args.skip)
    artwork = {}
    for name, app in APPS.items():
        path = os.path.join(args.build, name + ".exe")
        check(os.path.isfile(path), "%s was not built" % path)
        try:
            artwork[name] = check_binary(path, app, [a for a in APPS.values() if a != app])
        except Failure as e:
            raise Failure("%s: %s" % (name, e))
        print("%s.exe: GUI subsystem, KERNEL32/SHELL32/C runtime, icon group ID with six 32-bit sizes" % name)
    check(len(set(artwork.values())) == len(APPS), "the three programs share an icon")


# ---- Wine ----------------------------------------------------------------

def wine_env(args):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(WINEPREFIX=args.prefix, WINEDEBUG="-all", WINEARCH="win64", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def run_quiet(command, args, log, timeout):
    """Runs a Wine command with its output in a log file: Wine's helper
    processes inherit the descriptors, so a pipe would never see its end."""
    with open(log, "ab") as out:
        return subprocess.run(command, env=wine_env(args), stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                              timeout=timeout).returncode


def wine_missing(args):
    if args.skip:
        return args.skip
    if not present(args.wine) or not present(args.wineserver):
        return "Wine not found (install wine and wine64)"
    return ""


def wine_setup(args):
    reason = wine_missing(args)
    if reason:
        print("nothing to prepare: " + reason)
        return
    if os.path.isdir(args.prefix):
        run_quiet([args.wineserver, "-k"], args, os.devnull, 60)
        shutil.rmtree(args.prefix)
    os.makedirs(args.prefix)
    log = os.path.join(os.path.dirname(args.prefix), "wineboot.log")
    # A server that outlives each test program saves starting it (and Wine's
    # services) for every run; the cleanup test stops it.
    run_quiet([args.wineserver, "-p300"], args, log, 60)
    rc = run_quiet([args.wine, "wineboot", "--init"], args, log, 280)
    check(rc == 0, "wineboot failed (%d); see %s" % (rc, log))
    print("Wine prefix ready: " + args.prefix)


def wine_cleanup(args):
    if not wine_missing(args) and os.path.isdir(args.prefix):
        run_quiet([args.wineserver, "-k"], args, os.devnull, 60)


def windows(path):
    """Wine maps the Unix root to drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Case:
    """One start of a launcher by the runner, and what it left behind."""

    def __init__(self, args, work, label, cmdline, cwd, path=None, handles=True, window=True):
        self.dir = os.path.join(work, "cases", label)
        os.makedirs(self.dir)
        self.stdout, self.stderr = os.path.join(self.dir, "stdout.txt"), os.path.join(self.dir, "stderr.txt")
        result = os.path.join(self.dir, "result.txt")
        lines = ["cmdline=" + cmdline, "cwd=" + windows(cwd), "result=" + windows(result)]
        lines += ["stdout=" + windows(self.stdout), "stderr=" + windows(self.stderr)] if handles else ["handles=none"]
        lines += ["path=" + windows(path)] if path else []
        lines += [] if window else ["window=none"]
        case = os.path.join(self.dir, "case.txt")
        with open(case, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        runner = os.path.join(args.build, "test", "launch_runner.exe")
        rc = run_quiet([args.wine, runner, windows(case)], args, os.path.join(self.dir, "wine.log"), 120)
        check(os.path.isfile(result), "%s: the runner left no result (wine exit %d)" % (label, rc))
        with open(result) as f:
            text = f.read().strip()
        check(text.startswith("exit="), "%s: the runner could not start the launcher: %s" % (label, text))
        self.exit_code = int(text[5:])
        self.label = label

    def read(self, which):
        path = getattr(self, which)
        return open(path, "rb").read() if os.path.exists(path) else b""


class App:
    """An installation folder: the launcher beside the stand-in interpreter."""

    def __init__(self, args, folder, name, interpreter=True):
        self.folder = folder
        os.makedirs(folder)
        self.launcher = os.path.join(folder, name + ".exe")
        shutil.copy(os.path.join(args.build, name + ".exe"), self.launcher)
        if interpreter:
            shutil.copy(os.path.join(args.build, "test", "standin_python.exe"), os.path.join(folder, "python.exe"))

    def exit_with(self, code):
        with open(os.path.join(self.folder, "exit_code.txt"), "w") as f:
            f.write(str(code))

    def take_report(self):
        path = os.path.join(self.folder, "report.txt")
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as f:
            report = dict(line.split("=", 1) for line in f.read().splitlines())
        os.remove(path)
        return report


def run(args):
    reason = wine_missing(args)
    if reason:
        skip(reason)
    name, app = args.launcher, APPS[args.launcher]
    work = os.path.join(args.work, name)
    shutil.rmtree(work, ignore_errors=True)
    installed = App(args, os.path.join(work, "Program Files", "My " + app), name)
    elsewhere = App(args, os.path.join(work, "elsewhere"), name)  # a decoy interpreter
    os.remove(elsewhere.launcher)
    expected_cmdline = '"%s" -m Apps.%s.main' % (windows(os.path.join(installed.folder, "python.exe")), app)
    quoted = '"%s"' % windows(installed.launcher)
    failures = []

    def expect(condition, label, message):
        if not condition:
            failures.append("%s: %s" % (label, message))

    def child_ran(case, code):
        report = installed.take_report()
        expect(elsewhere.take_report() is None, case.label, "the python.exe of the current directory ran")
        if report is None:
            failures.append("%s: the interpreter did not run (exit %d, stderr %r)"
                            % (case.label, case.exit_code, case.read("stderr")))
            return None
        expect(report["cmdline"] == expected_cmdline, case.label, "child command line %r" % report["cmdline"])
        expect(report["cwd"] == windows(installed.folder), case.label, "child directory %r" % report["cwd"])
        expect(report["module"] == windows(os.path.join(installed.folder, "python.exe")), case.label,
               "child program %r" % report["module"])
        expect(case.exit_code == code, case.label, "exit code %d, expected %d" % (case.exit_code, code))
        return report

    # Arguments are dropped; the folder has blanks; started from elsewhere;
    # the child writes into the launcher's redirected output and error.
    installed.exit_with(0)
    case = Case(args, work, "arguments", quoted + ' --verbose "two words" C:\\x.txt', elsewhere.folder)
    report = child_ran(case, 0)
    if report:
        expect(report["stdout"] == "ok" and case.read("stdout") == b"stand-in stdout\n", case.label,
               "standard output %s, file %r" % (report["stdout"], case.read("stdout")))
        expect(report["stderr"] == "ok" and case.read("stderr") == b"stand-in stderr\n", case.label,
               "standard error %s, file %r" % (report["stderr"], case.read("stderr")))

    # The exit code passes through unchanged, whatever its value.
    for code in (1, 37, 255, 259, 0xC0000005, 0xFFFFFFFF):
        installed.exit_with(code)
        child_ran(Case(args, work, "exit-%d" % code, quoted, elsewhere.folder), code)

    # A relative first token with a ".." part.
    installed.exit_with(5)
    relative = os.path.relpath(installed.launcher, elsewhere.folder).replace("/", "\\")
    child_ran(Case(args, work, "relative", '"%s"' % relative, elsewhere.folder), 5)

    # Started by bare name through the search path: the first token names no
    # file, so the launcher finds its folder from its own module path.
    installed.exit_with(6)
    child_ran(Case(args, work, "bare-name", name, elsewhere.folder, path=installed.folder), 6)

    # Started through a symbolic link (relative, under another name) in a
    # folder with a decoy interpreter: the folder is that of the link's
    # target, whether the link is named by its path or found by bare name.
    linked = App(args, os.path.join(work, "linked"), name)
    os.remove(linked.launcher)
    link = os.path.join(linked.folder, "start " + name + ".exe")
    os.symlink(os.path.relpath(installed.launcher, linked.folder), link)
    for label, cmdline, path in (("symlink", '"%s"' % windows(link), None),
                                 ("symlink-bare-name", '"start %s"' % name, linked.folder)):
        installed.exit_with(8)
        case = Case(args, work, label, cmdline, elsewhere.folder, path=path)
        expect(linked.take_report() is None, label, "the python.exe beside the link ran")
        child_ran(case, 8)

    # Without standard handles the launcher hands the child none either. Wine
    # gives a console program started without a window and without handles
    # those of a hidden console, so the child must see what it sees when
    # started that way directly.
    installed.exit_with(7)
    interpreter = '"%s"' % windows(os.path.join(installed.folder, "python.exe"))
    Case(args, work, "no-handles-direct", interpreter, elsewhere.folder, handles=False, window=False)
    direct = installed.take_report()
    report = child_ran(Case(args, work, "no-handles", quoted, elsewhere.folder, handles=False), 7)
    if report and direct:
        handles = lambda r: [r["stdin"], r["stdout"], r["stderr"]]
        expect(handles(report) == handles(direct), "no-handles",
               "child handles %s, started directly %s" % (handles(report), handles(direct)))

    # No interpreter beside the launcher: a message and exit code 1, and the
    # python.exe of the current directory is not taken instead.
    bare = App(args, os.path.join(work, "without interpreter"), name, interpreter=False)
    case = Case(args, work, "no-interpreter", '"%s" x' % windows(bare.launcher), elsewhere.folder)
    expect(case.exit_code == 1, case.label, "exit code %d, expected 1" % case.exit_code)
    expect(re.fullmatch(rb"Failed to create process\. Error: 2\r?\n", case.read("stderr")), case.label,
           "standard error %r" % case.read("stderr"))
    expect(case.read("stdout") == b"", case.label, "standard output %r" % case.read("stdout"))
    expect(elsewhere.take_report() is None, case.label, "the python.exe of the current directory ran")
    case = Case(args, work, "no-interpreter-no-handles", '"%s"' % windows(bare.launcher), elsewhere.folder,
                handles=False)
    expect(case.exit_code == 1, case.label, "exit code %d, expected 1" % case.exit_code)

    if failures:
        raise Failure("\n".join(failures))
    print("%s.exe: all launch cases passed" % name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["binaries", "wine-setup", "wine-cleanup", "run"])
    parser.add_argument("--build", required=True, help="cross build folder with the programs")
    parser.add_argument("--prefix", required=True, help="Wine prefix of this test run")
    parser.add_argument("--work", required=True, help="scratch folder for the installations")
    parser.add_argument("--wine", default="")
    parser.add_argument("--wineserver", default="")
    parser.add_argument("--skip", default="", help="skip with this reason")
    parser.add_argument("--launcher", choices=sorted(APPS))
    args = parser.parse_args()
    try:
        {"binaries": binaries, "wine-setup": wine_setup, "wine-cleanup": wine_cleanup, "run": run}[args.command](args)
    except Failure as e:
        print("FAILED: %s" % e)
        sys.exit(1)


if __name__ == "__main__":
    main()
