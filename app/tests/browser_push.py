#!/usr/bin/env python3
"""Push notifications in a real browser: the back end and the almavel program
start, the page's console shows the messaging token the phone got through
the push gateway and instance identity; the page's notification sensor
hands the phone a notification while the app is in front, and the console
panel shows its payload lines while nothing is presented on screen. Then
`almavel --script` plays two pushes of one message id."""

import json
import os
import sys
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import (browser, fresh_phone, parse_arguments, play_script, run_page_then_program)  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

PAYLOAD = {"aps": {"alert": {"title": "Almavel", "body": "Nueva oferta"}}, "kdx.message_id": "m-browser",
           "oferta": "2x1"}


def state(url):
    with urllib.request.urlopen(url + "state") as reply:
        return json.load(reply)


def check_push(url):
    driver = browser()
    wait = WebDriverWait(driver, 90)
    try:
        driver.get(url)
        console = lambda d: d.find_element(By.ID, "console").text  # noqa: E731
        wait.until(lambda d: "Quorvane registration token: " in console(d))
        token_line = [l for l in console(driver).splitlines() if l.startswith("Quorvane registration token: ")][0]
        assert len(token_line) > len("Quorvane registration token: ") + 20, token_line

        box = driver.find_element(By.ID, "notification")
        box.clear()
        box.send_keys(json.dumps(PAYLOAD))
        driver.find_element(By.ID, "notificationSend").click()
        # Logged by the notification centre's callback and by the
        # application's: the id line and the payload, twice.
        wait.until(lambda d: console(d).count("Message ID: m-browser") == 2)
        text = console(driver)
        assert "oferta = 2x1;" in text, text
        assert "body = \"Nueva oferta\";" in text, text
        now = state(url)
        assert now["appState"] == "active", now["appState"]
        assert now["presentedNotifications"] == 0, "a notification in front is not presented"
    finally:
        driver.quit()


def check_script(binary, env, work):
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "push_notification.script")
    stdout = play_script(binary, env, script, os.path.join(work, "shots"))
    # Each push is logged by both callbacks.
    assert stdout.count("Message ID: m-script") == 4, stdout


def main():
    args = parse_arguments(["backend", "app", "bundle", "ca"])

    def program(work, ports, env):
        env, fresh = fresh_phone(args, ports, work, "script")
        check_script(args.app, env, fresh)

    run_page_then_program(args, "almavel-push-", lambda url, ports, _: check_push(url), program)
    print("push checks passed")

if __name__ == "__main__":
    main()
