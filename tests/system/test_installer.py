"""The installer under Wine, each test class in a Wine prefix of its own: a silent
install of a re-tagged copy (files, Config.ini, registration, shortcuts), the
installed client started from its shortcut reporting the channel to the local
portal, an upgrade while the client runs, uninstall with and without the player's
data, and installer file names with broken, huge or hostile tags."""
import datetime
import filecmp
import glob
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

import road

VERSION = "1.15"
SETUP = os.path.join(road.BUILD, f"vornmark-setup-{VERSION}.exe")
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vornmark"
PRODUCT = "沃恩马克"
INSTALL_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")
PROGRAM_FILES = ["vornmark.exe", "engine_host.py", "xembed.py"]


def cmake_cache(name):
    with open(os.path.join(road.BUILD, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise AssertionError(f"{name} is not in the build's CMake cache")


def ini_values(path):
    """{(section, key): value} of an INI file, names lowered."""
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-16") if raw.startswith(b"\xff\xfe") else raw.decode("utf-8", "replace")
    out, section = {}, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1].lower()
        elif "=" in line and section is not None:
            k, v = line.split("=", 1)
            out[(section, k.strip().lower())] = v.strip()
    return out


def shortcut(path):
    """(target, working folder) of a Windows shortcut (.lnk) file."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 76 or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise AssertionError(f"{path} is not a shortcut")
    flags = struct.unpack_from("<I", data, 20)[0]
    pos = 76
    if flags & 0x1:  # target id list
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    target = None
    if flags & 0x2:  # link info
        size, header, info_flags, _, base_off, _, suffix_off = struct.unpack_from("<7I", data, pos)
        if info_flags & 0x1:
            def cstr(off):
                end = data.index(b"\0", pos + off)
                return data[pos + off:end].decode("mbcs" if os.name == "nt" else "latin-1")
            target = cstr(base_off) + cstr(suffix_off)
        pos += size
    strings = {}
    unicode = bool(flags & 0x80)
    for bit, name in ((0x4, "name"), (0x8, "relative"), (0x10, "workdir"), (0x20, "args"), (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            pos += 2
            n = count * 2 if unicode else count
            strings[name] = data[pos:pos + n].decode("utf-16-le" if unicode else "latin-1").rstrip("\0")
            pos += n
    if target is None:
        raise AssertionError(f"{path} names no local target: flags {flags:#x}, {strings}")
    return target, strings.get("workdir")


class Prefix:
    """A Wine prefix made for one test class, with its own persistent wineserver.
    stop() ends every Wine process of the prefix and removes it."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="vm-installer-prefix-")
        self.server = None
        try:
            self._make()
        except BaseException:
            self.stop()
            raise

    def _make(self):
        r = subprocess.run([os.path.join(road.ROOT, "tools", "wine-prefix.sh"), self.dir],
                           capture_output=True, text=True, timeout=300)
        if r.returncode != 0:
            raise AssertionError(f"could not make a Wine prefix: {r.stdout}{r.stderr}")
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # On the tests' bare X server the client's windows are unmanaged, as in the
        # project's own prefix (tools/test.sh).
        self.wine("reg", "add", r"HKCU\Software\Wine\AppDefaults\vornmark.exe\X11 Driver", "/v", "Managed",
                  "/t", "REG_SZ", "/d", "N", "/f", check=True)
        users = [u for u in glob.glob(os.path.join(self.dir, "drive_c", "users", "*"))
                 if os.path.basename(u) != "Public"]
        if len(users) != 1:
            raise AssertionError(f"expected one user in the prefix, found {users}")
        self.user = users[0]
        self.local = os.path.join(self.user, "AppData", "Local")
        self.desktop = os.path.join(self.user, "Desktop")
        self.programs = os.path.join(self.user, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                                     "Programs")
        self.cache = os.path.join(self.local, "vorn")

    def env(self):
        env = road.wine_env(test_devtools=False)
        env["WINEPREFIX"] = self.dir
        return env

    def wine(self, *args, check=False, timeout=120):
        """Runs a Wine program to its end: (exit code, its output). The output goes
        through a file: Wine's services, started on demand, would inherit a pipe and
        hold it open."""
        with tempfile.TemporaryFile() as out:
            r = subprocess.run(["wine", *args], env=self.env(), stdin=subprocess.DEVNULL, stdout=out,
                               stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            output = out.read().decode("utf-8", "replace")
        if check and r.returncode != 0:
            raise AssertionError(f"wine {args} failed with {r.returncode}: {output}")
        return r.returncode, output

    def unix(self, windows_path):
        """The Linux path of a C: path in this prefix."""
        drive, rest = windows_path.split(":", 1)
        if drive.upper() != "C":
            raise AssertionError(f"not on drive C: {windows_path}")
        return os.path.join(self.dir, "drive_c", *[p for p in rest.split("\\") if p])

    def windows(self, unix_path):
        rel = os.path.relpath(unix_path, os.path.join(self.dir, "drive_c"))
        return "C:\\" + rel.replace("/", "\\")

    def registry(self, key):
        """{value name: text} of a registry key's string values, or None when it is
        missing. Exported to a file: reg's console output loses Chinese text."""
        out_file = os.path.join(self.dir, "drive_c", "vm-key.reg")
        code, _ = self.wine("reg", "export", key, self.windows(out_file), "/y")
        if code != 0:
            return None
        with open(out_file, "rb") as f:
            text = f.read().decode("utf-16")
        os.remove(out_file)
        out = {}
        for line in text.splitlines():
            m = re.match(r'"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"$', line)
            if m:
                name, value = (re.sub(r"\\(.)", r"\1", g) for g in m.groups())
                out[name] = value
        return out

    def leftovers(self):
        """Pids of the processes still running in this prefix."""
        out = []
        for env in glob.glob("/proc/[0-9]*/environ"):
            try:
                with open(env, "rb") as f:
                    if f"WINEPREFIX={self.dir}".encode() in f.read().split(b"\0"):
                        out.append(int(env.split("/")[2]))
            except OSError:
                pass
        return [p for p in out if p != os.getpid()]

    def stop(self):
        if self.server:
            # SIGINT: the server ends every Wine process it serves before it exits.
            self.server.send_signal(signal.SIGINT)
            try:
                self.server.wait(30)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server = None
        deadline = time.time() + 10
        left = self.leftovers()
        while left and time.time() < deadline:  # ended processes take a moment to go
            time.sleep(0.1)
            left = self.leftovers()
        if left:
            # Ours all the same (they carry this prefix): end them, then say so.
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        shutil.rmtree(self.dir, ignore_errors=True)
        if left:
            raise AssertionError(f"processes still ran in the test prefix after its server ended: {left}")


class InstalledClient(road.Client):
    """The client as installed, started as a shortcut starts it."""

    def __init__(self, prefix, target, workdir):
        self.prefix = prefix
        self.target = target
        self.workdir = workdir
        super().__init__(folder=prefix.unix(workdir))

    def start(self, test_devtools=False):
        self.proc = subprocess.Popen(["wine", self.target], cwd=self.dir, env=self.prefix.env(),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self


def require_installer():
    if not os.path.isfile(SETUP):
        raise AssertionError(f"no installer at {SETUP}: tools/setup.sh installs NSIS, the build makes it")


class InstallerCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_installer()
        cls.downloads = tempfile.mkdtemp(prefix="vm-installer-dl-")
        cls.addClassCleanup(shutil.rmtree, cls.downloads, ignore_errors=True)
        cls.prefix = Prefix()
        cls.addClassCleanup(cls.prefix.stop)

    def download(self, name):
        """The installer as a partner site serves it: renamed."""
        path = os.path.join(self.downloads, name)
        shutil.copy(SETUP, path)
        return path

    def install(self, name, *args, expect=0):
        code, output = self.prefix.wine(self.download(name), "/S", *args, timeout=180)
        self.assertEqual(expect, code, f"silent install of {name} {args}: {output}")


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs the test display (run through tools/test.sh)")
class InstallRunUpgradeUninstall(InstallerCase):
    def setUp(self):
        self.portal = road.Portal()
        self.addCleanup(self.portal.stop)
        self.dir = os.path.join(self.prefix.local, "Programs", "Vornmark")
        self.menu = os.path.join(self.prefix.programs, PRODUCT)

    def client_from(self, link):
        target, workdir = shortcut(link)
        self.assertEqual(os.path.join(self.dir, "vornmark.exe"), self.prefix.unix(target), link)
        self.assertEqual(self.dir, self.prefix.unix(workdir), link)
        client = InstalledClient(self.prefix, target, workdir)
        self.addCleanup(client.kill)
        return client

    def run_client(self, link, while_running=None):
        """Starts the installed client from a shortcut, waits for its page, calls
        while_running(client), closes it as a player does; returns its start record."""
        starts = len(self.portal.records("start"))
        client = self.client_from(link).start()
        start = road.wait_for(lambda: self.portal.records("start")[starts:], 90, "the game page request")[0]
        if while_running:
            while_running(client)
        closes = len(self.portal.reports_with_action("close"))
        self.assertEqual(0, road.close_from_launcher(client))
        road.wait_for(lambda: len(self.portal.reports_with_action("close")) > closes, 10, "the close report")
        return start

    def assert_program_files(self):
        for name in PROGRAM_FILES:
            self.assertTrue(filecmp.cmp(os.path.join(road.BUILD, name), os.path.join(self.dir, name), shallow=False),
                            f"{name} differs from the build's")
        shipped = sorted(os.listdir(os.path.join(self.dir, "ruffle")))
        built = sorted(n for n in os.listdir(os.path.join(road.BUILD, "ruffle")) if not n.startswith("."))
        self.assertEqual(built, shipped)
        for name in built:
            self.assertTrue(filecmp.cmp(os.path.join(road.BUILD, "ruffle", name),
                                        os.path.join(self.dir, "ruffle", name), shallow=False), name)

    def assert_uninstalled(self, kept):
        """No program file, shortcut or registration; `kept` the names left in the folder."""
        road.wait_for(lambda: self.prefix.registry(UNINSTALL_KEY) is None, 60, "the uninstall registration to go")
        left = sorted(os.listdir(self.dir)) if os.path.isdir(self.dir) else None
        self.assertEqual(kept, left)
        self.assertFalse(os.path.exists(os.path.join(self.prefix.desktop, PRODUCT + ".lnk")))
        self.assertFalse(os.path.exists(self.menu), "the Start menu folder is left")

    def test_install_run_upgrade_uninstall(self):
        # A re-tagged download, installed silently where a per-user install goes.
        t0 = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        self.install("vornmark-setup-1.15_a123_s45.exe")
        self.assertEqual(sorted(["Config.ini", "engine_host.py", "ruffle", "uninstall.exe", "vornmark.exe",
                                 "xembed.py"]), sorted(os.listdir(self.dir)))
        self.assert_program_files()
        ini = ini_values(os.path.join(self.dir, "Config.ini"))
        self.assertEqual("123", ini.get(("common", "uid")), ini)
        self.assertEqual("45", ini.get(("common", "adv")), ini)
        install_time = ini.get(("install", "installtime"), "")
        self.assertRegex(install_time, INSTALL_TIME)
        stamp = datetime.datetime.strptime(install_time, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
        self.assertTrue(t0 <= stamp <= datetime.datetime.now(datetime.timezone.utc), (t0, stamp))
        self.assertNotIn(("common", "runcount"), ini, "the installer must leave the run counter to the client")

        reg = self.prefix.registry(UNINSTALL_KEY)
        self.assertIsNotNone(reg, "no uninstall registration")
        self.assertEqual(PRODUCT, reg.get("DisplayName"), reg)
        self.assertEqual(VERSION, reg.get("DisplayVersion"), reg)
        self.assertEqual(self.dir, self.prefix.unix(reg.get("InstallLocation", "")), reg)
        self.assertEqual(f'"{self.prefix.windows(self.dir)}\\uninstall.exe"', reg.get("UninstallString"), reg)
        desktop = os.path.join(self.prefix.desktop, PRODUCT + ".lnk")
        self.assertEqual(sorted([PRODUCT + ".lnk", "卸载" + PRODUCT + ".lnk"]), sorted(os.listdir(self.menu)))
        target, _ = shortcut(os.path.join(self.menu, "卸载" + PRODUCT + ".lnk"))
        self.assertEqual(os.path.join(self.dir, "uninstall.exe"), self.prefix.unix(target))

        # First start, from the desktop: the install report and the start address
        # carry the channel and the install time.
        start = self.run_client(desktop)
        params = {k: v[0] for k, v in start["params"].items()}
        self.assertEqual((install_time, "123", "45", "0"),
                         (params.get("installtime"), params.get("agent_id"), params.get("cplaceid"),
                          params.get("runcount")), start)
        installs = self.portal.reports_with_action("install")
        self.assertEqual(1, len(installs), installs)
        form = installs[0]["form"]
        self.assertEqual((["1530"], ["123"], ["45"]), (form["game_id"], form["agent_id"], form["site_id"]), form)
        reported = int(form["install_time"][0])
        self.assertLessEqual(abs(reported - stamp.timestamp()), 600, (form, install_time))

        # What the player's runs left: a user name, the login in the cache; and
        # program files of an older version: a changed file, and one the new
        # version no longer has (the emulator's file names change).
        config = os.path.join(self.dir, "Config.ini")
        with open(config, "rb") as f:
            raw = f.read()
        self.assertIn(b"user_name=", raw)
        with open(config, "wb") as f:
            f.write(raw.replace(b"user_name=", b"user_name=hero", 1))
        self.assertTrue(os.path.isdir(self.prefix.cache), "the client made no cache folder")
        login = os.path.join(self.prefix.cache, "login-marker")
        with open(login, "w") as f:
            f.write("kept")
        stale = os.path.join(self.dir, "ruffle", "LICENSE_MIT")
        with open(stale, "w") as f:
            f.write("stale\n")
        with open(os.path.join(self.dir, "ruffle", "0000000000.wasm"), "w") as f:
            f.write("stale\n")

        # An upgrade from another channel's download: new program files, the
        # player's data and the first channel kept.
        self.install("vornmark-setup-1.15_a7_s8.exe")
        self.assert_program_files()
        kept = ini_values(config)
        for key, want in ((("common", "uid"), "123"), (("common", "adv"), "45"), (("common", "runcount"), "1"),
                          (("common", "user_name"), "hero"), (("install", "installtime"), install_time)):
            self.assertEqual(want, kept.get(key), f"{key} after the upgrade: {kept}")
        self.assertTrue(os.path.exists(login), "the upgrade lost the cache")

        # Second start, from the Start menu: no install report. Meanwhile another
        # install is started: it waits for the client, never replacing its files in use.
        with open(stale, "w") as f:
            f.write("stale\n")
        upgrade = {}

        def upgrade_while_running(client):
            road.wait_for(lambda: client.window_sized(1230, 728), 60, "the launcher")
            upgrade["proc"] = subprocess.Popen(["wine", self.download("vornmark-setup-1.15.exe"), "/S"],
                                               env=self.prefix.env(), stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(lambda: upgrade["proc"].poll() is None and upgrade["proc"].kill())
            # Its plug-ins are unpacked for its first look at the client: from then on it waits.
            temp = os.path.join(self.prefix.user, "Temp")
            road.wait_for(lambda: glob.glob(os.path.join(temp, "ns*.tmp", "System.dll")), 60,
                          "the install to look for the client")
            road.wait_for(lambda: client.window_sized(1230, 728), 5, "the launcher still there")
            self.assertIsNone(upgrade["proc"].poll(), "the install ended while the client ran")
            with open(stale) as f:
                self.assertEqual("stale\n", f.read(), "a program file was replaced while the client ran")

        start = self.run_client(os.path.join(self.menu, PRODUCT + ".lnk"), upgrade_while_running)
        self.assertEqual("1", start["params"]["runcount"][0])
        self.assertEqual(1, len(self.portal.reports_with_action("install")), "a second start sent an install report")
        try:
            self.assertEqual(0, upgrade["proc"].wait(60), "the install after the client closed")
        except subprocess.TimeoutExpired:
            raise AssertionError("the install did not finish within 60 s of the client's exit") from None
        self.assert_program_files()
        after = ini_values(config)
        self.assertEqual(("123", "45", "2"), (after.get(("common", "uid")), after.get(("common", "adv")),
                                              after.get(("common", "runcount"))), after)

        # Uninstall as the list of programs does it, silently: the player's data stays.
        self.prefix.wine(self.prefix.windows(os.path.join(self.dir, "uninstall.exe")), "/S")
        self.assert_uninstalled(["Config.ini"])
        self.assertEqual(after, ini_values(config), "uninstall changed the kept settings")
        self.assertTrue(os.path.exists(login), "uninstall removed the kept cache")

        # Installed again (it finds its settings), then removed with the data.
        self.install("vornmark-setup-1.15.exe")
        self.assertEqual("123", ini_values(config).get(("common", "uid")))
        self.prefix.wine(self.prefix.windows(os.path.join(self.dir, "uninstall.exe")), "/S", "/REMOVEDATA")
        self.assert_uninstalled(None)
        self.assertFalse(os.path.exists(self.prefix.cache), "the cache is left")


class ChannelTags(InstallerCase):
    """The channel's ids come from the installer's file name only when its tag is
    exactly "_a<1-9 digits>_s<1-9 digits>" before ".exe"; anything else gives the
    build's defaults, whole (never half a tag, never text that is not a number)."""

    def ids_installed_by(self, name, folder):
        self.install(name, "/D=C:\\tags\\" + folder)
        ini = ini_values(self.prefix.unix("C:\\tags\\" + folder + "\\Config.ini"))
        return ini.get(("common", "uid")), ini.get(("common", "adv"))

    def test_tags(self):
        defaults = (cmake_cache("VORNMARK_DEFAULT_AGENT_ID"), cmake_cache("VORNMARK_DEFAULT_SITE_ID"))
        cases = [
            ("vornmark-setup-1.15.exe", defaults),
            ("vornmark-setup-1.15_a007_s010.exe", ("7", "10")),       # decimal, not octal
            ("vornmark-setup-1.15_a999999999_s1.exe", ("999999999", "1")),
            ("vornmark-setup-1.15_a1234567890_s1.exe", defaults),     # too long for an id
            ("vornmark-setup-1.15_a-1_s999999999999999999999.exe", defaults),
            ("vornmark-setup-1.15_a%00_s1.exe", defaults),
            ("vornmark-setup-1.15_a+5_s 3.exe", defaults),
        ]
        for i, (name, want) in enumerate(cases):
            with self.subTest(name=name):
                self.assertEqual(want, self.ids_installed_by(name, str(i)))


if __name__ == "__main__":
    unittest.main()
