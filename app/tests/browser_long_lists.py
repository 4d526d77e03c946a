#!/usr/bin/env python3
"""Lists longer than the screen in a real browser: a part-number search
lists 25 products; drags that start on a row open nothing, the wheel brings
the last row into view and it opens its product; End shows the product's
last place of stock and Page Down the last store. Then `almavel --script`
scrolls the same search and chooses its last row from the top."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import (EMAIL, PASSWORD, browser, control, fresh_phone, parse_arguments,  # noqa: E402
                          play_script, run_page_then_program, screen_text, sign_in, tapper, wait_for_text)

from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

LAST_RESULT = 'row 24: Brocha de 2" | HER-10A1 | 7452100001211'


def drag(driver, wait, name, moves):
    # The page rebuilds its controls a moment after the screen text changes,
    # so the row is waited for and found again if it was replaced meanwhile.
    for _ in range(50):
        try:
            row = wait.until(EC.presence_of_element_located(control(name)))
            chain = ActionChains(driver).move_to_element(row).click_and_hold()
            for dy in moves:
                chain = chain.move_by_offset(0, dy)
            chain.release().perform()
            return
        except StaleElementReferenceException:
            time.sleep(0.1)
    raise AssertionError(f"{name} kept being replaced")


def check_page(url):
    driver = browser()
    wait = WebDriverWait(driver, 60)
    tap = tapper(driver, wait)
    try:
        sign_in(driver, wait, url)
        tap("btCap")
        tap("btSearch")
        wait.until(lambda d: d.find_element(*control("searchBar"))).send_keys("HER")
        tap("btParte")
        wait_for_text(url, "row 0: Martillo de uña")
        # A short drag down at the list's top moves nothing and ends on the
        # row it began on; a long one up brings later rows.
        drag(driver, wait, "row 0.3", [4, 4, 4])
        drag(driver, wait, "row 0.3", [-150, -150])
        wait_for_text(url, "row 15:")
        for _ in range(10):
            if LAST_RESULT in screen_text(url):
                break
            ActionChains(driver).scroll_from_origin(
                ScrollOrigin.from_element(driver.find_element(By.ID, "screenbox")), 0, 300).perform()
        assert "(SearchViewController)" in wait_for_text(url, LAST_RESULT), "a drag opened a product"
        tap("row 0.24")
        wait_for_text(url, "label txtCodigo: 7452100001211")

        tap("btCons")
        wait_for_text(url, "(ExistViewController)")
        ActionChains(driver).send_keys(Keys.END).perform()
        wait_for_text(url, "row 16: Lumecasa Costa del Este | 8")
        for name in ["ResultViewController", "SearchViewController", "CapturaViewController", "MainViewController"]:
            tap("back")
            wait_for_text(url, f"({name})")
        tap("ShowHideMenu")
        tap("menuStoreCon")
        assert "Lumecasa Colón" not in wait_for_text(url, "(StoreTableViewController)")
        ActionChains(driver).send_keys(Keys.PAGE_DOWN).perform()
        wait_for_text(url, "Lumecasa Colón")
    finally:
        driver.quit()


def check_script(binary, env, work):
    script = os.path.join(work, "long_list.script")
    with open(script, "w") as f:
        f.write("\n".join([f"type txtUser {EMAIL}", f"type txtPass {PASSWORD}", "tap logIn", "tap btCap",
                           "tap btSearch", "type searchBar HER", "tap btParte", "scroll down", "scroll to bottom",
                           "scroll to top", "row 24"]) + "\n")
    steps = play_script(binary, env, script, os.path.join(work, "shots")).split("\n== ")
    assert LAST_RESULT in steps[-3], steps[-3]
    assert "row 24" not in steps[-2] and "label txtCodigo: 7452100001211" in steps[-1], steps[-2:]


def main():
    args = parse_arguments(["backend", "app", "bundle", "ca"])

    def program(work, ports, env):
        env, fresh = fresh_phone(args, ports, work, "script")
        check_script(args.app, env, fresh)

    run_page_then_program(args, "almavel-lists-", lambda url, ports, _: check_page(url), program)
    print("long list checks passed")


if __name__ == "__main__":
    main()
