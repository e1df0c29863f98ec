// Reprint after a price change: the catalogue names the menus that show the changed dish, and
// each of them is downloaded again from that list in one click, with the new price, in its own
// template.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import path from "node:path";
import { screenshot, seed, shotsDir, unlabelledControls, openFreshProgram } from "./harness.js";
import { expect } from "./expect.js";

let program;
let browser;
let page;
let shop;

const espresso = { name: "Espresso", detail: "Single origin", extras: "", price: "250", hidden: false };
const cake = { name: "Apple strudel", detail: "Warm, with vanilla sauce", extras: "", price: "450", hidden: false };
before(async () => {
  ({ program, browser, page } = await openFreshProgram({ viewport: { width: 1400, height: 1000 } }));
  [shop] = await seed(page, [{ name: "Kaffeehaus", address: "Ring 1, Wien", menus: [
    { name: "Morning", settings: { template: "modern", colour: "tomato", papersize: "A4" },
      rcategories: [{ name: "Coffee", description: "", hidden: false, ritems: [espresso] }, { name: "Cakes", description: "", hidden: false, ritems: [cake] }] },
    { name: "Afternoon", settings: { template: "chalkboard", papersize: "A4" }, rcategories: [{ name: "Coffee", description: "", hidden: false, ritems: [espresso] }] },
    { name: "Cakes only", settings: { template: "card", papersize: "A4" }, rcategories: [{ name: "Cakes", description: "", hidden: false, ritems: [cake] }] }] }]);
});
after(async () => { await browser?.close(); await program?.remove(); });

test("after a price change the menus that show the dish are listed and each downloads again with the new price", async () => {
  await page.goto(program.url + "#/catalogue");
  const row = page.locator("tr", { hasText: "Espresso" });
  await expect(row).toContainText("Shown on 2 menus");
  await row.getByRole("button", { name: "Edit Espresso" }).click();
  await page.getByRole("dialog").getByLabel(/^Price/).fill("2.80");
  await page.getByRole("dialog").getByRole("button", { name: "Save dish" }).click();
  const list = page.locator("#reprint");
  await expect(list).toContainText("“Espresso” now costs $2.80. Print its menus again:");
  await expect(list.locator("li")).toHaveCount(2);
  await expect(list).toContainText("Morning");
  await expect(list).toContainText("Afternoon");
  assert.equal(await list.locator("li", { hasText: "Cakes only" }).count(), 0, "a menu without the dish is not listed");
  await screenshot(page, "50-catalogue-reprint", { top: true });
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");

  for (const menu of ["Morning", "Afternoon"]) {
    const [download] = await Promise.all([page.waitForEvent("download"), list.getByRole("button", { name: "Download PDF of " + menu }).click()]);
    assert.equal(download.suggestedFilename(), menu + ".pdf");
    const file = path.join(shotsDir, "reprint-" + menu + ".pdf");
    await download.saveAs(file);
    execFileSync("qpdf", ["--check", file]);
    const text = execFileSync("pdftotext", [file, "-"]).toString();
    assert.ok(text.includes("Espresso") && text.includes("$2.80"), menu + " shows the new price:\n" + text);
    assert.ok(!text.includes("$2.50"), menu + " no longer shows the old price");
    await expect(page.locator("#notice")).toContainText(menu + ".pdf");
  }
  // The list stays until it is closed, so the next menu is one click away too.
  await list.getByRole("button", { name: "Close this list" }).click();
  await expect(list.locator("li")).toHaveCount(0);
  // And it comes back from the dish's "Shown on" line whenever a reprint is wanted later.
  await page.locator("tr", { hasText: "Apple strudel" }).getByRole("button", { name: "Shown on 2 menus" }).click();
  await expect(list).toContainText("“Apple strudel” is on these menus:");
  await expect(list.locator("li")).toHaveCount(2);
  await expect(list).toContainText("Cakes only");
  assert.deepEqual(browser.problems, []);
});
