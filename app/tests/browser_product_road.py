#!/usr/bin/env python3
"""The product road in a real browser: signs in, opens the barcode screen,
uploads a picture of a drill's EAN-13 label (drawn by zint) to the camera
panel, waits for the result screen, opens stock and last receipt, shares the
screen and downloads the PNG the album kept, then runs a part-number search
and chooses a row. Then plays the same road with `almavel --script`."""

import argparse
import json
import os
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import (app_environment, browser, control, drill_label, play_script, sign_in,  # noqa: E402
                          start_app, start_backend, stop_all, tapper)

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402


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


def check_road(url, label_png):
    driver = browser()
    wait = WebDriverWait(driver, 60)
    tap = tapper(wait)

    try:
        sign_in(driver, wait, url)
        tap("btCap")
        wait_for_text(url, "Capture un código de barras")

        driver.find_element(By.ID, "cameraFile").send_keys(label_png)
        driver.find_element(By.ID, "cameraSend").click()
        text = wait_for_text(url, "Precio regular:  B/. 89.95")
        for line in ["En Oferta:  B/. 74.95", "Oferta valida del 20240601 al 20240630", "Margen: 32.50%",
                     "741751003253"]:
            assert line in text, text

        tap("btCons")
        wait_for_text(url, "(ExistViewController)")
        wait_for_text(url, "Almavel Los Pueblos")
        tap("UltimoIngreso")
        wait_for_text(url, "Almavel Penonomé")
        tap("back")
        wait_for_text(url, "(ExistViewController)")
        tap("back")
        wait_for_text(url, "(ResultViewController)")

        tap("btShare")
        wait_for_text(url, "button Cancel")
        link = driver.find_element(By.ID, "albumLatest").get_attribute("href")
        picture = urllib.request.urlopen(link).read()
        assert picture.startswith(b"\x89PNG"), "the shared screen is kept as a PNG"
        tap("Cancel")
        wait_for_text(url, "(ResultViewController)")
        tap("back")
        wait_for_text(url, "(CapturaViewController)")

        tap("btSearch")
        search = wait.until(EC.presence_of_element_located(control("searchBar")))
        search.click()
        search.send_keys("PIN-20")
        tap("btParte")
        wait_for_text(url, "PIN-20ro")
        driver.find_element(By.CSS_SELECTOR, '#controls [aria-label="row 0.3"]').click()
        wait_for_text(url, "Bandeja para pintura")
        wait_for_text(url, "(ResultViewController)")
    finally:
        driver.quit()


def check_script(binary, env, work):
    """The same road played by `almavel --script`, which prints each screen."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "product_road.script")
    stdout = play_script(binary, env, script, os.path.join(work, "shots"))
    for text in ["Precio regular:  B/. 89.95", "(ExistViewController)", "(IngresoViewController)",
                 "Bandeja para pintura"]:
        assert text in stdout, text + " missing from:\n" + stdout


def main():
    parser = argparse.ArgumentParser()
    for name in ["backend", "app", "bundle", "ca"]:
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="almavel-road-")
    backend = app = None
    try:
        label = drill_label(work)
        backend, ports = start_backend(args.backend, work)
        env = app_environment(ports, work, args.bundle, args.ca)
        app, url, output = start_app(args.app, env)
        try:
            check_road(url, label)
        except Exception:
            print("".join(output), file=sys.stderr)
            raise
        app.terminate()
        app.wait(30)
        app = None
        # A fresh phone: the browser's left the staff signed in.
        fresh = os.path.join(work, "script")
        os.makedirs(fresh)
        check_script(args.app, app_environment(ports, fresh, args.bundle, args.ca), fresh)
        print("product road checks passed")
    finally:
        stop_all([app, backend], work)


if __name__ == "__main__":
    main()
