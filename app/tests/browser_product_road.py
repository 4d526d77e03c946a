#!/usr/bin/env python3
"""The product road in a real browser: signs in, opens the barcode screen,
uploads a picture of a drill's EAN-13 label (drawn by zint) to the camera
panel, waits for the result screen, opens stock and last receipt, shares the
screen and downloads the PNG the album kept, then runs a part-number search
and chooses a row. Then plays the same road with `almavel --script`."""

import os
import sys
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import (browser, control, drill_label, fresh_phone, parse_arguments, play_script,  # noqa: E402
                          run_page_then_program, scan_picture, sign_in, tapper, wait_for_text)

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402


def check_road(url, label_png):
    driver = browser()
    wait = WebDriverWait(driver, 60)
    tap = tapper(driver, wait)

    try:
        sign_in(driver, wait, url)
        # A picture with no code in it: the phone stays on the camera, and
        # only the page's camera panel says nothing was read.
        no_code = os.path.join(os.path.dirname(label_png), "no_code.png")
        with open(no_code, "wb") as out:
            out.write(urllib.request.urlopen(url + "screen.png").read())
        scan_picture(driver, tap, url, no_code)
        wait.until(EC.text_to_be_present_in_element((By.ID, "cameraStatus"), "No se encontró ningún código"))
        assert "(CapturaViewController)" in wait_for_text(url, "Capture un código de barras")
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
        # Penonomé is on the stock screen too: the receipts screen must show.
        wait_for_text(url, "(IngresoViewController)")
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
        tap("row 0.3")
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
    args = parse_arguments(["backend", "app", "bundle", "ca"])

    def program(work, ports, env):
        # A fresh phone: the browser's left the staff signed in.
        env, fresh = fresh_phone(args, ports, work, "script")
        check_script(args.app, env, fresh)

    run_page_then_program(args, "almavel-road-", lambda url, ports, label: check_road(url, label), program,
                          prepare=drill_label)
    print("product road checks passed")

if __name__ == "__main__":
    main()
