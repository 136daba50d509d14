"""The player page in a real browser: a clip made with ffmpeg goes through gridwright-sprites,
scripts/player_page.sh writes the page, and headless Chromium loads it with a harness script
that hovers the bar at several places. For each place the preview must show the sheet and the
rectangle of the cue that the track (read here, independently) gives for that time, and the page
must log no error.

    python3 player_page_test.py SPRITES_BIN WORK_DIR
"""

import json
import os
import re
import shutil
import subprocess
import sys
import unittest

SPRITES, WORK = sys.argv[1], sys.argv[2]
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DURATION = 12.0
# Fractions of the bar, none within a pixel of a cue's edge (a mouse event's position is whole pixels).
PLACES = [0.03, 0.21, 0.37, 0.54, 0.7, 0.87, 0.97]

# Appended to the page: hovers the bar once the track is wired, then writes what the preview
# showed, and every error, into the document for --dump-dom to print.
HARNESS = """
<script>
window.__errors = [];
window.addEventListener("error", (e) => window.__errors.push(String(e.message)));
const __consoleError = console.error;
console.error = (...args) => { window.__errors.push(args.join(" ")); __consoleError(...args); };
setTimeout(() => {
  const bar = document.getElementById("bar");
  const preview = document.getElementById("preview");
  const box = bar.getBoundingClientRect();
  const seen = PLACES.map((f) => {
    const x = box.left + f * box.width;
    bar.dispatchEvent(new MouseEvent("mousemove", {clientX: x, clientY: box.top + 2, bubbles: true}));
    return {f, display: preview.style.display, image: preview.style.backgroundImage,
            position: preview.style.backgroundPosition, width: preview.style.width,
            height: preview.style.height, status: document.getElementById("status").textContent};
  });
  const out = document.createElement("pre");
  out.id = "harness-result";
  out.textContent = JSON.stringify({seen, errors: window.__errors});
  document.body.appendChild(out);
}, 1000);
</script>
"""


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True)


def cues(vtt):
    """[(start, end, sheet, x, y, w, h)] from a WebVTT thumbnails track."""
    found = []
    pattern = re.compile(r"(\d+):(\d\d):(\d\d\.\d+) --> (\d+):(\d\d):(\d\d\.\d+)\n([^#\n]+)#xywh="
                         r"(\d+),(\d+),(\d+),(\d+)")
    for m in pattern.finditer(vtt):
        start = int(m[1]) * 3600 + int(m[2]) * 60 + float(m[3])
        end = int(m[4]) * 3600 + int(m[5]) * 60 + float(m[6])
        found.append((start, end, m[7], *(int(m[k]) for k in range(8, 12))))
    return found


class PlayerPage(unittest.TestCase):
    def test_hovering_the_bar_shows_each_moments_thumbnail(self):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        video = os.path.join(WORK, "clip.mp4")
        run("ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
            f"testsrc2=s=320x180:r=25:d={DURATION}", "-c:v", "libx264", "-preset", "ultrafast",
            "-g", "25", video)
        sprites = os.path.join(WORK, "sprites")
        run(SPRITES, video, "-o", sprites, "--interval", "2", "--grid", "2x2", "-q")
        page = os.path.join(WORK, "index.html")
        run("bash", os.path.join(ROOT, "scripts", "player_page.sh"), video, sprites, page)
        with open(page, "a") as f:
            f.write(HARNESS.replace("PLACES", json.dumps(PLACES)))

        browser = subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--mute-audio",
             "--allow-file-access-from-files", "--virtual-time-budget=5000", "--dump-dom",
             "file://" + os.path.abspath(page)],
            capture_output=True, text=True, timeout=120)
        match = re.search(r'<pre id="harness-result">(.*?)</pre>', browser.stdout, re.S)
        self.assertIsNotNone(match, browser.stdout[-2000:] + browser.stderr[-2000:])
        result = json.loads(match[1].replace("&quot;", '"').replace("&amp;", "&"))
        self.assertEqual(result["errors"], [])

        with open(os.path.join(sprites, "thumbnails.vtt")) as f:
            track = cues(f.read())
        self.assertEqual(len(track), 6)
        self.assertEqual(len({c[2] for c in track}), 2)  # two sheets of 2 x 2
        for seen in result["seen"]:
            t = seen["f"] * DURATION
            start, end, sheet, x, y, w, h = next(c for c in track if c[0] <= t < c[1])
            with self.subTest(place=seen["f"]):
                self.assertTrue(seen["status"].startswith("6 thumbnails on 2 sheet(s)"), seen)
                self.assertEqual(seen["display"], "block")
                self.assertTrue(seen["image"].endswith(f'/sprites/{sheet}")'), seen["image"])
                self.assertEqual(seen["position"], f"{-x}px {-y}px")
                self.assertEqual((seen["width"], seen["height"]), (f"{w}px", f"{h}px"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
