#!/usr/bin/python3
"""Browser half of bench/web_console.sh."""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time


def proc_cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_memory(pid):
    values = {}
    for line in open("/proc/%d/status" % pid):
        key, _, rest = line.partition(":")
        if key in ("VmRSS", "VmHWM"):
            values[key] = int(rest.split()[0]) / 1024.0
    return values


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def pointer():
    out = subprocess.run(["xdotool", "getmouselocation"], capture_output=True, text=True).stdout
    fields = dict(item.split(":") for item in out.split() if ":" in item)
    return int(fields.get("x", -1)), int(fields.get("y", -1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--base", required=True)
    parser.add_argument("--hub-pid", type=int, required=True)
    parser.add_argument("--cards", type=int, required=True)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--profile", required=True)
    parser.add_argument("--clicks", type=int, default=40)
    parser.add_argument("--shots", default="")
    args = parser.parse_args()

    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1920,2700", "--user-data-dir=" + args.profile]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    js = driver.execute_script
    try:
        driver.get(args.base)
        end = time.time() + 60
        while time.time() < end:
            fed = js("return [...document.querySelectorAll('.card')].filter(c=>+(c.dataset.frames||0)>0).length")
            if fed >= args.cards:
                break
            time.sleep(0.5)
        print("cards with a thumbnail: %d of %d expected" % (fed, args.cards))
        if args.shots:
            take_shots(driver, args.shots)
            return

        cpu0, t0 = proc_cpu_seconds(args.hub_pid), time.time()
        frames0 = js("let s=0;for(const v of window.vl.stats.frames.values())s+=v;return s")
        worst, all_ages = [], []
        while time.time() - t0 < args.seconds:
            time.sleep(0.5)
            ages = js("const now=performance.now();return [...window.vl.stats.lastAt.values()].map(t=>now-t)")
            worst.append(max(ages))
            all_ages.extend(ages)
        cpu1, t1 = proc_cpu_seconds(args.hub_pid), time.time()
        frames1 = js("let s=0;for(const v of window.vl.stats.frames.values())s+=v;return s")
        memory = proc_memory(args.hub_pid)
        print("hub CPU: %.1f %% of one core over %.0f s" % (100.0 * (cpu1 - cpu0) / (t1 - t0), t1 - t0))
        print("hub memory: RSS %.1f MiB, peak %.1f MiB" % (memory.get("VmRSS", 0), memory.get("VmHWM", 0)))
        print("frames shown on the page: %.1f per second" % ((frames1 - frames0) / (t1 - t0)))
        print("thumbnail age (ms since its last frame): median %.0f, p95 %.0f, worst sample %.0f"
              % (statistics.median(all_ages), percentile(all_ages, 95), max(worst)))

        real = js("return [...document.querySelectorAll('.card')].find(c=>!c.dataset.name.includes('sim_'))")
        real.find_element(By.CSS_SELECTOR, ".pic").click()
        live = driver.find_element(By.ID, "live")
        end = time.time() + 10
        while time.time() < end and not js("return window.vl.picture.w"):
            time.sleep(0.1)
        box = js("""const e=arguments[0],r=e.getBoundingClientRect(),p=window.vl.picture,k=Math.min(r.width/p.w,r.height/p.h);
                    return [p.w*k,p.h*k];""", live)
        screen = (1280, 800)
        latencies = []
        rng = random.Random(7)
        for _ in range(args.clicks):
            fu, fv = rng.uniform(0.05, 0.95), rng.uniform(0.05, 0.95)
            want = (fu * (screen[0] - 1), fv * (screen[1] - 1))
            ActionChains(driver).move_to_element_with_offset(
                live, int(round((fu - 0.5) * box[0])), int(round((fv - 0.5) * box[1]))).click().perform()
            deadline = time.time() + 2
            seen = None
            while time.time() < deadline:
                x, y = pointer()
                if abs(x - want[0]) <= 6 and abs(y - want[1]) <= 6:
                    seen = time.time() * 1000.0
                    break
            down_at = js("return window.vl.lastDownAt")
            if seen is not None and down_at:
                latencies.append(max(0.0, seen - down_at))
        if latencies:
            print("click to X pointer (%d of %d clicks): median %.1f ms, p95 %.1f ms, max %.1f ms"
                  % (len(latencies), args.clicks, statistics.median(latencies), percentile(latencies, 95),
                     max(latencies)))
        else:
            print("click to X pointer: no click arrived")
    finally:
        driver.quit()


def take_shots(driver, folder):
    from selenium.webdriver.common.by import By
    js = driver.execute_script
    driver.set_window_size(1440, 900)
    time.sleep(3)
    driver.save_screenshot(os.path.join(folder, "console-overview.png"))
    real = js("return [...document.querySelectorAll('.card')].find(c=>!c.dataset.name.includes('sim_'))")
    real.find_element(By.CSS_SELECTOR, ".pic").click()
    end = time.time() + 10
    while time.time() < end and not js("return window.vl.picture.w"):
        time.sleep(0.1)
    driver.find_element(By.CSS_SELECTOR, '[data-vop="volup"]').click()
    time.sleep(3)
    driver.save_screenshot(os.path.join(folder, "console-agent.png"))
    print("screenshots in", folder)


if __name__ == "__main__":
    main()
