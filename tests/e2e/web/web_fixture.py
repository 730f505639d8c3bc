"""A VELK base directory with a record index, and velk-web serving it, for the web tests.

The tests run in a network namespace of their own (see run_in_netns.sh): every address of
127.0.0.0/8 is theirs, no port is shared with another test.
"""
import http.client
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

BIN = os.environ["VELK_BIN_DIR"]
ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0", QT_QPA_PLATFORM="offscreen")

# A call record as the collector stores it in a raw file, its length digits, text and BCC.
SAMPLE_TEXT = ("52030001FFFF083311FFFF141A0C0808072D00141A0C08080D13009289FFFFFFFFFFFFFFFFFFFF"
               "01020202020003020D0402010502010D0200FF")


def framed(text):
    """The raw file line of a message text: STX, length digits, text, BCC, CR LF."""
    body = "%03X" % (len(text) + 3) + text
    bcc = 0
    for c in body.encode("latin-1"):
        bcc ^= c
    return b"\x02" + (body + "%02X" % bcc).encode("latin-1") + b"\r\n"


def call_text(sequence, dialled, duration_text=None):
    """A call record text: its sequence number and dialled number set, and a Call Duration Time
    field holding duration_text (9 characters, taken by the decoder as they are)."""
    text = SAMPLE_TEXT[:4] + "%04X" % sequence + SAMPLE_TEXT[8:54] + dialled.ljust(24, "F") + \
        SAMPLE_TEXT[78:]
    if duration_text is not None:
        text = text[:-2] + "40%02X" % len(duration_text) + duration_text + "FF"
    return text


def run(args, **kwargs):
    return subprocess.run(args, env=ENV, check=True, capture_output=True, **kwargs)


class Base:
    """A base directory with settings (every field a column) and [Web] lines of the test's."""

    def __init__(self, web_lines=(), settings=()):
        self.dir = tempfile.mkdtemp(prefix="velk-web-test-")
        run([BIN + "/velk-settings", self.dir, "columns=all", "MakeHeader=1", "RawSave=1",
             "RawSaveDaily=1", "SaveToFile=1"] + list(settings))
        if web_lines:
            with open(os.path.join(self.dir, "VELK.INI"), "ab") as ini:
                ini.write(b"\r\n[Web]\r\n" + b"".join(l.encode() + b"\r\n" for l in web_lines))
        self.add_user("alice", "right horse")

    def add_user(self, name, password):
        run([BIN + "/velk-web", "--dir", self.dir, "--add-user", name], input=password.encode() + b"\n")

    def store(self, texts, day="20261208"):
        """Puts the records into Bill's raw file and the record index."""
        os.makedirs(os.path.join(self.dir, "Bill"), exist_ok=True)
        with open(os.path.join(self.dir, "Bill", day + ".raw"), "ab") as raw:
            for t in texts:
                raw.write(framed(t))
        run([BIN + "/velk-index", "--dir", self.dir, "rebuild"])

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Web:
    """velk-web serving a base directory on 127.0.0.1:PORT."""

    def __init__(self, base, port=8080, extra=()):
        self.port = port
        self.log = open(os.path.join(base.dir, "velk-web.log"), "wb")
        self.proc = subprocess.Popen([BIN + "/velk-web", "--dir", base.dir, "--listen",
                                      "127.0.0.1:%d" % port] + list(extra), env=ENV,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.log_path = os.path.join(base.dir, "velk-web.log")
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    raise RuntimeError("velk-web ended: " + self.stop())
                time.sleep(0.05)
        raise RuntimeError("velk-web does not listen")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=20)
        self.log.close()
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            text = log.read()
        # A sanitizer's report ends the program with another code.
        if self.proc.returncode != 0:
            raise RuntimeError("velk-web ended with %d: %s" % (self.proc.returncode, text))
        return text

    def request(self, method, path, body=None, headers=None, cookie=None, source="127.0.0.1"):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10,
                                                source_address=(source, 0))
        headers = dict(headers or {})
        if cookie:
            headers["Cookie"] = "velk_session=" + cookie
        if body is not None and "Content-Type" not in headers:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        connection.request(method, path, body=body, headers=headers)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response.status, dict(response.getheaders()), data

    def login(self, user="alice", password="right horse", source="127.0.0.1"):
        status, headers, _ = self.request(
            "POST", "/login", urllib.parse.urlencode({"user": user, "password": password}),
            source=source)
        cookie = headers.get("Set-Cookie", "")
        token = cookie.split(";")[0].split("=", 1)[1] if cookie.startswith("velk_session=") else ""
        return status, token, cookie
