#!/usr/bin/env python3
"""A whole shift in a real browser: sign in, scan a drill's label, open the
share sheet (the phone's own, in Spanish), quote two of them and read the
totals, check the member's card account, update the profile with a photo
uploaded through the page, browse the offers and the stores, and sign out.
The back end's storage log shows the photo went up once, as a JPEG under
1 MiB, and the quotation line is in the database; after the page's
background sensor, the analytics batches name every screen of the shift in
order. Then the demo script walks every screen with `almavel --script` on a
fresh phone."""

import glob
import json
import os
import shutil
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import (browser, control, drill_label, fresh_phone, parse_arguments, play_script,  # noqa: E402
                          run_page_then_program, scan_picture, sign_in, tapper, wait_for_text)

from selenium.common.exceptions import ElementNotInteractableException, StaleElementReferenceException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

STAFF_UID = "almavelStaff0000000000000001"


def admin(ports, path):
    request = urllib.request.Request(f"http://127.0.0.1:{ports['http']}{path}",
                                     headers={"X-Almavel-Admin-Secret": ports["adminSecret"]})
    with urllib.request.urlopen(request) as reply:
        return json.load(reply)


def storage_requests(ports):
    """The storage service's request log, every page of it, oldest first."""
    requests, offset = [], 0
    while offset is not None:
        page = admin(ports, f"/__admin/storage/requests?offset={offset}")
        requests += page["requests"]
        offset = page.get("next")
    return requests


def photo_uploads(ports):
    """The upload chunks sent in this shift (only the member's photo goes up): (status, size) of each."""
    return [(r["status"], r["bodySize"]) for r in storage_requests(ports) if r["kind"] == "uploadChunk"]


# The screens of the shift, in the order it shows them.
SHIFT_SCREENS = ["ViewController", "MainViewController", "CapturaViewController", "ResultViewController",
                 "UIActivityViewController", "ResultViewController", "CantViewController", "QuoteViewController",
                 "MainViewController", "TarjetaViewController", "DatosViewController", "TarjetaViewController",
                 "MainViewController", "ProfileViewController", "UIImagePickerController", "ProfileViewController",
                 "MainViewController", "SalesTableViewController", "MainViewController", "StoreTableViewController",
                 "MainViewController", "ViewController"]


def screen_views(ports):
    """The screen classes of the stored screen views ("_vs"), in upload order."""
    screens = []
    for batch in admin(ports, "/__admin/analytics/batches")["batches"]:
        for bundle in batch["bundles"]:
            for event in bundle.get("events", []):
                if event.get("name") == "_vs":
                    screens += [p["string_value"] for p in event.get("params", []) if p.get("name") == "_sc"]
    return screens


def check_screen_views(driver, ports):
    """The page's background sensor sends the app away; the upload that
    follows names the shift's screens."""
    driver.find_element(By.ID, "background").click()
    deadline = time.time() + 60
    while time.time() < deadline and screen_views(ports) != SHIFT_SCREENS:
        time.sleep(0.2)
    assert screen_views(ports) == SHIFT_SCREENS, screen_views(ports)


def check_shift(url, ports, label_png, photo_png):
    driver = browser()
    wait = WebDriverWait(driver, 60)
    tap = tapper(driver, wait)

    def type_into(name, text):
        for _ in range(50):
            try:
                field = wait.until(EC.element_to_be_clickable(control(name)))
                field.click()
                # Selecting what is there keeps the field focused, where clear()
                # would blur it: the page rebuilds unfocused controls under the
                # typing. Enter ends the editing, which hands the whole text to
                # the app.
                field.send_keys(Keys.CONTROL + "a")
                field.send_keys(text + Keys.ENTER)
                return
            except (StaleElementReferenceException, ElementNotInteractableException):
                time.sleep(0.1)
        raise AssertionError(f"nothing could be typed into {name}")

    def from_menu(road, shown):
        tap("ShowHideMenu")
        tap(road)
        return wait_for_text(url, shown)

    def reads(name, text):
        """Waits until the page's control `name` says `text`."""
        WebDriverWait(driver, 60, ignored_exceptions=[StaleElementReferenceException]).until(
            lambda d: [e.get_attribute("textContent") for e in d.find_elements(*control(name))] == [text])

    try:
        sign_in(driver, wait, url)
        # The page's file controls speak Spanish: the browser's own ("Choose
        # File") are hidden behind them.
        for chooser in ["cameraFile", "photoFile"]:
            assert driver.find_element(By.ID, chooser + "Choose").text == "Elegir imagen…"
            assert driver.find_element(By.ID, chooser + "Name").text == "Ningún archivo seleccionado"
            size = driver.find_element(By.ID, chooser).size
            assert size["width"] <= 1 and size["height"] <= 1, size

        # Scan and quote two drills.
        scan_picture(driver, tap, url, label_png)
        assert driver.find_element(By.ID, "cameraFileName").text == os.path.basename(label_png)
        wait_for_text(url, "741751003253")
        # The share sheet is the phone's, in the phone's language (Spanish,
        # Panama), its buttons still named in English for scripts.
        tap("btShare")
        for name, text in [("Message", "Mensaje"), ("Mail", "Correo"), ("Copy", "Copiar"),
                           ("Save Image", "Guardar imagen"), ("Cancel", "Cancelar")]:
            reads(name, text)
        tap("Cancel")
        tap("btAdd")
        wait_for_text(url, "(CantViewController)")
        type_into("txtCant", "2")
        tap("btAdd")
        text = wait_for_text(url, "(QuoteViewController)")
        # Two at the offer price of 74.95.
        text = wait_for_text(url, "B/. 149.90")
        for line in ["B/. 10.49", "B/. 160.39"]:
            assert line in text, text
        line = admin(ports, f"/__admin/rtdb/data?ns=almavel-pa&path=/qu0t3s/users/{STAFF_UID}/quote/741751003253")
        assert line["data"]["cantidad"] in (2, "2"), line
        tap("Menu")
        wait_for_text(url, "(MainViewController)")

        # The member's card account.
        from_menu("menuTarjCon", "(TarjetaViewController)")
        type_into("txtCedula", "8-123-456")
        type_into("txtCuenta", "400012345678")
        tap("btConfirm")
        wait_for_text(url, "(DatosViewController)")
        wait_for_text(url, "B/. 1500.00")
        tap("back")
        tap("back")
        wait_for_text(url, "(MainViewController)")

        # The profile, with a new photo picked through the page.
        from_menu("menuProfileCon", "(ProfileViewController)")
        wait_for_text(url, "Marta")
        tap("UpdatePhoto")
        picker = wait_for_text(url, "UIImagePickerController")
        assert "label: Cámara" in picker, picker
        reads("Take Photo", "Tomar foto")
        reads("Cancel", "Cancelar")
        driver.find_element(By.ID, "photoFile").send_keys(photo_png)
        driver.find_element(By.ID, "photoSend").click()
        wait_for_text(url, "(ProfileViewController)")
        assert not photo_uploads(ports), "the photo goes up with the save"
        type_into("txtTelefono", "6600-9999")
        tap("BtUpdate")
        deadline = time.time() + 60
        while time.time() < deadline and not any(status == 200 for status, _ in photo_uploads(ports)):
            time.sleep(0.2)
        finished = [size for status, size in photo_uploads(ports) if status == 200]
        assert len(finished) == 1 and 0 < finished[0] <= 1024 * 1024, photo_uploads(ports)
        stored = admin(ports, f"/__admin/rtdb/data?ns=almavel-pa&path=/us3r1nf0/{STAFF_UID}")["data"]
        assert stored["Telefono"] == "6600-9999" and stored["Correo"] == "personal@almavel.com.pa", stored
        tap("back")
        wait_for_text(url, "(MainViewController)")

        # Offers and stores.
        from_menu("menuSalesCon", "(SalesTableViewController)")
        tap("back")
        wait_for_text(url, "(MainViewController)")
        from_menu("menuStoreCon", "(StoreTableViewController)")
        text = wait_for_text(url, "Fax: 269-4411")
        assert "Teléfono: 269-4410" in text, text
        tap("back")
        wait_for_text(url, "(MainViewController)")

        # Sign out.
        tap("ShowHideMenu")
        tap("CloseSession")
        wait.until(EC.presence_of_element_located(control("logIn")))
        check_screen_views(driver, ports)
    finally:
        driver.quit()


def check_demo(binary, env, resources, work):
    """The demo script played by the program, which prints each screen."""
    for picture in glob.glob(os.path.join(resources, "*.png")):
        shutil.copy(picture, os.path.join(env["ALMAVEL_SANDBOX"], "Bundle"))
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "demo.script")
    stdout = play_script(binary, env, script, os.path.join(work, "shots"))
    for screen in ["(RegisterViewController)", "(ResetViewController)", "(ResultViewController)",
                   "(ExistViewController)", "(IngresoViewController)", "(QuoteViewController)",
                   "(SearchViewController)", "(DatosViewController)", "(SorryViewController)",
                   "(ProfileViewController)", "(SalesTableViewController)", "(StoreTableViewController)"]:
        assert screen in stdout, screen + " missing from:\n" + stdout


def main():
    args = parse_arguments(["backend", "app", "bundle", "ca", "resources"])

    def prepare(work):
        photo = os.path.join(work, "photo.png")
        subprocess.run(["zint", "--quiet", "-b", "QRCODE", "--scale=8", "-d", "Marta Castillo", "-o", photo],
                       check=True)
        return drill_label(work), photo

    def program(work, ports, env):
        env, fresh = fresh_phone(args, ports, work, "demo")
        check_demo(args.app, env, args.resources, fresh)

    run_page_then_program(args, "almavel-shift-", lambda url, ports, files: check_shift(url, ports, *files), program,
                          prepare=prepare)
    print("shift checks passed")

if __name__ == "__main__":
    main()
