// The qnr tune page in a real browser: Debian's chromium, headless, driven
// through its DevTools protocol by puppeteer-core. The pixels the page shows
// are read back from its canvas and compared with the PNG the API gives for
// the same frame and settings, decoded here independently of the browser.
//
//   node tune_page_test.mjs QNR CLIP SCREENSHOT INTERLACED_CLIP
//   (QNR_NODE_MODULES: puppeteer-core's folder)
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { basename, dirname, join, resolve } from "node:path";
import { createInterface } from "node:readline";
import { inflateSync } from "node:zlib";
import assert from "node:assert/strict";

const require = createRequire(resolve(process.env.QNR_NODE_MODULES, "package.json"));
const puppeteer = require("puppeteer-core");
const [qnrPath, clip, screenshotPath, interlacedClip] = process.argv.slice(2);

// ---- a PNG decoder for 8-bit RGB, all five row filters ----
function decodePng(bytes) {
  let width = 0, height = 0;
  const data = [];
  for (let at = 8; at < bytes.length;) {
    const length = bytes.readUInt32BE(at);
    const type = bytes.toString("latin1", at + 4, at + 8);
    const body = bytes.subarray(at + 8, at + 8 + length);
    if (type === "IHDR") {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      assert.equal(body[8], 8, "8 bits per sample");
      assert.equal(body[9], 2, "RGB");
    } else if (type === "IDAT") {
      data.push(body);
    }
    at += 12 + length;
  }
  const raw = inflateSync(Buffer.concat(data));
  const stride = width * 3;
  const rgb = Buffer.alloc(stride * height);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    for (let i = 0; i < stride; i++) {
      const x = raw[y * (stride + 1) + 1 + i];
      const a = i >= 3 ? rgb[y * stride + i - 3] : 0;
      const b = y > 0 ? rgb[(y - 1) * stride + i] : 0;
      const c = i >= 3 && y > 0 ? rgb[(y - 1) * stride + i - 3] : 0;
      const p = a + b - c;
      const paeth = Math.abs(p - a) <= Math.abs(p - b) && Math.abs(p - a) <= Math.abs(p - c)
        ? a : Math.abs(p - b) <= Math.abs(p - c) ? b : c;
      const predicted = [0, a, b, (a + b) >> 1, paeth][filter];
      rgb[y * stride + i] = (x + predicted) & 255;
    }
  }
  return { width, height, rgb };
}

// ---- qnr tune, started as a user starts it ----
const children = [];
function startTune(clip) {
  // From the clip's folder, so that the command lines the page shows (and the
  // screenshot in docs/tune.md) name the clip as a user would, not this build's path.
  const child = spawn(resolve(qnrPath), ["tune", basename(clip), "--no-browser"],
                      { cwd: dirname(clip), stdio: ["ignore", "pipe", "pipe"] });
  const lines = createInterface({ input: child.stdout });
  const output = [];
  let stderr = "";
  child.stderr.on("data", (chunk) => { stderr += chunk; });
  const first = new Promise((resolve, reject) => {
    lines.on("line", (line) => {
      output.push(line);
      if (output.length === 1) resolve(line);
    });
    child.on("exit", () => reject(new Error("qnr tune ended before serving: " + stderr)));
  });
  const exited = new Promise((resolve) => child.on("exit", (code) => resolve(code)));
  children.push(child);
  return { child, first, output, exited, stderr: () => stderr };
}

async function apiPicture(url, query) {
  const address = new URL(url);
  const res = await fetch(`${address.origin}/api/frame?${query}`,
                          { headers: { "X-QNR-Token": address.searchParams.get("token") } });
  assert.equal(res.status, 200, `/api/frame?${query}`);
  return decodePng(Buffer.from(await res.arrayBuffer()));
}

// What the canvas shows of the picture, as RGB, sampled at every image pixel.
async function shownPicture(page) {
  const shown = await page.evaluate(() => {
    const L = window.qnrTune.layout();
    const canvas = document.getElementById("view");
    const w = Math.round(L.width * L.scale), h = Math.round(L.height * L.scale);
    const pixels = canvas.getContext("2d").getImageData(L.x, L.y, w, h).data;
    let text = "";
    for (let i = 0; i < pixels.length; i += 8192) {
      text += String.fromCharCode(...pixels.subarray(i, i + 8192));
    }
    return { layout: L, w, base64: btoa(text) };
  });
  const rgba = Buffer.from(shown.base64, "base64");
  const { width, height, scale } = shown.layout;
  const rgb = Buffer.alloc(width * height * 3);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      // The centre of each image pixel's square on the canvas.
      const cx = Math.floor((x + 0.5) * scale), cy = Math.floor((y + 0.5) * scale);
      for (let k = 0; k < 3; k++) rgb[(y * width + x) * 3 + k] = rgba[(cy * shown.w + cx) * 4 + k];
    }
  }
  return { width, height, scale, rgb };
}

// The picture the page keeps for a bookmark, as RGB.
async function markPicture(page, index) {
  const shown = await page.evaluate((i) => window.qnrTune.markPixels(i), index);
  const rgba = Buffer.from(shown.base64, "base64");
  const rgb = Buffer.alloc(shown.width * shown.height * 3);
  for (let i = 0, j = 0; i < rgba.length; i += 4, j += 3) rgba.copy(rgb, j, i, i + 3);
  return { width: shown.width, height: shown.height, rgb };
}

async function waitShown(page, pieces) {
  await page.waitForFunction(
    (parts) => parts.every((part) => (document.body.dataset.shown || "").includes(part)),
    { timeout: 30000 }, pieces);
  await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => done())));
}

function sameBytes(shown, expected, what) {
  assert.equal(shown.width, expected.width, what + ": width");
  assert.equal(shown.height, expected.height, what + ": height");
  assert.ok(shown.rgb.equals(expected.rgb), what + ": the canvas shows the API's bytes");
}

// ---- the test ----
const tune = startTune(clip);
// qnr tune ends with this test, however it ends.
process.on("exit", () => children.forEach((child) => child.kill("SIGINT")));
const url = await tune.first;
const profile = mkdtempSync(join(tmpdir(), "qnr-tune-chromium-"));
const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  userDataDir: profile,
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         `--user-data-dir=${profile}`, "--force-color-profile=srgb"],
  defaultViewport: { width: 1400, height: 820, deviceScaleFactor: 1 },
});
const problems = [];
let passed = 0;
try {
  const page = await browser.newPage();
  page.on("console", (m) => { if (m.type() === "error") problems.push("console: " + m.text()); });
  page.on("pageerror", (e) => problems.push("page error: " + e.message));
  page.on("requestfailed", (r) => {
    // A seek the page gave up for a newer time is not a failure.
    if (r.failure()?.errorText === "net::ERR_ABORTED" && r.url().includes("&seek=")) return;
    problems.push("request failed: " + r.url());
  });
  page.on("response", (r) => { if (r.status() >= 400) problems.push(`HTTP ${r.status()}: ${r.url()}`); });

  await page.goto(url, { waitUntil: "load" });
  await waitShown(page, ["view=filtered"]);
  const info = await page.evaluate(() => window.qnrTune.state.info);
  const text = (id) => page.$eval("#" + id, (e) => e.textContent);
  assert.equal(await text("config"), info.start.config, "the Config line starts at the module's");
  passed++;

  // The controls are the server's settings table: a slider and a number field
  // for each level, a check box for each flag, labelled as the filter's dialog.
  assert.deepEqual(info.settings.map((d) => d.name),
                   ["f1", "f2", "sharp", "interlace", "show_noise", "disable"]);
  const controls = await page.evaluate(() => window.qnrTune.state.info.settings.map((d) => {
    const input = document.getElementById(d.name);
    const number = document.getElementById(d.name + "-number");
    const label = d.kind === "level" ? document.querySelector(`label[for="${d.name}"]`)
                                     : input.parentElement;
    return { type: input.type, min: input.min, max: input.max, value: input.value,
             checked: input.checked, number: number && [number.min, number.max, number.value],
             label: label.textContent.trim() };
  }));
  info.settings.forEach((d, i) => {
    const c = controls[i];
    assert.equal(c.label, d.label.trim(), d.name + ": label");
    if (d.kind === "level") {
      assert.deepEqual([c.type, c.min, c.max, c.value], ["range", String(d.minimum),
                       String(d.maximum), String(info.start[d.name])], d.name + ": slider");
      assert.deepEqual(c.number, [String(d.minimum), String(d.maximum), String(info.start[d.name])],
                       d.name + ": number field");
    } else {
      assert.deepEqual([c.type, c.checked], ["checkbox", !!info.start[d.name]], d.name + ": box");
    }
  });
  passed++;

  // After alone, at 100 %: the f1 slider to 0 shows the module's output for f1 0.
  await page.click('[data-mode="single"]');
  await page.click('[data-zoom="1"]');
  const before = await shownPicture(page);
  await page.focus("#f1");
  await page.keyboard.press("Home");
  await waitShown(page, ["f1=0&", "view=filtered"]);
  const t = await page.evaluate(() => window.qnrTune.state.t);
  const f1Zero = await apiPicture(url, `t=${t}&f1=0`);
  const shown = await shownPicture(page);
  sameBytes(shown, f1Zero, "f1 0");
  assert.ok(!shown.rgb.equals(before.rgb), "moving f1 changes the picture shown");
  passed++;

  // The settings as text follow the sliders.
  await page.focus("#sharp");
  await page.keyboard.press("End");
  await waitShown(page, ["f1=0&", "sharp=6&"]);
  const m = info.start.multithreading;
  assert.equal(await text("config"), `Config(0,70,6,0,${m})`);
  assert.equal(await text("ffmpeg"), "frei0r=qnr:0|0.7|1|n|n");
  assert.match(await text("command"), /--f1 0 --f2 70 --sharp 6$/);
  assert.equal(await page.$eval("#f1-number", (e) => e.value), "0");
  passed++;

  // Disable, as in the filter's dialog: the module passes the frame through;
  // the Config line, which does not carry it, stays as it was.
  await page.click("#disable");
  await waitShown(page, ["sharp=6&", "disable=1&", "view=filtered"]);
  sameBytes(await shownPicture(page), await apiPicture(url, `t=${t}&view=source`), "disabled");
  assert.match(await text("command"), /--f1 0 --f2 70 --sharp 6 --disable$/);
  assert.equal(await text("config"), `Config(0,70,6,0,${m})`);
  await page.click("#disable");
  await waitShown(page, ["sharp=6&", "disable=0&", "view=filtered"]);
  passed++;

  // The noise view is the module's Show noise picture.
  await page.click('[data-mode="noise"]');
  await waitShown(page, ["view=noise"]);
  sameBytes(await shownPicture(page), await apiPicture(url, `t=${t}&f1=0&sharp=6&show_noise=1`),
            "noise view");
  passed++;

  // 200 %: every image pixel becomes a 2 x 2 block of the same bytes.
  await page.click('[data-zoom="2"]');
  await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => done())));
  const zoomed = await shownPicture(page);
  assert.equal(zoomed.scale, 2);
  sameBytes(zoomed, await apiPicture(url, `t=${t}&f1=0&sharp=6&show_noise=1`), "noise at 200 %");
  passed++;

  // Bookmarks: two frames, each shown with the settings of the moment, the
  // module's bytes for its own frame.
  await page.click('[data-zoom="fit"]');
  await page.click('[data-mode="single"]');
  await page.click("#mark");
  await page.click("#ahead10");
  await page.waitForFunction(() => window.qnrTune.state.frame.number === 10 ||
                                   window.qnrTune.state.frame.number === 9, { timeout: 30000 });
  await page.click("#mark");
  await page.click('[data-mode="marks"]');
  await page.focus("#f2");
  await page.keyboard.press("Home");
  const marks = await page.evaluate(() => window.qnrTune.state.marks.map((m) => m.t));
  assert.equal(marks.length, 2, "two bookmarks");
  await page.waitForFunction((n) => (document.body.dataset.marks || "").split(" ")
    .filter((q) => q.includes("f2=0&")).length === n, { timeout: 30000 }, marks.length);
  for (const [i, markT] of marks.entries()) {
    sameBytes(await markPicture(page, i), await apiPicture(url, `t=${markT}&f1=0&f2=0&sharp=6`),
              `bookmark ${i + 1}`);
  }
  await page.focus("#f2");
  for (let i = 0; i < 70; i++) await page.keyboard.press("ArrowRight");
  await page.click('[data-mode="single"]');
  await page.focus("#goto");
  await page.keyboard.type(String(t));
  await page.keyboard.press("Enter");
  passed++;

  // A picture for docs/tune.md: the split view on moderate settings.
  await page.click('[data-mode="split"]');
  await page.click('[data-zoom="2"]');
  await page.focus("#f1");
  for (let i = 0; i < 45; i++) await page.keyboard.press("ArrowRight");
  await page.focus("#sharp");
  for (let i = 0; i < 3; i++) await page.keyboard.press("ArrowLeft");
  await waitShown(page, ["f1=45&", "sharp=3&", "view=filtered"]);
  await page.screenshot({ path: screenshotPath });

  // Done: the settings line goes to qnr's standard output and qnr ends with 0.
  await page.click("#done");
  assert.equal(await tune.exited, 0, "qnr tune ends with status 0 after Done");
  assert.deepEqual(tune.output.slice(1), [`Config(45,70,3,0,${m})`]);
  passed++;

  assert.deepEqual(problems, [], "no console error and no failed request");
  passed++;

  // Interlaced input: Interlace starts on, the field order is shown, and the
  // fields view shows each field line-doubled.
  const fielded = startTune(interlacedClip);
  const fieldUrl = await fielded.first;
  const second = await browser.newPage();
  await second.goto(fieldUrl, { waitUntil: "load" });
  await waitShown(second, ["interlace=1&", "view=filtered"]);
  assert.equal(await second.$eval("#interlace", (e) => e.checked), true, "Interlace starts on");
  assert.match(await second.$eval("#facts", (e) => e.textContent), /interlaced, top field first/);
  assert.match(await second.$eval("#note", (e) => e.textContent), /Interlace is on/);
  await second.click('[data-zoom="1"]');
  await second.keyboard.press("i");
  await second.evaluate(() => new Promise((done) => requestAnimationFrame(() => done())));
  const asked = await second.evaluate(() => document.body.dataset.shown.replace("view=filtered", ""));
  const frame = await apiPicture(fieldUrl, asked);
  const top = { ...frame, rgb: Buffer.alloc(frame.rgb.length) };
  const row = frame.width * 3;
  for (let y = 0; y < frame.height; y++) frame.rgb.copy(top.rgb, y * row, (y & ~1) * row, ((y & ~1) + 1) * row);
  sameBytes(await shownPicture(second), top, "top field, line-doubled");
  passed++;

  // qnr tune ends under the page: the next action says so and shows the
  // settings line to copy, instead of "Failed to fetch".
  fielded.child.kill("SIGINT");
  await fielded.exited;
  await second.click("#next");
  await second.waitForFunction(() => document.body.dataset.gone === "1", { timeout: 30000 });
  const gone = await second.$eval("#message", (e) => e.textContent);
  assert.match(gone, /no longer running at this address/);
  assert.ok(gone.includes(await second.$eval("#config", (e) => e.textContent)), "the settings line");
  assert.equal(await second.$eval("#done", (e) => e.disabled), true, "Done cannot mislead");
  passed++;
  console.log(`${passed} passed, 0 failed`);
} catch (error) {
  console.error(error);
  if (problems.length) console.error(problems.join("\n"));
  console.log(`${passed} passed, 1 failed`);
  process.exitCode = 1;
} finally {
  await browser.close();
  tune.child.kill("SIGINT");
  rmSync(profile, { recursive: true, force: true });
}
