"""Installation as an administrator gets it: a staged `cmake --install`, the systemd units, the
manual pages, each program's --help and --version, and the Debian package installed into and
removed from a root of its own."""

import gzip
import os
import pathlib
import re
import shutil
import socket
import stat
import subprocess

import pytest

import algtest
from algtest import free_port, recv_exact, wait_until

GATEWAYS = ["socks", "http", "ftp", "smtp"]
SBIN = ["%s-gateway" % g for g in GATEWAYS] + ["algctl"]
UNITS = ["%s-gateway.service" % g for g in GATEWAYS] + ["algctl.service"]
PAGES = ["man8/%s.8.gz" % p for p in SBIN] + ["man1/algpolicy.1.gz", "man5/algd-policy.5.gz"]
POLICIES = ["%s.xml" % g for g in GATEWAYS]
TIMEOUT = 120


def run(args, env=None, check=True):
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=TIMEOUT,
                          check=check)


def cache_value(name):
    text = (pathlib.Path(algtest.BUILD_DIR) / "CMakeCache.txt").read_text()
    return re.search(r"^%s:\w+=(.*)$" % name, text, re.M).group(1)


def etc_dir(root):
    """The policies' folder below `root` for the build's prefix (/etc/algd for /usr)."""
    prefix = cache_value("CMAKE_INSTALL_PREFIX")
    return pathlib.Path(str(root) + ("/etc" if prefix == "/usr" else prefix + "/etc")) / "algd"


def layout(root):
    """Where the installed pieces are below `root`: prefix, policies, library folder."""
    usr = pathlib.Path(str(root) + cache_value("CMAKE_INSTALL_PREFIX"))
    libdir = next(usr.glob("lib*/**/libpolicydoc.so.1")).parent
    return usr, etc_dir(root), libdir


@pytest.fixture(scope="module")
def staged(tmp_path_factory):
    root = tmp_path_factory.mktemp("stage")
    run(["cmake", "--install", algtest.BUILD_DIR], env=dict(os.environ, DESTDIR=str(root)))
    return root


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def check_tree(root):
    """Every installed file is there with its mode; the library carries its SONAME; what only
    building against the library takes is not there."""
    usr, etc, libdir = layout(root)
    expected = {etc: 0o700, etc / "passwd": 0o600, usr / "bin/algpolicy": 0o755,
                usr / "lib/sysusers.d/algd.conf": 0o644}
    expected.update({etc / p: 0o600 for p in POLICIES})
    expected.update({usr / "sbin" / p: 0o755 for p in SBIN})
    expected.update({usr / "lib/systemd/system" / u: 0o644 for u in UNITS})
    expected.update({usr / "share/man" / p: 0o644 for p in PAGES})
    expected.update({usr / "share/doc/algd/examples" / n: 0o644
                     for n in POLICIES + ["passwd", "pam_alg"]})
    assert {str(p): mode(p) for p in expected} == {str(p): m for p, m in expected.items()}
    soname = run(["objdump", "-p", str(libdir / "libpolicydoc.so.1")]).stdout
    assert re.search(r"SONAME\s+libpolicydoc\.so\.1\b", soname)
    assert (etc / "passwd").read_bytes() == b""
    assert not (usr / "include").exists() and not (libdir / "libpolicydoc.so").exists()
    return usr, etc, libdir


def test_staged_install_exposes_nothing(staged, tmp_path):
    usr, etc, libdir = check_tree(staged)
    env = dict(os.environ, LD_LIBRARY_PATH=str(libdir))
    # Each installed policy, moved to a free port and the staged password file, passes
    # algpolicy check and builds a listener; socks-gateway rejects a request on it.
    for gateway in GATEWAYS:
        text = (etc / ("%s.xml" % gateway)).read_text()
        assert '<access userid="" loglevel="events" action="reject"/>' in text
        assert "allow" not in re.sub(r"<!--.*?-->", "", text, flags=re.S)
        port = free_port()
        text = re.sub(r"<listen_port>\d+<", "<listen_port>%d<" % port, text)
        text = text.replace(str(etc_dir("") / "passwd"), str(etc / "passwd"))
        moved = tmp_path / ("%s.xml" % gateway)
        moved.write_text(text)
        checked = run([str(usr / "bin/algpolicy"), "check", str(moved)], env, check=False)
        assert checked.returncode == 0, checked.stdout + checked.stderr
        with algtest.Gateway(str(usr / "sbin" / ("%s-gateway" % gateway)),
                             tmp_path / gateway, "%s.xml" % gateway, text,
                             env_extra={"LD_LIBRARY_PATH": libdir}) as gw:
            assert wait_until(lambda: algtest.accepting(port), 10), gw.output()
            if gateway == "socks":
                with algtest.connect(port) as s:
                    s.sendall(b"\x04\x01" + (80).to_bytes(2, "big") + socket.inet_aton(
                        "127.0.0.1") + b"alice\0")
                    assert recv_exact(s, 8)[:2] == b"\x00\x5b"


def test_headers_and_link_installed_on_request(tmp_path):
    run(["cmake", "--install", algtest.BUILD_DIR, "--component", "dev"],
        env=dict(os.environ, DESTDIR=str(tmp_path)))
    usr = pathlib.Path(str(tmp_path) + cache_value("CMAKE_INSTALL_PREFIX"))
    assert (usr / "include/algd/alg_xml.h").is_file()
    (link,) = [os.path.join(d, f) for d, _, files in os.walk(usr) for f in files
               if f == "libpolicydoc.so"]
    assert os.readlink(link) == "libpolicydoc.so.1"


def test_programs_answer_help_and_version(staged):
    usr, _, libdir = layout(staged)
    env = dict(os.environ, LD_LIBRARY_PATH=str(libdir))
    version = cache_value("CMAKE_PROJECT_VERSION")
    for exe in [usr / "sbin" / p for p in SBIN] + [usr / "bin/algpolicy"]:
        helped = run([str(exe), "--help"], env)
        assert helped.stdout.startswith("usage: ") and helped.stderr == ""
        shown = run([str(exe), "--version"], env).stdout
        assert shown.startswith("%s %s " % (exe.name, version)), shown
    # Anything else still gets the gateways' usage line on standard error and status 37.
    wrong = run([str(usr / "sbin/socks-gateway"), "--helpme"], env, check=False)
    assert (wrong.returncode, wrong.stdout) == (37, "")
    assert wrong.stderr == "usage: %s [-f]\n" % (usr / "sbin/socks-gateway")


def test_units_verify_and_pages_render(staged, tmp_path):
    usr, etc, _ = layout(staged)
    units = usr / "lib/systemd/system"
    for unit in UNITS:
        text = (units / unit).read_text()
        if unit != "algctl.service":
            service = "alg_" + unit.split("-")[0]
            assert "\nType=forking\n" in text
            assert "\nPIDFile=/run/algd/%s_is_running\n" % service in text
            assert "\nExecReload=/bin/kill -HUP $MAINPID\n" in text
        assert "\nRuntimeDirectory=algd\n" in text
        assert "\nRuntimeDirectoryPreserve=yes\n" in text
        assert "\nUser=algd\nGroup=algd\n" in text and "\nPrivateDevices=yes\n" in text
        # The executables are checked where they were staged.
        prefix = cache_value("CMAKE_INSTALL_PREFIX")
        (tmp_path / unit).write_text(text.replace(prefix + "/sbin/", str(usr / "sbin") + "/"))
    env = dict(os.environ, MANPATH=str(usr / "share/man"))
    verified = run(["systemd-analyze", "verify"] + [str(tmp_path / u) for u in UNITS], env,
                   check=False)
    ours = [line for line in verified.stderr.splitlines()
            if any(u in line or u.split(".")[0] + "(" in line for u in UNITS)]
    assert (verified.returncode, ours) == (0, []), verified.stderr
    # Each unit is rated by systemd's own measure: a gateway unit at most 3.0 ("OK").
    for unit in UNITS:
        rated = run(["systemd-analyze", "security", "--offline=true", str(tmp_path / unit)],
                    check=False).stdout
        level = float(re.search(r"Overall exposure level for \S+: ([\d.]+)", rated).group(1))
        assert level <= 3.0, (unit, rated)

    reference = gzip.decompress((usr / "share/man/man5/algd-policy.5.gz").read_bytes()).decode()
    for word in ["algpolicy", "proxy", "general", "listen_port", "session_timeout",
                 "default_charset", "loggers", "logger", "authsystem", "param", "handshake",
                 "access", "filterby", "process", "replace", "cut", "option", "body",
                 "verbose", "reject", "drop", "regexpC", "wildC", "Stub", "Plaintext file",
                 "System API", "Radius server", "ServerSecret", "pwdfile", "Console",
                 "SystemLog", "SNMP", "Community", "facility", "Encoding", "ALG_SYSCONFDIR",
                 "ALG_RUNDIR"]:
        assert word in reference, word
    for page in PAGES:
        path = usr / "share/man" / page
        shown = run(["man", "--warnings", "-l", str(path)], dict(os.environ, MANWIDTH="80"))
        assert shown.stderr == "" and "@" not in shown.stdout, (page, shown.stderr)
        checked = subprocess.run(["groff", "-ww", "-man", "-z"], input=gzip.decompress(
                                     path.read_bytes()),
                                 capture_output=True, timeout=TIMEOUT)
        assert checked.stderr == b"", (page, checked.stderr)


def test_package_installs_and_purges(tmp_path):
    out = tmp_path / "pkg"
    run(["cpack", "-G", "DEB", "-B", str(out), "--config",
         os.path.join(algtest.BUILD_DIR, "CPackConfig.cmake")])
    (deb,) = out.glob("*.deb")
    (ddeb,) = out.glob("*-dbgsym_*.ddeb")
    info = run(["dpkg-deb", "-I", str(deb)]).stdout
    assert re.search(r"Depends:.*libc6 \(>=.*libxml2", info), info
    control = tmp_path / "control"
    run(["dpkg-deb", "-e", str(deb), str(control)])
    assert sorted((control / "conffiles").read_text().split()) == sorted(
        str(etc_dir("") / n) for n in POLICIES + ["passwd"])

    root = tmp_path / "root"
    for sub in ["info", "updates"]:
        (root / "var/lib/dpkg" / sub).mkdir(parents=True)
    (root / "var/lib/dpkg/status").touch()
    dpkg = ["dpkg", "--root=%s" % root, "--force-not-root", "--force-script-chrootless",
            "--log=/dev/null"]
    run(dpkg + ["--force-depends", "-i", str(deb)])
    usr, etc, _ = check_tree(root)
    assert "ii  algd" in run(dpkg + ["-l", "algd"]).stdout
    # The system user algd owns the policy folder and what is in it.
    account = [l.split(":") for l in (root / "etc/passwd").read_text().splitlines()
               if l.startswith("algd:")]
    assert len(account) == 1 and int(account[0][2]) < 1000, account
    uid, gid = int(account[0][2]), int(account[0][3])
    for path in [etc] + [etc / n for n in POLICIES + ["passwd"]]:
        assert (os.stat(path).st_uid, os.stat(path).st_gid) == (uid, gid), path
    # Programs stripped; their symbols in the debug package under their build ids.
    debug = run(["dpkg-deb", "-c", str(ddeb)]).stdout
    for exe in [usr / "sbin" / p for p in SBIN] + [usr / "bin/algpolicy"]:
        sections = run(["readelf", "-S", "-n", str(exe)]).stdout
        assert ".debug_info" not in sections and ".symtab" not in sections, exe
        build_id = re.search(r"Build ID: ([0-9a-f]+)", sections).group(1)
        assert "/usr/lib/debug/.build-id/%s/%s.debug" % (build_id[:2], build_id[2:]) in debug
    run(dpkg + ["--purge", "algd"])
    # Only the account files stay: the user outlives the package.
    left = [p.relative_to(root) for p in root.rglob("*")
            if not str(p).startswith(str(root / "var")) and p.is_file()]
    assert all(str(p).startswith("etc/") and "algd" not in str(p) for p in left), left
    shutil.rmtree(out)
