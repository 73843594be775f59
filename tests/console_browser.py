#!/usr/bin/python3
"""The web console in a real browser: headless Chromium, driven by Selenium,
signs in as the demo administrator, finds JOE, denies him QACME_PAY_RUN and
finds the change in the audit trail; the auditor may look but not change.
Every page is saved as a screenshot, and on every page each control must
have a label and the browser must have logged no error (a script or style
the Content-Security-Policy refused would be one).

Usage: console_browser.py CONSOLE_URL SCREENSHOT_DIR
"""
import os
import sys

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.select import Select
from selenium.webdriver.support.ui import WebDriverWait

# An upper bound for pages to appear, never a measure: a slow machine waits.
WAIT_S = 120

UNLABELLED = """
return [...document.querySelectorAll('input, select, textarea, button')]
  .filter(e => e.offsetParent !== null)
  .filter(e => !(e.labels && e.labels.length) && !e.getAttribute('aria-label') &&
               !(e.tagName === 'BUTTON' && e.textContent.trim()))
  .map(e => e.outerHTML);
"""


def browser():
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1280,1000", "--disable-gpu"):
        options.add_argument(argument)
    # The server's certificate is self-signed: TLS is real, trust is not asked.
    options.set_capability("acceptInsecureCerts", True)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Console:
    def __init__(self, driver, url, shots):
        self.driver, self.url, self.shots = driver, url, shots
        self.wait = WebDriverWait(driver, WAIT_S)

    def visible(self, css):
        return self.wait.until(EC.visibility_of_element_located((By.CSS_SELECTOR, css)))

    def text_in(self, css, text):
        self.wait.until(EC.text_to_be_present_in_element((By.CSS_SELECTOR, css), text))

    def check_page(self, name):
        """Saves the page and checks its labels and the browser's log."""
        self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))
        unlabelled = self.driver.execute_script(UNLABELLED)
        assert not unlabelled, f"{name}: controls without a label: {unlabelled}"
        # A page opened without a session asks for one and is told 401.
        errors = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE" and not (
            e["source"] == "network" and "/api/v1/session" in e["message"] and "401" in e["message"])]
        assert not errors, f"{name}: the browser logged errors: {errors}"

    def sign_in(self, profile, password):
        self.driver.get(self.url)
        field = self.visible("#profile")
        # With the keyboard alone: type, Tab to the password, Enter to send.
        field.send_keys(profile, Keys.TAB)
        active = self.driver.switch_to.active_element
        assert active.get_attribute("id") == "password", "Tab does not lead to the password"
        active.send_keys(password)
        self.check_page("signin")
        active.send_keys(Keys.ENTER)
        self.text_in("#who", "Signed in as " + profile)

    def sign_out(self):
        self.driver.find_element(By.ID, "signout").click()
        self.visible("#profile")


def main():
    url, shots = sys.argv[1], sys.argv[2]
    os.makedirs(shots, exist_ok=True)
    driver = browser()
    try:
        c = Console(driver, url, shots)
        # The address alone leads to the console.
        c.sign_in("ADMIN", "demo-password")
        assert driver.current_url.startswith(url.rstrip("/") + "/console/"), driver.current_url

        # The tree, searched: the payroll's run and the groups above it.
        c.visible('#function-tree li[data-function="QACME_PAY"]')
        search = driver.find_element(By.ID, "function-search")
        search.send_keys("run the payroll")
        shown = lambda d: [e.get_attribute("data-function")
                           for e in d.find_elements(By.CSS_SELECTOR, "#function-tree li")]
        c.wait.until(lambda d: "QACME_PAY_SETTINGS" not in shown(d))
        assert shown(driver) == ["QACME_PAY", "QACME_PAY_PAYROLL", "QACME_PAY_RUN"], shown(driver)
        run = driver.find_element(By.CSS_SELECTOR, '#function-tree li[data-function="QACME_PAY_RUN"]')
        assert "denied to 1 profile" in run.text, run.text  # ANN's
        c.check_page("functions")

        # JOE's page: QACME_PAY_RUN allowed by default; deny it.
        driver.find_element(By.LINK_TEXT, "Profiles").click()
        c.visible("#profile-list a[href='#/profiles/JOE']").click()
        select = c.visible("#usage-QACME_PAY_RUN")
        answer = '#profile-tree li[data-function="QACME_PAY_RUN"] [data-answer]'
        assert driver.find_element(By.CSS_SELECTOR, answer).text == "allowed"
        Select(select).select_by_value("denied")
        c.text_in("#message", "QACME_PAY_RUN set to denied for JOE.")
        c.text_in(answer, "denied")
        reason = driver.find_element(
            By.CSS_SELECTOR, '#profile-tree li[data-function="QACME_PAY_RUN"] .reason')
        assert reason.text == "(its own setting)", reason.text
        c.check_page("profile")

        # The audit trail names who changed what, from where.
        driver.find_element(By.LINK_TEXT, "Audit trail").click()
        driver.find_element(By.ID, "audit-function").send_keys("QACME_PAY_RUN", Keys.ENTER)
        c.text_in("#message", "1 change shown.")
        cells = [td.text for td in driver.find_elements(By.CSS_SELECTOR, "#audit-table tbody td")]
        assert cells[1:8] == ["ADMIN", "127.0.0.1", "usage", "JOE", "QACME_PAY_RUN", "default",
                              "denied"], cells
        c.check_page("audit")

        driver.find_element(By.LINK_TEXT, "Status").click()
        c.text_in("#status-list", "ready")
        c.check_page("status")
        c.sign_out()

        # The auditor reads JOE's page but has no control to change it.
        c.sign_in("AUDIT", "demo-password")
        driver.get(url.rstrip("/") + "/console/#/profiles/JOE")
        select = c.visible("#usage-QACME_PAY_RUN")
        assert not select.is_enabled(), "an auditor can change usage"
        c.text_in('#profile-tree li[data-function="QACME_PAY_RUN"] [data-answer]', "denied")
        c.sign_out()
    finally:
        driver.quit()
    print("console: every page shown and checked")


if __name__ == "__main__":
    main()
