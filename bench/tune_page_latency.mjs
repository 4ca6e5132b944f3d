// The qnr tune page's own latency in Debian's chromium: a Level f1 change until
// the new picture is drawn, and a seek until both pictures are drawn.
//   node bench/tune_page_latency.mjs QNR CLIP
// with QNR_NODE_MODULES set to the puppeteer-core folder the browser test
// installs (build/tests/tune/browser/node_modules/puppeteer-core).
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import { resolve } from "node:path";
import { createInterface } from "node:readline";
const require = createRequire(resolve(process.env.QNR_NODE_MODULES, "package.json"));
const puppeteer = require("puppeteer-core");
const [qnr, clip] = process.argv.slice(2);
const child = spawn(qnr, ["tune", clip, "--no-browser"], { stdio: ["ignore", "pipe", "ignore"] });
// qnr tune ends with this script, however it ends.
process.on("exit", () => child.kill("SIGINT"));
const url = await new Promise((r) => createInterface({ input: child.stdout }).once("line", r));
const browser = await puppeteer.launch({ executablePath: "/usr/bin/chromium", headless: true, args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                                 "--disable-background-networking", "--disable-sync"], defaultViewport: { width: 1400, height: 820 } });
const page = await browser.newPage();
await page.goto(url);
await page.waitForFunction(() => (document.body.dataset.shown || "").includes("view=filtered"), { timeout: 60000 });
await page.click('[data-mode="single"]');
const times = [];
for (let i = 0; i < 12; i++) {
  const f1 = (i * 7) % 100;
  const t0 = Date.now();
  await page.$eval("#f1", (e, v) => { e.value = String(v); e.dispatchEvent(new Event("input")); }, f1);
  await page.waitForFunction((v) => (document.body.dataset.shown || "").includes(`f1=${v}&`), { timeout: 60000 }, f1);
  times.push(Date.now() - t0);
}
const seeks = [];
// Far apart, in the order of the HTTP benchmark's times on a 12-second clip.
const duration = await page.evaluate(() => window.qnrTune.state.info.duration);
for (const t of [3.5, 9.5, 5.5, 11.5, 7.5, 1.5].map((s) => (s / 12) * duration)) {
  const before = await page.evaluate(() => document.body.dataset.shown);
  const t0 = Date.now();
  await page.$eval("#seek", (e, v) => { e.value = String(v); e.dispatchEvent(new Event("input")); }, t);
  await page.waitForFunction((b) => document.body.dataset.shown !== b, { timeout: 60000 }, before);
  seeks.push(Date.now() - t0);
}
const med = (a) => [...a].sort((x, y) => x - y)[a.length >> 1];
console.log("settings change to drawn, ms:", times.join(" "), "median", med(times));
console.log("seek to drawn (source+filtered), ms:", seeks.join(" "), "median", med(seeks));
await browser.close();
child.kill("SIGINT");
