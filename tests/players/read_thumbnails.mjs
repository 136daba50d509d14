// Real players read gridwright-sprites' thumbnails: Shaka Player (HLS and DASH) and dash.js
// (DASH) in headless Chromium, over HTTP from a server on the loopback address, as a web page
// would load them. For every time asked it prints the thumbnail the player names, one line each:
//
//   PLAYER PROTOCOL TIME URL X Y W H     (URL relative to ROOT; "none" when the player has none)
//
// and first "tracks PLAYER PROTOCOL N", the image tracks the player found.
//
//   node read_thumbnails.mjs CHROMIUM ROOT HLS_MASTER MPD TIME...
//
// HLS_MASTER and MPD are paths below ROOT ("-" leaves one out). Exits non-zero, with the reason
// on standard error, when a player fails to load or the browser logs an error.

import { createServer } from "node:http";
import { readFile } from "node:fs/promises";
import path from "node:path";
import { fileURLToPath } from "node:url";
import puppeteer from "puppeteer-core";

const [chromium, rootArg, hlsMaster, mpd, ...timeArgs] = process.argv.slice(2);
const root = path.resolve(rootArg);
const times = timeArgs.map(Number);
const here = path.dirname(fileURLToPath(import.meta.url));
const libraries = {
  "/__shaka.js": path.join(here, "node_modules/shaka-player/dist/shaka-player.compiled.js"),
  "/__dash.js": path.join(here, "node_modules/dashjs/dist/modern/umd/dash.all.min.js"),
};
const types = {
  ".m3u8": "application/vnd.apple.mpegurl", ".mpd": "application/dash+xml",
  ".mp4": "video/mp4", ".m4s": "video/iso.segment", ".jpg": "image/jpeg",
  ".js": "text/javascript", ".html": "text/html",
};
const page = `<!doctype html><html><head><link rel="icon" href="data:,"></head><body><video muted></video>
<script src="/__shaka.js"></script><script src="/__dash.js"></script></body></html>`;

const missing = [];
// Serves ROOT, the players' builds and the page, on 127.0.0.1 only.
const server = createServer(async (request, response) => {
  const url = decodeURIComponent(new URL(request.url, "http://localhost").pathname);
  try {
    const file = libraries[url] ?? path.join(root, path.normalize(url));
    if (!libraries[url] && url !== "/__page.html" && !file.startsWith(root + path.sep)) {
      throw new Error("outside the root");
    }
    const body = url === "/__page.html" ? page : await readFile(file);
    response.writeHead(200, {
      "content-type": types[path.extname(url)] ?? "application/octet-stream",
      "access-control-allow-origin": "*",
    });
    response.end(body);
  } catch {
    missing.push(url);
    response.writeHead(404);
    response.end();
  }
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

// The thumbnail's URL relative to ROOT, as served.
const relative = (url) => decodeURIComponent(new URL(url, origin).pathname).replace(/^\//, "");

const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--mute-audio", "--autoplay-policy=no-user-gesture-required"],
});
const lines = [];
const errors = [];
try {
  const tab = await browser.newPage();
  tab.on("pageerror", (e) => errors.push(String(e)));
  tab.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
  await tab.goto(`${origin}/__page.html`);

  const shakaRead = async (protocol, manifest) => {
    const answer = await tab.evaluate(async (url, times) => {
      shaka.polyfill.installAll();
      const video = document.querySelector("video");
      const player = new shaka.Player();
      await player.attach(video);
      try {
        await player.load(url);
      } catch (e) {
        throw new Error(`Shaka Player could not load ${url}: error ${e.code} ${JSON.stringify(e.data)}`);
      }
      const tracks = player.getImageTracks();
      const found = [];
      for (const t of times) {
        const thumb = tracks.length ? await player.getThumbnails(tracks[0].id, t) : null;
        found.push(thumb && { url: thumb.uris[0], x: thumb.positionX, y: thumb.positionY,
                              w: thumb.width, h: thumb.height });
      }
      await player.destroy();
      return { tracks: tracks.length, found };
    }, `${origin}/${manifest}`, times);
    lines.push(`tracks shaka ${protocol} ${answer.tracks}`);
    answer.found.forEach((f, i) => lines.push(f
      ? `shaka ${protocol} ${times[i]} ${relative(f.url)} ${f.x} ${f.y} ${f.w} ${f.h}`
      : `shaka ${protocol} ${times[i]} none`));
  };

  const dashjsRead = async (manifest) => {
    const answer = await tab.evaluate(async (url, times) => {
      const video = document.querySelector("video");
      const player = dashjs.MediaPlayer().create();
      await new Promise((resolve, reject) => {
        player.on(dashjs.MediaPlayer.events.STREAM_INITIALIZED, resolve);
        player.on(dashjs.MediaPlayer.events.ERROR, (e) => reject(new Error(JSON.stringify(e.error))));
        player.initialize(video, url, false);
      });
      const found = [];
      for (const t of times) {
        found.push(await new Promise((resolve) => player.provideThumbnail(t, (thumb) =>
          resolve(thumb && { url: thumb.url, x: thumb.x, y: thumb.y, w: thumb.width, h: thumb.height }))));
      }
      const tracks = player.getTracksFor("image").length;
      player.destroy();
      return { tracks, found };
    }, `${origin}/${manifest}`, times);
    lines.push(`tracks dashjs dash ${answer.tracks}`);
    answer.found.forEach((f, i) => lines.push(f
      ? `dashjs dash ${times[i]} ${relative(f.url)} ${f.x} ${f.y} ${f.w} ${f.h}`
      : `dashjs dash ${times[i]} none`));
  };

  if (hlsMaster !== "-") await shakaRead("hls", hlsMaster);
  if (mpd !== "-") {
    await shakaRead("dash", mpd);
    await dashjsRead(mpd);
  }
} catch (e) {
  errors.push(String(e && e.stack || e));
} finally {
  await browser.close();
  server.close();
}
process.stdout.write(lines.map((l) => l + "\n").join(""));
// A favicon is no player's business.
const missed = missing.filter((url) => url !== "/favicon.ico");
if (missed.length) errors.push("not found: " + missed.join(", "));
if (errors.length) {
  process.stderr.write(errors.join("\n") + "\n");
  process.exit(1);
}
