#!/usr/bin/python3
"""Browser half of e2e_web_console.sh: drives the console page in headless
Chromium. Exit 0 pass, 1 fail, 77 when the browser cannot start here."""
import argparse
import shutil
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request


def fail(text):
    print("FAIL:", text)
    sys.exit(1)


def until(seconds, probe, what):
    end = time.time() + seconds
    while time.time() < end:
        value = probe()
        if value:
            return value
        time.sleep(0.1)
    fail("timed out waiting for " + what)


def http_status(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as reply:
            return reply.status, reply.read().decode("utf-8", "replace")
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode("utf-8", "replace")


def websocket_status(host, port, path):
    with socket.create_connection((host, port), timeout=5) as s:
        s.sendall(("GET %s HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
                   % (path, host, port)).encode())
        head = s.recv(200).decode("latin-1")
    return int(head.split(" ")[1]) if head.startswith("HTTP/") else 0


def check_token(guarded, token):
    host, port = guarded.split("//")[1].rstrip("/").split(":")
    cases = [("no token", guarded, 403), ("wrong token", guarded + "?token=x" + token[1:], 403),
             ("right token", guarded + "?token=" + token, 200)]
    for name, url, want in cases:
        status, body = http_status(url)
        if status != want:
            fail("%s: HTTP %d, expected %d" % (name, status, want))
        if want == 403 and "需要访问令牌" not in body:
            fail("%s: the refusal does not say why: %r" % (name, body[:200]))
    for name, path, want in [("socket without token", "/ws", 403), ("socket with token", "/ws?token=" + token, 101)]:
        got = websocket_status(host, int(port), path)
        if got != want:
            fail("%s: HTTP %d, expected %d" % (name, got, want))


def start_browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,900", "--user-data-dir=" + profile]:
        options.add_argument(flag)
    try:
        return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    except Exception as error:  # any failure to start means: cannot run here
        print("SKIP: headless Chromium cannot start here: %s" % str(error).splitlines()[0])
        sys.exit(77)


def pointer():
    out = subprocess.run(["xdotool", "getmouselocation"], capture_output=True, text=True).stdout
    fields = dict(item.split(":") for item in out.split() if ":" in item)
    return int(fields.get("x", -1)), int(fields.get("y", -1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--base", required=True)
    parser.add_argument("--guarded", required=True)
    parser.add_argument("--token", required=True)
    parser.add_argument("--screen", required=True)
    parser.add_argument("--profile", required=True)
    args = parser.parse_args()
    screen_w, screen_h = (int(v) for v in args.screen.split("x"))

    check_token(args.guarded, args.token)
    print("ok: non-loopback console refuses requests without the token")

    driver = start_browser(args.profile)
    try:
        run_page(driver, args.base, screen_w, screen_h)
    finally:
        driver.quit()
    print("PASS browser")


def run_page(driver, base, screen_w, screen_h):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    js = driver.execute_script
    driver.get(base)
    card = until(15, lambda: js('return document.querySelector(\'.card[data-link="linked"]\')'), "a linked card")
    until(10, lambda: int(card.get_attribute("data-frames") or 0) >= 1, "a first thumbnail")
    picture = lambda: card.find_element(By.CSS_SELECTOR, "img.thumb").get_attribute("src")
    first = picture()
    frames = int(card.get_attribute("data-frames"))
    for colour in ["#203040", "#806020", "#2080a0", "#a02040"]:
        subprocess.run(["xsetroot", "-solid", colour])
        time.sleep(0.6)
    until(8, lambda: int(card.get_attribute("data-frames")) >= frames + 2, "the thumbnail to change")
    until(5, lambda: picture() != first, "the thumbnail to show another picture")
    print("ok: card with a changing thumbnail")

    card.find_element(By.CSS_SELECTOR, ".pic").click()
    live = driver.find_element(By.ID, "live")
    until(10, lambda: js("return window.vl.picture.w"), "the live picture")
    # Where the picture sits inside the element (object-fit: contain).
    box = js("""const e=arguments[0],r=e.getBoundingClientRect(),p=window.vl.picture,k=Math.min(r.width/p.w,r.height/p.h);
                return [r.width,r.height,p.w*k,p.h*k];""", live)
    for fu, fv in [(0.25, 0.75), (0.8, 0.2)]:
        dx = int(round((fu - 0.5) * box[2]))
        dy = int(round((fv - 0.5) * box[3]))
        ActionChains(driver).move_to_element_with_offset(live, dx, dy).click().perform()
        want = (fu * (screen_w - 1), fv * (screen_h - 1))
        got = until(5, lambda: (lambda p: p if abs(p[0] - want[0]) <= 6 and abs(p[1] - want[1]) <= 6 else None)(pointer()),
                    "the X pointer near (%d, %d) (now %s)" % (want[0], want[1], pointer()))
        print("ok: click at %.2f,%.2f of the picture put the pointer at %s" % (fu, fv, got))

    log = driver.find_element(By.ID, "log")
    driver.find_element(By.CSS_SELECTOR, '[data-vop="volup"]').click()
    until(10, lambda: "音量+：" in log.text, "the volume answer")
    driver.find_element(By.CSS_SELECTOR, '[data-vop="restart"]').click()
    until(5, lambda: _alert(driver), "the restart confirmation")
    driver.switch_to.alert.accept()
    until(10, lambda: "重启：" in log.text, "the restart answer")
    line = [l for l in log.text.splitlines() if "重启：" in l][-1]
    if "失败" in line:
        fail("restart refused: " + line)
    print("ok: answers on the page:", " | ".join(l for l in log.text.splitlines() if "：" in l))


def _alert(driver):
    try:
        driver.switch_to.alert
        return True
    except Exception:
        return False


if __name__ == "__main__":
    main()
