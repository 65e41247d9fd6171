#!/usr/bin/python3
"""The status page as a person sees it in a browser (Debian's chromium, headless, through
chromium-driver): rows, online and offline, waiting times, a refresh that picks up a new pair
without reloading, and the page going stale when the relay stops. Saves a screenshot.

status_page.py PROGRAM OUT_DIR   (PROGRAM a .exe: run through wine, the browser stays native)
"""
import os, re, shutil, socket, subprocess, sys, tempfile, time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

program, out_dir = os.path.abspath(sys.argv[1]), sys.argv[2]
wine = program.endswith(".exe")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port, send=b""):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(send)
    return s


def device(port, name):
    return connect(port, b"tcp-active-mode:1\nid:'" + name + b"'\n")


ports = {name: free_port() for name in ("devices", "status", "m1", "m2", "m3", "m4")}
scratch = tempfile.mkdtemp(prefix="orv-browser-")
if wine:
    data = os.path.join(os.environ["WINEPREFIX"], "drive_c", "ProgramData", "orv")
    command = ["wine", program, "run"]
else:
    data = scratch
    command = [program, "run"]
os.makedirs(data, exist_ok=True)
for stale in ("orv.log", "orv.log.1"):
    if os.path.exists(os.path.join(data, stale)):
        os.remove(os.path.join(data, stale))
with open(os.path.join(data, "orv.conf"), "wb") as conf:
    conf.write(b"active-mode-port %d\nstatus-port %d\nsession-log on\nmap meter-1 %d\n"
               b"map meter-2 %d\nmap meter-3 %d\nmap we\"ird\\<b>x</b> %d\n" % (
                   ports["devices"], ports["status"], ports["m1"], ports["m2"], ports["m3"],
                   ports["m4"]))
env = dict(os.environ, STATE_DIRECTORY=data, CONFIGURATION_DIRECTORY=data)
relay = subprocess.Popen(command, env=env, cwd=scratch, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
driver = None
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, file=sys.stderr)


def log_text():
    path = os.path.join(data, "orv.log")
    return open(path, "rb").read().decode("utf-8", "replace") if os.path.exists(path) else ""


try:
    deadline = time.time() + 60  # a first Wine start takes seconds
    while "Started" not in log_text():
        if time.time() > deadline or relay.poll() is not None:
            raise SystemExit("the relay did not start:\n" + log_text())
        time.sleep(0.1)
    # meter-1 relays, meter-2's device waits, meter-3 has only a waiting client: offline.
    peers = [connect(ports["m1"]), device(ports["devices"], b"meter-1"),
             device(ports["devices"], b"meter-2"), connect(ports["m3"])]
    peers[0].sendall(b"hello")
    check(peers[1].recv(5) == b"hello", "meter-1 relays")

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + os.path.join(scratch, "browser"), "--window-size=1500,900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.get("http://127.0.0.1:%d/" % ports["status"])
    wait = WebDriverWait(driver, 20, poll_frequency=0.2)

    def row(name):  # a mapping's cells as shown, and whether its row is marked offline
        for identifier, offline, cells in driver.execute_script(
                "return [...document.querySelectorAll('#mappings tr.mapping')].map(tr => "
                "[tr.dataset.id, tr.classList.contains('offline'), "
                "[...tr.cells].map(td => td.innerText.trim())])"):
            if identifier == name:
                return cells, offline
        return [""] * 10, None

    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#mappings tr.mapping")) == 4)
    wait.until(lambda d: row("meter-1")[0][3] == "1")
    waited = re.compile(r"^1 \(\d+ s\)$")
    cells, offline = row("meter-1")
    check(cells[2] == "relaying" and not offline and cells[8] == "5 B",
          "meter-1 relaying: %r" % cells)
    cells, offline = row("meter-2")
    check(cells[2] == "online" and not offline and waited.match(cells[4]),
          "meter-2's device waiting: %r" % cells)
    cells, offline = row("meter-3")
    check(cells[2] == "offline" and offline and waited.match(cells[5]),
          "meter-3 offline, its client waiting: %r" % cells)
    # An identifier is text, escaped as the log writes it, never markup.
    cells, offline = row('we"ird\\\\<b>x</b>')
    check(offline and cells[0] == 'we"ird\\\\<b>x</b>', "the odd identifier shown as text")
    check(not driver.find_elements(By.CSS_SELECTOR, "#mappings b"), "no markup from identifiers")
    zone = driver.find_element(By.ID, "zone").text
    check(re.search(r"local time \(UTC[+-]\d\d:\d\d\), as in its log", zone), "zone: " + zone)
    log_start = re.search(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d+ Started", log_text(), re.M)[1]
    facts = driver.find_element(By.ID, "relay").text
    check(log_start in facts and "orv.conf" in facts, "start time as in the log, config: " + facts)
    check("Clients not allowed" in facts and "Sockets the poller refused" in facts,
          "the refused connections: " + facts)

    # The offline filter leaves the two offline rows.
    driver.find_element(By.CSS_SELECTOR, "#controls button[data-filter=offline]").click()
    shown = [tr.text for tr in driver.find_elements(By.CSS_SELECTOR, "#mappings tr.mapping")]
    check(len(shown) == 2 and all("offline" in text for text in shown),
          "offline filter: %r" % shown)
    driver.find_element(By.CSS_SELECTOR, "#controls button[data-filter=all]").click()

    # A device joins meter-3's waiting client: the next refresh shows it, the page is not reloaded.
    driver.execute_script("window.orvMarker = 1")
    peers.append(device(ports["devices"], b"meter-3"))
    wait.until(lambda d: row("meter-3")[0][2] == "relaying")
    check(driver.execute_script("return window.orvMarker") == 1, "refreshed in place")
    # A row's pairs: both addresses.
    driver.find_element(By.CSS_SELECTOR, "tr[data-id=meter-1] button.toggle").click()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#mappings tr.pair"))
    pair = driver.find_element(By.CSS_SELECTOR, "#mappings tr.pair").text
    check(re.search(r"relaying 127\.0\.0\.1:\d+ 127\.0\.0\.1:\d+ \d{4}-", pair), "pair: " + pair)
    driver.save_screenshot(os.path.join(out_dir, "status-page.png"))

    # The relay stops: the page says its figures are stale.
    relay.terminate()
    relay.wait(30)
    WebDriverWait(driver, 30, poll_frequency=0.5).until(
        lambda d: d.find_element(By.ID, "freshness").text.startswith("Stale"))
    driver.save_screenshot(os.path.join(out_dir, "status-page-stale.png"))
    for s in peers:
        s.close()
finally:
    if driver is not None:
        driver.quit()
    if relay.poll() is None:
        relay.kill()
    relay.wait()
    shutil.rmtree(scratch, ignore_errors=True)

if failures:
    sys.exit("%d checks failed" % len(failures))
print("status page: all checks passed; screenshot in", os.path.join(out_dir, "status-page.png"))
