#!/usr/bin/env python3
"""The phone in a real browser: starts the local back end with the sample
data and the almavel program, opens its page in headless Chromium through
Selenium, signs in by typing and clicking, waits for the main menu, opens
and closes the menu, signs out and reads the console panel. Then plays the
same steps with `almavel --script` and checks the screens it prints. With
`page` first, it checks the page itself instead (page_main below)."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from decimal import Decimal

from selenium import webdriver
from selenium.common.exceptions import ElementNotInteractableException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait

EMAIL = "personal@almavel.com.pa"
PASSWORD = "Almavel2024"


def start_backend(binary, work):
    ready = os.path.join(work, "ready.json")
    log = open(os.path.join(work, "backend.log"), "w")
    proc = subprocess.Popen([binary, "--data-dir", os.path.join(work, "data"), "--seed", "--ready-file", ready],
                            stdout=log, stderr=subprocess.STDOUT)
    deadline = time.time() + 60
    while time.time() < deadline:
        if os.path.exists(ready) and os.path.getsize(ready) > 0:
            with open(ready) as f:
                return proc, json.load(f)
        if proc.poll() is not None:
            raise RuntimeError("the back end did not start")
        time.sleep(0.1)
    raise RuntimeError("the back end was not ready in time")


def app_environment(ports, work, bundle, ca):
    routes = []
    for domain in ["quorvane.com", "quorvaneapis.com", "ondrix.com", "ondrixapis.com"]:
        routes += [f"*.{domain}:443=127.0.0.1:{ports['https']}", f"*.{domain}:80=127.0.0.1:{ports['http']}"]
    routes += [f"*.quorvaneio.com:443=127.0.0.1:{ports['wss']}", f"*.quorvaneio.com:80=127.0.0.1:{ports['ws']}",
               f"push-gateway.localhost:443=127.0.0.1:{ports['https']}"]
    sandbox = os.path.join(work, "sandbox")
    os.makedirs(os.path.join(sandbox, "Bundle"), exist_ok=True)
    for name in ["Info.plist", "OndrixService-Info.plist"]:
        shutil.copy(os.path.join(bundle, name), os.path.join(sandbox, "Bundle", name))
    env = dict(os.environ)
    env.update(ALMAVEL_ROUTES=",".join(routes), ALMAVEL_EXTRA_CA=ca, ALMAVEL_SANDBOX=sandbox)
    return env


def start_app(binary, env):
    proc = subprocess.Popen([binary, "--port", "0"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                            text=True)
    output = []
    found = threading.Event()
    url = []

    def drain():
        for line in proc.stdout:
            output.append(line)
            m = re.search(r"open (http://127\.0\.0\.1:\d+/)", line)
            if m and not found.is_set():
                url.append(m.group(1))
                found.set()
        found.set()

    threading.Thread(target=drain, daemon=True).start()
    if not found.wait(120) or not url:
        raise RuntimeError("almavel did not say where to open it:\n" + "".join(output))
    return proc, url[0], output


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1400,900"]:
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def control(name):
    return (By.CSS_SELECTOR, f'#controls [aria-label="{name}"]')


def sign_in(driver, wait, url):
    """Opens the page and signs in with the sample staff account; returns once the main menu shows."""
    driver.get(url)
    wait.until(EC.presence_of_element_located(control("txtUser"))).send_keys(EMAIL)
    field = wait.until(EC.presence_of_element_located(control("txtPass")))
    field.click()
    field.send_keys(PASSWORD)
    wait.until(EC.element_to_be_clickable(control("logIn"))).click()
    wait.until(EC.presence_of_element_located(control("btCap")))


def check_browser(url):
    driver = browser()
    wait = WebDriverWait(driver, 60)
    try:
        sign_in(driver, wait, url)
        assert not driver.find_elements(*control("CloseSession")), "the menu panel starts hidden"

        wait.until(EC.element_to_be_clickable(control("ShowHideMenu"))).click()
        wait.until(EC.presence_of_element_located(control("CloseSession")))
        wait.until(EC.element_to_be_clickable(control("ShowHideMenu"))).click()
        wait.until(EC.invisibility_of_element_located(control("CloseSession")))
        wait.until(EC.element_to_be_clickable(control("ShowHideMenu"))).click()
        wait.until(EC.element_to_be_clickable(control("CloseSession"))).click()
        wait.until(EC.presence_of_element_located(control("logIn")))
        wait.until(EC.invisibility_of_element_located(control("btCap")))
        assert not driver.find_elements(*control("back")), "nothing leads back to the signed-in screens"

        wait.until(lambda d: "APNs token retrieved: 32 bytes" in d.find_element(By.ID, "console").text)
        picture = urllib.request.urlopen(url + "screen.png").read()
        assert picture.startswith(b"\x89PNG"), "the screen is a PNG"
        # A request from another origin may not drive the app.
        request = urllib.request.Request(url + "tap", data=b'{"name":"logIn"}', method="POST",
                                         headers={"Origin": "http://evil.example", "Content-Type": "application/json"})
        try:
            urllib.request.urlopen(request)
            raise AssertionError("a foreign origin was obeyed")
        except urllib.error.HTTPError as e:
            assert e.code == 403, e.code
    finally:
        driver.quit()


def screen_text(url):
    with urllib.request.urlopen(url + "state") as reply:
        return json.load(reply)["screenText"]


def wait_for_text(url, text, timeout=60):
    deadline = time.time() + timeout
    last = ""
    while time.time() < deadline:
        last = screen_text(url)
        if text in last:
            return last
        time.sleep(0.2)
    raise AssertionError(f"{text!r} never shown; the screen:\n{last}")


def scan_picture(driver, tap, url, picture):
    """Opens the barcode screen from the main menu and shows the camera a picture."""
    tap("btCap")
    wait_for_text(url, "Capture un código de barras")
    driver.find_element(By.ID, "cameraFile").send_keys(picture)
    driver.find_element(By.ID, "cameraSend").click()


def page_shows_app_screen(driver):
    """Whether the page's controls are those of the screen the app shows now.
    A tap names the screen its control was on and the host refuses it once
    another screen shows, so a control clicked before the page caught up
    with the app would be lost without a word."""
    state = json.load(urllib.request.urlopen(driver.current_url.split("#")[0].rstrip("/") + "/state"))
    shown = driver.find_element(By.ID, "controls").get_attribute("data-screen")
    return not state["ignoring"] and shown == str(state["screen"])


def answered(driver):
    """Waits until the page has the host's answer to every input it sent and
    shows the state that followed; the page's message (empty, or why the
    last input was refused)."""
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "queue.then(() => done(document.getElementById('message').textContent));")


def tapper(driver, wait):
    """A tap by control name, once the page shows the app's screen; returns
    when the app has taken it. The page rebuilds its controls whenever the
    screen changes, so a control found a moment ago may be gone: it is found
    again."""
    def tap(name):
        for _ in range(50):
            try:
                wait.until(page_shows_app_screen)
                wait.until(EC.element_to_be_clickable(control(name))).click()
            except (StaleElementReferenceException, ElementNotInteractableException):
                time.sleep(0.1)
                continue
            refused = answered(driver)
            assert not refused, f"tapping {name}: {refused}"
            return
        raise AssertionError(f"{name} could not be tapped")
    return tap


def drill_label(work):
    """A picture of the sample drill's EAN-13 label, drawn by zint."""
    label = os.path.join(work, "label.png")
    subprocess.run(["zint", "--quiet", "-b", "EANX", "--scale=2", "--whitesp=10", "--vwhitesp=10",
                    "-d", "0741751003253", "-o", label], check=True)
    return label


def play_script(binary, env, script, shots):
    """Plays a script with `almavel --script`; what it printed."""
    run = subprocess.run([binary, "--script", script, "--shots", shots], env=env, capture_output=True, text=True,
                         timeout=240)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def check_script(binary, env, script, work):
    shots = os.path.join(work, "shots")
    stdout = play_script(binary, env, script, shots)
    assert "screen: Almavel (MainViewController)" in stdout, stdout
    assert stdout.rstrip().split("== 8:")[1].find("(ViewController)") >= 0, stdout
    assert os.path.getsize(os.path.join(shots, "08-tap.png")) > 1000


def stop_all(procs, work):
    """Ends the processes still running and removes the work folder."""
    for proc in procs:
        if proc and proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                proc.kill()
    shutil.rmtree(work, ignore_errors=True)


def fresh_phone(args, ports, work, name):
    """The program's environment for a phone of its own under work/name."""
    folder = os.path.join(work, name)
    os.makedirs(folder)
    return app_environment(ports, folder, args.bundle, args.ca), folder


def run_page_then_program(args, prefix, check_page, check_program, prepare=lambda work: None):
    """Starts the back end and the app, runs check_page(url, ports, prepared)
    on the page, ends the app and runs check_program(work, ports, env) against
    the same back end; everything is stopped and removed at the end."""
    work = tempfile.mkdtemp(prefix=prefix)
    backend = app = None
    try:
        prepared = prepare(work)
        backend, ports = start_backend(args.backend, work)
        env = app_environment(ports, work, args.bundle, args.ca)
        app, url, output = start_app(args.app, env)
        try:
            check_page(url, ports, prepared)
        except Exception:
            print("".join(output), file=sys.stderr)
            raise
        app.terminate()
        app.wait(30)
        app = None
        check_program(work, ports, env)
    finally:
        stop_all([app, backend], work)


def parse_arguments(names):
    parser = argparse.ArgumentParser()
    for name in names:
        parser.add_argument("--" + name, required=True)
    return parser.parse_args()


# The page itself (`browser_test.py page ...`): an empty field shows one
# placeholder (the drawn one, or the browser's while the field has the
# focus); a double click on "Cotizar" opens the quantity screen once and adds
# nothing, the second click refused in Spanish on the side panel; the
# quantity screen's total follows the quantity as it is typed; and the side
# panel says so, in Spanish, when the program has ended.

DRILL = "741751003253"
TRANSPARENT = "rgba(0, 0, 0, 0)"


def placeholder_colour(driver, element):
    return driver.execute_script("return getComputedStyle(arguments[0], '::placeholder').color", element)


def check_placeholders(driver, wait):
    """On the sign-in screen: each empty field's browser placeholder stays
    hidden over the drawn one until the field, focused, covers the picture."""
    for name in ["txtUser", "txtPass"]:
        field = wait.until(EC.presence_of_element_located(control(name)))
        assert field.get_attribute("placeholder"), name + " has a placeholder"
        assert placeholder_colour(driver, field) == TRANSPARENT, name + ": the browser's placeholder shows twice"
        field.click()
        assert placeholder_colour(driver, field) != TRANSPARENT, name + ": no placeholder while focused"
        background = driver.execute_script("return getComputedStyle(arguments[0]).backgroundColor", field)
        assert background == "rgb(255, 255, 255)", name + " does not cover the drawn placeholder: " + background
    driver.find_element(By.ID, "status").click()


def total(text):
    found = re.search(r"Total sin ITBMS:  B/\. ([0-9.,]+)", text)
    assert found, "no total on the screen:\n" + text
    return Decimal(found.group(1).replace(",", ""))


def check_page(driver, wait, url):
    tap = tapper(driver, wait)
    check_placeholders(driver, wait)
    sign_in(driver, wait, url)
    tap("btCap")
    code = wait.until(EC.presence_of_element_located(control("txtCode")))
    code.click()
    code.send_keys(DRILL)
    tap("btSend")
    wait_for_text(url, "(ResultViewController)")

    # Both clicks are aimed at the result screen; the second reaches the
    # host once the quantity screen, whose "Agregar a cotización" is also
    # btAdd, shows.
    ActionChains(driver).double_click(wait.until(EC.element_to_be_clickable(control("btAdd")))).perform()
    wait.until(EC.text_to_be_present_in_element((By.ID, "message"), "Rechazado: la pantalla cambió"))
    text = wait_for_text(url, "(CantViewController)")
    assert "field txtCant: 1" in text, text
    assert "(QuoteViewController)" not in screen_text(url), "the stale click added the product"

    # The total follows the quantity while the field still has the focus.
    one = total(text)
    quantity = wait.until(EC.element_to_be_clickable(control("txtCant")))
    quantity.click()
    quantity.send_keys(Keys.CONTROL, "a")
    quantity.send_keys("3")
    wait_for_text(url, f"Total sin ITBMS:  B/. {one * 3:.2f}")
    assert driver.switch_to.active_element == quantity, "the quantity lost the focus"
    assert "(CantViewController)" in screen_text(url)


def check_program_gone(driver, wait, app):
    app.terminate()
    app.wait(30)
    wait.until(EC.text_to_be_present_in_element((By.ID, "status"), "el programa terminó"))
    assert "activa" not in driver.find_element(By.ID, "status").text
    assert not driver.find_elements(By.CSS_SELECTOR, "#controls .hit"), "controls of a program that has ended"


def page_main():
    args = parse_arguments(["backend", "app", "bundle", "ca"])
    work = tempfile.mkdtemp(prefix="almavel-page-")
    backend = app = driver = None
    output = []
    try:
        backend, ports = start_backend(args.backend, work)
        app, url, output = start_app(args.app, app_environment(ports, work, args.bundle, args.ca))
        driver = browser()
        wait = WebDriverWait(driver, 60)
        driver.get(url)
        check_page(driver, wait, url)
        check_program_gone(driver, wait, app)
    except Exception:
        print("".join(output), file=sys.stderr)
        raise
    finally:
        if driver:
            driver.quit()
        stop_all([app, backend], work)
    print("page checks passed")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "page":
        del sys.argv[1]
        page_main()
        return
    args = parse_arguments(["backend", "app", "bundle", "ca", "script"])
    run_page_then_program(args, "almavel-browser-", lambda url, ports, _: check_browser(url),
                          lambda work, ports, env: check_script(args.app, env, args.script, work))
    print("browser and script checks passed")

if __name__ == "__main__":
    main()
