// Logos: uploaded as a file with a progress bar that moves (the upload slowed down so that the
// program's uploadProgress can be seen counting), pasted as data, picked for a menu, printed in
// its PDF at no more than 300 dpi, refused in words past the limits, and deleted.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { writeFileSync } from "node:fs";
import path from "node:path";
import { screenshot, seed, shotsDir, unlabelledControls, openFreshProgram } from "./harness.js";
import { expect } from "./expect.js";
import { bigMenu } from "./steps.js";

let program;
let browser;
let page;
let shop;

before(async () => {
  ({ program, browser, page } = await openFreshProgram({ viewport: { width: 1400, height: 1000 } }));
  [shop] = await seed(page, [{ name: "Trattoria Logo", address: "1 Picture Row", menus: [bigMenu("Pranzo", { categories: 4, perCategory: 15 })] }]);
});
after(async () => { await browser?.close(); await program?.remove(); });

// A PNG drawn in the page: `noise` makes it photograph-like (large, incompressible).
function drawnPng(width, height, noise) {
  return page.evaluate(async ({ width, height, noise }) => {
    const canvas = document.createElement("canvas");
    canvas.width = width;
    canvas.height = height;
    const c = canvas.getContext("2d");
    if (noise) {
      const image = c.createImageData(width, height);
      for (let i = 0; i < image.data.length; i++) image.data[i] = i % 4 === 3 ? 255 : Math.floor(Math.random() * 256);
      c.putImageData(image, 0, 0);
    } else {
      c.fillStyle = "#7a2e1f";
      c.beginPath(); c.arc(height / 2, height / 2, height * 0.45, 0, 7); c.fill();
      c.fillStyle = "#1d1d1b";
      c.font = `bold ${height * 0.5}px Lato`;
      c.fillText("Trattoria", height * 1.1, height * 0.68);
    }
    const blob = await new Promise((r) => canvas.toBlob(r, "image/png"));
    return [...new Uint8Array(await blob.arrayBuffer())];
  }, { width, height, noise });
}

test("a logo file uploads with a moving progress bar; a pasted one is stored too", async () => {
  await page.goto(program.url + "#/logos");
  await expect(page.getByRole("heading", { name: "No logos yet" })).toBeVisible();
  await expect(page.locator(".drop-zone")).toContainText("at most 500 KB each; Tavolex keeps up to 10 logos");
  await screenshot(page, "40-logos-empty");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");

  const bytes = Buffer.from(await drawnPng(400, 340, true));
  assert.ok(bytes.length > 250000 && bytes.length < 500000, "a photograph-like logo of " + bytes.length + " bytes");
  const file = path.join(shotsDir, "logo-photo.png");
  writeFileSync(file, bytes);
  // Slow the upload down to 300 KB/s so the program's count can be seen moving.
  const cdp = await browser.context.newCDPSession(page);
  await cdp.send("Network.enable");
  await cdp.send("Network.emulateNetworkConditions", { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 300000 });
  const seen = new Set();
  const watching = (async () => {
    for (let i = 0; i < 200; i++) {
      const value = await page.evaluate(() => { const bar = document.getElementById("logo-progress"); return bar && !bar.hidden ? bar.value : null; }).catch(() => null);
      if (value !== null) seen.add(value);
      if (await page.locator(".logo-card").count()) break;
      await new Promise((r) => setTimeout(r, 50));
    }
  })();
  await page.locator("#logo-file").setInputFiles(file);
  await expect(page.locator(".logo-card")).toHaveCount(1);
  await watching;
  await cdp.send("Network.emulateNetworkConditions", { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
  const between = [...seen].filter((v) => v > 0 && v < 100);
  assert.ok(between.length >= 2, "the bar moved through several values: " + [...seen].join(", "));
  await expect(page.locator("#logo-status")).toContainText("was added");

  // Pasted: a large drawing, which the pages scale down to 300 dpi.
  const drawing = await drawnPng(2400, 800, false);
  await page.evaluate((data) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([new Uint8Array(data)], "image.png", { type: "image/png" }));
    document.dispatchEvent(new ClipboardEvent("paste", { clipboardData: transfer, bubbles: true }));
  }, drawing);
  await expect(page.locator(".logo-card")).toHaveCount(2);
  await expect(page.locator("#logo-count")).toContainText("2 of 10 logos stored");
  await screenshot(page, "41-logos");
});

test("the limits are said before they are hit, and the program's refusals in words", async () => {
  await page.goto(program.url + "#/logos");
  await expect(page.locator(".logo-card")).toHaveCount(2);
  const big = path.join(shotsDir, "logo-too-big.png");
  writeFileSync(big, Buffer.alloc(600 * 1024, 1));
  await page.locator("#logo-file").setInputFiles(big);
  await expect(page.locator("#logo-status")).toContainText("is 600 KB; a logo may be at most 500 KB");
  const text = path.join(shotsDir, "logo-notes.txt");
  writeFileSync(text, "not a picture");
  await page.locator("#logo-file").setInputFiles(text);
  await expect(page.locator("#logo-status")).toContainText("is not a PNG, JPEG, GIF or WebP picture");
  await page.evaluate(() => { document.getElementById("notice").hidden = true; });   // a notice left from before
  await screenshot(page, "42-logos-refused");
  // Past the browser's check, the program's own answer is put in words too.
  const answer = await page.evaluate(async () => {
    const { uploadData } = await import("./js/logos.js");
    return uploadData("data:image/png;base64,AAAA".replace("AAAA", "A".repeat(700000)), 0);
  });
  assert.equal(answer.ok, false);
  assert.match(answer.message, /at most 500 KB/);
  const full = await page.evaluate(async () => (await import("./js/logos.js")).uploadData("data:image/png;base64,iVBORw0KGgo=", 10));
  assert.match(full.message, /already keeps 10 logos/);
  // Pages that would pass the program's 5 MB request limit are not sent, and the owner is told.
  const huge = await page.evaluate(async () => (await import("./js/pdf.js")).downloadPdf({ name: "Huge", paper: "A4",
    pages: ['<svg xmlns="http://www.w3.org/2000/svg"><image href="data:image/png;base64,' + "A".repeat(5100000) + '"/></svg>'] }));
  assert.equal(huge.ok, false);
  assert.match(huge.message, /come to 5\.1 MB, more than the 5 MB Tavolex takes at once/);
});

test("a logo picked for a menu is in its PDF at no more than 300 dpi, and a deleted logo leaves the menu", async () => {
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await expect(page.locator("#page-views svg").first()).toBeVisible();
  await page.getByRole("radio", { name: "Logo 2" }).check();
  await expect(page.locator("#page-views svg").first().locator("image")).toHaveCount(1);
  const href = await page.locator("#page-views svg image").first().getAttribute("href");
  assert.match(href, /^data:image\/png;base64,/);
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#save-state")).toContainText("All changes saved");
  await screenshot(page, "43-editor-with-logo", { top: true });
  await page.evaluate(() => { document.getElementById("notice").hidden = true; });
  await page.locator("#page-views figure").first().screenshot({ path: path.join(shotsDir, "44-page-with-logo.png") });
  // Every page posted fits well within the program's 5 MB request limit.
  const [answer, download] = await Promise.all([page.waitForResponse((r) => r.url().endsWith("api/menu/genpdf")),
    page.waitForEvent("download"), page.getByRole("button", { name: "Download PDF" }).click()]);
  const posted = answer.request().postData().length;
  assert.ok(posted < 1000000, "the pages with the logo are " + posted + " bytes");
  const file = path.join(shotsDir, "menu-with-logo.pdf");
  await download.saveAs(file);
  execFileSync("qpdf", ["--check", file]);
  const images = execFileSync("pdfimages", ["-list", file]).toString().trim().split("\n").slice(2).map((l) => l.trim().split(/\s+/));
  assert.ok(images.length >= 1, "pdfimages lists the logo");
  const [, , , width, height, , , , , , , xppi, yppi] = images[0];
  assert.ok(Number(width) < 2400 && Number(width) > 300, "the 2400-pixel drawing was scaled to " + width + "×" + height);
  assert.ok(Number(xppi) <= 301 && Number(yppi) <= 301, "at most 300 dpi: " + xppi + "×" + yppi);

  // The photograph logo, as a file upload, is in a PDF as well.
  await page.getByRole("radio", { name: "Logo 1" }).check();
  const [second] = await Promise.all([page.waitForEvent("download"), page.getByRole("button", { name: "Download PDF" }).click()]);
  const secondFile = path.join(shotsDir, "menu-with-photo-logo.pdf");
  await second.saveAs(secondFile);
  const photo = execFileSync("pdfimages", ["-list", secondFile]).toString().trim().split("\n")[2].trim().split(/\s+/);
  assert.ok(Number(photo[3]) <= 400 && Number(photo[11]) <= 301, "the photograph at most 300 dpi: " + photo.join(" "));

  // The switch to logo 1 was not saved: leaving asks, and it stays as this browser's draft.
  await page.goto(program.url + "#/logos");
  await page.getByRole("dialog").getByRole("button", { name: "Leave" }).click();
  await expect(page.locator(".logo-card")).toHaveCount(2);
  await page.getByRole("button", { name: "Delete logo 1" }).click();
  await expect(page.getByRole("dialog")).toContainText("print without a logo");
  await page.getByRole("dialog").getByRole("button", { name: "Delete logo" }).click();
  await expect(page.locator(".logo-card")).toHaveCount(1);
  // The menu's draft chose logo 1: it says so and prints without it.
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await expect(page.locator("#design")).toContainText("Pick another logo, or none");
  assert.equal(await page.locator("#page-views svg image").count(), 0);
  assert.deepEqual(browser.problems, []);
});
