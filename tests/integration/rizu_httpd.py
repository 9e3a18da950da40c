"""Runs the built module in a real apache2 for the integration tests.

A test writes the module's configuration (INI file, lists, keyword files,
templates) into the configuration directory the module was built with,
starts its own apache2 on a free loopback port with a generated ServerRoot,
talks to it over sockets and stops it by its PID.

The module's directories come from the environment that ctest sets
(RIZU_CONFIG_DIR, RIZU_LOG_DIR); the harness refuses to run unless both lie
under RIZU_ITEST_ROOT, so that no test ever touches a machine's real ones.
"""

import glob
import os
import shutil
import signal
import socket
import subprocess
import time
import unittest

MODULE = os.environ.get("RIZU_MODULE", "")
CONFIG_DIR = os.environ.get("RIZU_CONFIG_DIR", "")
LOG_DIR = os.environ.get("RIZU_LOG_DIR", "")
ITEST_ROOT = os.environ.get("RIZU_ITEST_ROOT", "")
APACHE = "/usr/sbin/apache2"
MODULES = "/usr/lib/apache2/modules"
MPMS = ("prefork", "event")

# Bytes that mark a dead child in the server's error log.
CRASH_MARKS = ("Segmentation fault", "exit signal", "AH00052", "double free", "Aborted",
               "AddressSanitizer", "runtime error")


def _check_environment():
    for name, value in (("RIZU_MODULE", MODULE), ("RIZU_CONFIG_DIR", CONFIG_DIR),
                        ("RIZU_LOG_DIR", LOG_DIR), ("RIZU_ITEST_ROOT", ITEST_ROOT)):
        if not value:
            raise unittest.SkipTest(name + " is not set: run the integration tests through ctest")
    for d in (CONFIG_DIR, LOG_DIR):
        if not os.path.abspath(d).startswith(os.path.abspath(ITEST_ROOT)):
            raise RuntimeError("refusing to use %s: not under %s" % (d, ITEST_ROOT))


def gbk(text):
    return text.encode("gbk")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_config(ini="", files=None):
    """Replaces the module's configuration directory with the given INI
    text and files ({name: bytes or str} under config/); empties the log
    directory."""
    _check_environment()
    for d in (CONFIG_DIR, LOG_DIR):
        # A child still starting may write its status page meanwhile.
        for _ in range(100):
            shutil.rmtree(d, ignore_errors=True)
            if not os.path.lexists(d):
                break
            time.sleep(0.02)
    os.makedirs(os.path.join(CONFIG_DIR, "config"))
    os.makedirs(LOG_DIR)
    os.chmod(LOG_DIR, 0o777)
    if ini is not None:
        put(os.path.join(CONFIG_DIR, "rizururuzarida.ini"), ini)
    for name, content in (files or {}).items():
        put(os.path.join(CONFIG_DIR, "config", name), content)


def put(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if isinstance(content, str):
        content = content.encode("gbk")
    with open(path, "wb") as f:
        f.write(content)
    os.chmod(path, 0o644)


def log_files(pattern="*"):
    return sorted(glob.glob(os.path.join(LOG_DIR, pattern)))


def clear_logs():
    """Removes the event logs; the children open a log file per record."""
    for path in log_files("key*"):
        os.remove(path)


def records():
    """The records of the text logs, each split at its TABs (the last field
    is what follows the final TAB)."""
    out = []
    for path in log_files("keyword_*.txt"):
        with open(path, "rb") as f:
            out += [l.split(b"\t") for l in f.read().split(b"\r\n") if l]
    return out


def html_log():
    return b"".join(open(p, "rb").read() for p in log_files("keylog_*.html"))


def _state(pid):
    """A process's state and its parent's pid, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state, ppid = f.read().rsplit(")", 1)[1].split()[:2]
    except (OSError, ValueError):
        return None
    return state, int(ppid)


def alive(pid):
    """Whether a process runs; one that ended counts as gone even while
    nobody has reaped it yet (a daemon's reaper may take seconds)."""
    s = _state(pid)
    return s is not None and s[0] != "Z"


def children(parent):
    """The live processes whose parent is `parent`: a server's children
    (and mod_cgid's daemon), not those that ended and wait to be reaped."""
    out = []
    for d in os.listdir("/proc"):
        s = _state(int(d)) if d.isdigit() else None
        if s and s[1] == parent and s[0] != "Z":
            out.append(int(d))
    return sorted(out)


def private_kib(pid, field="Private_Dirty"):
    """A field of /proc/PID/smaps_rollup in KiB; 0 for a process gone."""
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return 0
    raise ValueError(field)


CGI_SCRIPT = r"""#!/bin/sh
# Reports the request headers it received, then echoes the request body.
printf 'Content-Type: text/plain\r\n\r\n'
env | grep '^HTTP_' | sort
echo "REQUEST_METHOD=$REQUEST_METHOD"
echo "CONTENT_LENGTH=$CONTENT_LENGTH"
echo '--body--'
cat
"""

# Sends its stdin back as the whole response body, with a content type from
# the query string (?type=...).
ECHO_SCRIPT = r"""#!/bin/sh
printf 'Content-Type: %s\r\n\r\n' "${QUERY_STRING:-text/plain}"
cat
"""


class Httpd:
    """One apache2 with the module loaded and both filters attached."""

    def __init__(self, mpm="event", extra_conf="", filters=True, module=True, name=None):
        _check_environment()
        self.mpm = mpm
        self.port = free_port()
        # Servers that run at the same time need roots of their own.
        self.root = os.path.join(ITEST_ROOT, "server-" + (name or mpm))
        self.docroot = os.path.join(self.root, "htdocs")
        self.extra_conf = extra_conf
        self.filters = filters
        self.module = module
        self.pid = None

    # --- files ----------------------------------------------------------
    def page(self, name, content, mode=0o644):
        path = os.path.join(self.docroot, name.lstrip("/"))
        put(path, content)
        os.chmod(path, mode)
        return path

    def _layout(self):
        shutil.rmtree(self.root, ignore_errors=True)
        for d in ("htdocs", "logs", "cgi"):
            os.makedirs(os.path.join(self.root, d))
        os.chmod(os.path.join(self.root, "logs"), 0o777)
        self.page("index.html", "<html><body>hello</body></html>\n")
        self.page("cgi/env.cgi", CGI_SCRIPT, 0o755)
        self.page("cgi/echo.cgi", ECHO_SCRIPT, 0o755)

    def _conf(self):
        cgi = "mod_cgi" if self.mpm == "prefork" else "mod_cgid"
        lines = [
            "ServerRoot %s" % self.root,
            "ServerName 127.0.0.1",
            "Listen 127.0.0.1:%d" % self.port,
            "PidFile %s/logs/httpd.pid" % self.root,
            "ErrorLog %s/logs/error.log" % self.root,
            "LogLevel warn",
            "LoadModule mpm_%s_module %s/mod_mpm_%s.so" % (self.mpm, MODULES, self.mpm),
            "LoadModule authz_core_module %s/mod_authz_core.so" % MODULES,
            "LoadModule mime_module %s/mod_mime.so" % MODULES,
            "LoadModule dir_module %s/mod_dir.so" % MODULES,
            "LoadModule %s_module %s/%s.so" % (cgi[4:], MODULES, cgi),
            "LoadModule bucketeer_module %s/mod_bucketeer.so" % MODULES,
            "LoadModule log_config_module %s/mod_log_config.so" % MODULES
            if not self._builtin("mod_log_config") else "",
        ]
        if self.module:
            lines.append("LoadModule rizururuzarida_module %s" % MODULE)
        if cgi == "mod_cgid":
            lines.append("ScriptSock %s/logs/cgid.sock" % self.root)
        if self.mpm == "prefork":
            lines += ["StartServers 2", "MinSpareServers 1", "MaxSpareServers 4"]
        else:
            lines += ["StartServers 1", "ServerLimit 2", "ThreadsPerChild 16",
                      "MinSpareThreads 4", "MaxRequestWorkers 32"]
        lines += [
            "User www-data",
            "Group www-data",
            "TypesConfig /etc/mime.types",
            "AddDefaultCharset Off",
            "KeepAlive On",
            "DocumentRoot %s" % self.docroot,
            "DirectoryIndex index.html",
            "AddHandler cgi-script .cgi .php",
            "<Directory %s>" % self.docroot,
            "  Require all granted",
            "  Options +ExecCGI",
        ]
        if self.filters:
            lines += ["  SetOutputFilter o-kvr-resource-1",
                      "  SetInputFilter i-kvr-resource-1"]
        lines += ["</Directory>", self.extra_conf]
        return "\n".join(lines) + "\n"

    @staticmethod
    def _builtin(name):
        out = subprocess.run([APACHE, "-l"], capture_output=True, text=True).stdout
        return name + ".c" in out

    # --- lifecycle --------------------------------------------------------
    def start(self, wait=True):
        self._layout()
        res = subprocess.run([APACHE, "-f", self._write_conf(), "-k", "start"],
                             capture_output=True, text=True)
        if res.returncode != 0:
            raise RuntimeError("apache2 did not start: %s %s" % (res.stdout, res.stderr))
        pidfile = os.path.join(self.root, "logs", "httpd.pid")
        deadline = time.time() + 15
        while time.time() < deadline:
            try:
                with open(pidfile) as f:
                    self.pid = int(f.read().strip())
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    break
            except (OSError, ValueError):
                time.sleep(0.05)
        else:
            raise RuntimeError("apache2 is not answering on port %d: %s" % (self.port, self.error_log()))
        if wait:
            self.wait_children()
        return self

    def _write_conf(self):
        conf = os.path.join(self.root, "httpd.conf")
        with open(conf, "w") as f:
            f.write(self._conf())
        return conf

    def restart(self, wait=True):
        """Re-reads the server configuration and replaces every child, so
        that the new children load the module's configuration afresh (a
        full stop and start costs more than a second)."""
        self._write_conf()
        page = os.path.join(LOG_DIR, "rizururuzarida_config.html")
        if os.path.exists(page):
            os.remove(page)
        mark = len(self.error_log())
        os.kill(self.pid, signal.SIGHUP)
        deadline = time.time() + 15
        while time.time() < deadline and "resuming normal operations" not in self.error_log()[mark:]:
            time.sleep(0.02)
        if wait:
            self.wait_children()
        return self

    def wait_children(self, timeout=10):
        """Waits until the children have run their start-up (the status page
        is the last thing the load writes)."""
        deadline = time.time() + timeout
        page = os.path.join(LOG_DIR, "rizururuzarida_config.html")
        while self.module and time.time() < deadline and not os.path.exists(page):
            time.sleep(0.05)

    def stop(self):
        if self.pid is None:
            return
        try:
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        deadline = time.time() + 15
        while time.time() < deadline and alive(self.pid):
            time.sleep(0.02)
        if alive(self.pid):
            os.kill(self.pid, signal.SIGKILL)
        self.pid = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def error_log(self):
        try:
            with open(os.path.join(self.root, "logs", "error.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def crashes(self):
        return [l for l in self.error_log().splitlines() if any(m in l for m in CRASH_MARKS)]

    # --- requests ---------------------------------------------------------
    def raw(self, data, timeout=10, source=None, pause=0):
        """Sends raw bytes on a fresh connection and returns everything the
        server sends back until it closes. `data` may be a list of parts,
        sent `pause` seconds apart; `source` is the loopback address to send
        from."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout,
                                      source_address=(source, 0) if source else None) as s:
            for i, part in enumerate(data if isinstance(data, list) else [data]):
                if i:
                    time.sleep(pause)
                s.sendall(part)
            s.shutdown(socket.SHUT_WR)
            chunks = []
            while True:
                b = s.recv(65536)
                if not b:
                    break
                chunks.append(b)
        return b"".join(chunks)

    def request(self, method="GET", path="/", headers=None, body=None, version="HTTP/1.1",
                host=True):
        """One request on its own connection; returns a Response."""
        head = ["%s %s %s" % (method, path, version)]
        hdrs = dict(headers or {})
        if host and not any(k.lower() == "host" for k in hdrs):
            hdrs["Host"] = "127.0.0.1"
        if body is not None and not any(k.lower() in ("content-length", "transfer-encoding")
                                        for k in hdrs):
            hdrs["Content-Length"] = str(len(body))
        hdrs.setdefault("Connection", "close")
        for k, v in hdrs.items():
            head.append("%s: %s" % (k, v))
        data = ("\r\n".join(head) + "\r\n\r\n").encode("latin-1")
        if body is not None:
            data += body
        return parse_responses(self.raw(data))[0]

    def get(self, path="/", **kw):
        return self.request("GET", path, **kw)

    def post(self, path, body, content_type="application/x-www-form-urlencoded", **kw):
        headers = dict(kw.pop("headers", {}) or {})
        if content_type is not None:
            headers["Content-Type"] = content_type
        return self.request("POST", path, headers=headers, body=body, **kw)


class Response:
    def __init__(self, status, reason, headers, body, raw_head):
        self.status = status
        self.reason = reason
        self.headers = headers
        self.body = body
        self.raw_head = raw_head

    def header(self, name, default=None):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return default

    def __repr__(self):
        return "<Response %d %r %d bytes>" % (self.status, self.headers, len(self.body))


def _dechunk(data):
    body = b""
    while True:
        line, _, rest = data.partition(b"\r\n")
        size = int(line.split(b";")[0] or b"0", 16)
        if size == 0:
            _, _, after = rest.partition(b"\r\n")
            return body, after
        body += rest[:size]
        data = rest[size + 2:]


def parse_responses(data):
    """Splits the bytes of one connection into responses (keep-alive)."""
    out = []
    while data:
        head, sep, rest = data.partition(b"\r\n\r\n")
        if not sep:
            raise ValueError("truncated response: %r" % data[:200])
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ", 2)
        status = int(parts[1])
        headers = []
        for l in lines[1:]:
            k, _, v = l.partition(":")
            headers.append((k.strip(), v.strip()))
        r = Response(status, parts[2] if len(parts) > 2 else "", headers, b"", head)
        te = r.header("Transfer-Encoding", "")
        cl = r.header("Content-Length")
        if "chunked" in te.lower():
            r.body, data = _dechunk(rest)
        elif cl is not None:
            n = int(cl)
            r.body, data = rest[:n], rest[n:]
        else:
            r.body, data = rest, b""
        out.append(r)
    return out


class ServerTestCase(unittest.TestCase):
    """Base for tests that run against a real server. One server per test
    class; each test gives it a configuration with start_server(), which
    replaces the children so that they load it. for_each_mpm makes one
    class per MPM."""

    mpm = "event"

    @classmethod
    def setUpClass(cls):
        write_config("")
        cls.httpd = Httpd(cls.mpm)
        cls.httpd.start()

    @classmethod
    def tearDownClass(cls):
        cls.httpd.stop()

    def setUp(self):
        self._log_mark = len(self.httpd.error_log())
        self.addCleanup(self._check_no_crash)

    def start_server(self, ini="", files=None, extra_conf="", filters=True, pages=None,
                     wait=True):
        write_config(ini, files)
        h = self.httpd
        for name, content in (pages or {}).items():
            h.page(name, content, 0o755 if name.endswith((".cgi", ".php")) else 0o644)
        h.extra_conf, h.filters = extra_conf, filters
        h.restart(wait=wait)
        return h

    def error_log_since_start(self):
        return self.httpd.error_log()[self._log_mark:]

    def _check_no_crash(self):
        new = self.error_log_since_start().splitlines()
        crashes = [l for l in new if any(m in l for m in CRASH_MARKS)]
        self.assertEqual([], crashes, "server error log shows crashes:\n" + "\n".join(crashes))


def for_each_mpm(cls):
    """Turns a ServerTestCase subclass into one test class per MPM."""
    import sys
    module = sys.modules[cls.__module__]
    for mpm in MPMS:
        name = "%s_%s" % (cls.__name__, mpm)
        setattr(module, name, type(name, (cls,), {"mpm": mpm, "__module__": cls.__module__}))
    cls.__test__ = False
    return None
