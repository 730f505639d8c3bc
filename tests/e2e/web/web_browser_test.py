"""velk-web in a real browser (Debian's headless chromium through chromium-driver), against a
collector that velk-pbx-sim feeds: login, status, calls as they arrive, Find against velk-report,
the CSV export against the decoded file, a report's chart, logout. With VELK_WEB_SHOTS set, the
browser's screenshots of each page go there."""
import csv
import glob
import io
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

import web_fixture as fx

SHOTS = os.environ.get("VELK_WEB_SHOTS", "")
URL = "http://127.0.0.1:8080"


def wait_for(what, seconds=10, step=0.05):
    deadline = time.monotonic() + seconds
    while True:
        value = what()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("waited %s s in vain" % seconds)
        time.sleep(step)


class WebBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = fx.Base(settings=["IP address=127.0.0.1", "Server Port index=0", "IP_Used=1",
                                     "AutoConnection=1", "RequestDelayAfterNormalData=50"])
        cls.procs = []
        cls.sim = cls.start([fx.BIN + "/velk-pbx-sim", "--rate", "3", "--traffic-every", "5"],
                            "sim.log")
        cls.collector = cls.start([fx.BIN + "/velk-collector", "--dir", cls.base.dir],
                                  "collector.log")
        cls.web = fx.Web(cls.base)
        cls.downloads = tempfile.mkdtemp(prefix="velk-web-downloads-")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--window-size=1400,900", "--no-first-run", "--disable-extensions"):
            options.add_argument(a)
        options.add_experimental_option("prefs", {
            "download.default_directory": cls.downloads, "download.prompt_for_download": False})
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.browser.set_page_load_timeout(20)
        cls.browser.execute_cdp_cmd("Page.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": cls.downloads})

    @classmethod
    def start(cls, args, log):
        out = open(os.path.join(cls.base.dir, log), "wb")
        proc = subprocess.Popen(args, env=fx.ENV, stdout=out, stderr=subprocess.STDOUT,
                                cwd=cls.base.dir)
        cls.procs.append((proc, out))
        return proc

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.web.stop()
        for proc, out in reversed(cls.procs):
            if proc.poll() is None:
                proc.terminate()
                proc.wait(timeout=20)
            out.close()
        shutil.rmtree(cls.downloads, ignore_errors=True)
        cls.base.remove()

    def shot(self, name):
        if SHOTS:
            os.makedirs(SHOTS, exist_ok=True)
            self.browser.save_screenshot(os.path.join(SHOTS, name + ".png"))

    def by_id(self, name):
        return self.browser.find_element(By.ID, name)

    def log_in(self, password):
        self.browser.get(URL + "/login")
        self.by_id("user").send_keys("alice")
        self.by_id("password").send_keys(password)
        self.by_id("login").click()

    def report(self, *args):
        return subprocess.run([fx.BIN + "/velk-report", "--dir", self.base.dir, "--format", "csv"]
                              + list(args), env=fx.ENV, check=True, capture_output=True).stdout

    def stored_raw_lines(self):
        count = 0
        for f in glob.glob(os.path.join(self.base.dir, "Bill", "*.raw")):
            with open(f, "rb") as raw:
                count += raw.read().count(b"\r\n")
        return count

    def test_console(self):
        # A wrong password is refused; the right one opens the status page.
        self.log_in("wrong horse")
        # The answer comes once the password was checked, which takes its time on purpose.
        problem = wait_for(lambda: self.browser.find_elements(By.ID, "login-problem"))
        self.assertEqual(problem[0].text, "Wrong name or password.")
        self.shot("1-login-refused")
        self.log_in("right horse")
        wait_for(lambda: self.browser.current_url == URL + "/status")

        # The status shows the link up and the calls stored today, live.
        wait_for(lambda: self.by_id("link").get_attribute("class") == "up" and
                 int(self.by_id("records-today").text) >= 3)
        self.assertIn("connected", self.by_id("link").text)
        self.shot("2-status")

        # A call the simulator sends is on the Calls page within 2 s of being stored.
        self.browser.get(URL + "/calls")
        for _ in range(3):
            before = self.stored_raw_lines()
            wait_for(lambda: self.stored_raw_lines() > before, step=0.01)
            stored_at = time.monotonic()
            sequence = "%04d" % self.stored_raw_lines()
            wait_for(lambda: self.browser.execute_script(
                "const r = document.querySelector('#calls tr');"
                "return r ? r.cells[0].textContent : ''") >= sequence, seconds=2, step=0.02)
            self.assertLess(time.monotonic() - stored_at, 2.0)
        self.shot("3-calls")

        # The simulator stops: the index holds every call from now on.
        self.sim.terminate()
        self.sim.wait(timeout=20)
        time.sleep(1.5)
        total = self.stored_raw_lines()
        # The status counts every call stored today; the link is down with the simulator.
        self.browser.get(URL + "/status")
        wait_for(lambda: self.by_id("records-today").text == str(total), seconds=5)
        wait_for(lambda: self.by_id("link").get_attribute("class") == "down", seconds=5)

        # Find with two cases lists the calls velk-report finds with the same cases.
        self.browser.get(URL + "/find")
        self.by_id("c1f3").send_keys("1?")
        self.by_id("c2f6").send_keys("0?")
        self.by_id("c2f0").send_keys("<30")
        self.by_id("find").click()
        wait_for(lambda: self.browser.find_elements(By.ID, "count"))
        cases = os.path.join(self.base.dir, "two.cases")
        with open(cases, "w") as f:
            f.write("[Case 1]\nCalling Phone Number=1?\n[Case 2]\nDialled Phone Number=0?\n"
                    "Sequence Number=<30\n")
        expected = list(csv.reader(io.StringIO(self.report("--cases", cases).decode("latin-1"))))
        header, rows = expected[0], expected[1:]
        self.assertGreater(len(rows), 0)
        self.assertLess(len(rows), total)
        self.assertEqual(int(self.by_id("count").text), len(rows))
        table = self.browser.execute_script(
            "return Array.from(document.querySelectorAll('#results tr')).map("
            "r => Array.from(r.cells).map(c => c.textContent));")
        self.assertEqual(table[0], header)
        self.assertEqual(table[1:], rows)
        self.shot("4-find")

        # The export is the decoded file's header and lines of those calls, byte for byte.
        self.by_id("export").click()
        exported = wait_for(lambda: [f for f in glob.glob(os.path.join(self.downloads, "*.csv"))
                                     if not f.endswith(".crdownload")])
        time.sleep(0.3)
        with open(exported[0], "rb") as f:
            got = f.read()
        decoded = b""
        for name in sorted(glob.glob(os.path.join(self.base.dir, "Bill", "*.csv"))):
            with open(name, "rb") as f:
                decoded += f.read()
        lines = decoded.split(b"\r\n")
        wanted = {r[0].encode() for r in rows}
        want = lines[0] + b"\r\n" + b"".join(l + b"\r\n" for l in lines[1:]
                                              if l.split(b";")[0] in wanted)
        self.assertEqual(got, want)

        # A report's chart is drawn: the canvas holds painted pixels.
        self.browser.get(URL + "/reports?by=hour")
        wait_for(lambda: self.by_id("chart").get_attribute("data-drawn") == "1")
        painted = self.browser.execute_script(
            "const c = document.getElementById('chart');"
            "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
            "let n = 0; for (let i = 3; i < d.length; i += 4) if (d[i] > 0) n++; return n;")
        self.assertGreater(painted, 1000)
        self.shot("5-reports")

        trf = sorted(glob.glob(os.path.join(self.base.dir, "Trf", "*.trf")))
        if trf:
            day = os.path.basename(trf[0])[:8]
            self.browser.get(URL + "/load?date=%s-%s-%s" % (day[:4], day[4:6], day[6:]))
            self.assertTrue(self.browser.find_elements(By.ID, "load-totals"))
            self.shot("6-system-load")

        # Logout ends the session: the page and the old cookie lead to the login.
        cookie = self.browser.get_cookie("velk_session")["value"]
        self.by_id("logout").click()
        wait_for(lambda: self.browser.current_url == URL + "/login")
        self.browser.get(URL + "/calls")
        self.assertEqual(self.browser.current_url, URL + "/login")
        self.assertEqual(self.web.request("GET", "/api/status", cookie=cookie)[0], 401)


if __name__ == "__main__":
    unittest.main(verbosity=2)
