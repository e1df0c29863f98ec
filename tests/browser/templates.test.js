// The templates: each of them lays out the same 60-dish menu into pages whose PDF reads back
// complete; the design chosen (template, colours, type, columns) is kept in the menu's
// settings, so the menu reopens as it was left and a copy keeps it; switching re-lays the pages.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import path from "node:path";
import { screenshot, seed, shotsDir, unlabelledControls, openFreshProgram } from "./harness.js";
import { expect } from "./expect.js";
import { bigMenu, bigMenuPrices } from "./steps.js";

const TEMPLATES = [
  { id: "classic", name: "Classic" }, { id: "modern", name: "Modern" },
  { id: "chalkboard", name: "Chalkboard" }, { id: "card", name: "One-page card" },
];
let program;
let browser;
let page;
let shop;

before(async () => {
  ({ program, browser, page } = await openFreshProgram({ viewport: { width: 1400, height: 1000 } }));
  [shop] = await seed(page, [{ name: "Osteria Sessanta", address: "Via Lunga 60, Bologna", menus: [bigMenu("Sixty dishes")] }]);
});
after(async () => { await browser?.close(); await program?.remove(); });

const escape = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");

test("every template lays out the 60-dish menu into pages whose PDF holds every dish and price", async () => {
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await expect(page.locator("#page-views svg").first()).toBeVisible();
  for (const [index, template] of TEMPLATES.entries()) {
    await page.getByRole("radio", { name: new RegExp("^" + template.name) }).check();
    await expect(page.locator("#page-count")).toContainText(template.name);
    const pages = await page.locator("#page-views svg").count();
    assert.equal(await page.locator("#overflow .overflow-list").count(), 0, template.id + ": no dish left out");
    await page.evaluate(() => { document.getElementById("notice").hidden = true; });
    await page.locator("#page-views figure").first().screenshot({ path: path.join(shotsDir, `2${index + 1}-template-${template.id}-page1.png`) });
    if (index === 0) {
      await page.evaluate(() => { document.querySelector(".pages").scrollTop = 0; });
      await screenshot(page, "20-editor-design", { top: true });
      assert.deepEqual(await unlabelledControls(page), [], "every control has a name");
    }
    const [download] = await Promise.all([page.waitForEvent("download"), page.getByRole("button", { name: "Download PDF" }).click()]);
    const file = path.join(shotsDir, `template-${template.id}.pdf`);
    await download.saveAs(file);
    execFileSync("qpdf", ["--check", file]);
    assert.match(execFileSync("pdfinfo", [file]).toString(), new RegExp("Pages:\\s+" + pages + "\\n"), template.id + ": as many PDF pages as the preview");
    const text = execFileSync("pdftotext", [file, "-"]).toString().replace(/\s+/g, " ");
    assert.ok(text.includes("Sixty dishes") && text.includes("Osteria Sessanta"), template.id + ": the title block");
    for (const dish of bigMenuPrices()) {
      assert.match(text, new RegExp(escape(dish.name) + "(?!\\d)"), `${template.id}: the PDF shows ${dish.name}`);
      assert.ok(text.includes(dish.price), `${template.id}: the PDF shows the price ${dish.price}`);
    }
    for (const category of ["Starters", "Soups", "Pasta", "Mains", "Desserts", "Drinks"]) {
      assert.ok(text.toLowerCase().includes(category.toLowerCase()), `${template.id}: the heading ${category}`);
    }
  }
  assert.deepEqual(browser.problems, []);
});

test("the design is kept in the menu's settings: it reopens as left, and a copy keeps it", async () => {
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await expect(page.locator("#page-views svg").first()).toBeVisible();
  await page.getByRole("radio", { name: /^Chalkboard/ }).check();
  await page.getByLabel("Colours", { exact: true }).selectOption("blue-orange");
  await page.getByLabel("Type", { exact: true }).selectOption("opensans");
  await page.getByLabel("Columns", { exact: true }).selectOption("2");
  await page.getByLabel("Paper", { exact: true }).selectOption("Letter");
  // The pages follow at once: the board's colour is in the page.
  await expect(page.locator("#page-views svg rect").first()).toHaveAttribute("fill", "#1d2b3a");
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#save-state")).toContainText("All changes saved");
  const stored = await page.evaluate(async (id) => (await (await fetch("api/menu/get?id=" + id)).json()).settings, shop.menus[0]);
  assert.deepEqual({ template: stored.template, colour: stored.colour, fonts: stored.fonts, columns: stored.columns, papersize: stored.papersize },
    { template: "chalkboard", colour: "blue-orange", fonts: "opensans", columns: "2", papersize: "Letter" });
  await page.reload();
  await expect(page.getByRole("radio", { name: /^Chalkboard/ })).toBeVisible();
  assert.equal(await page.getByRole("radio", { name: /^Chalkboard/ }).isChecked(), true);
  await expect(page.getByLabel("Colours", { exact: true })).toHaveValue("blue-orange");
  await expect(page.getByLabel("Type", { exact: true })).toHaveValue("opensans");
  await expect(page.getByLabel("Columns", { exact: true })).toHaveValue("2");
  await expect(page.getByLabel("Paper", { exact: true })).toHaveValue("Letter");
  const before = await page.locator("#page-views").innerHTML();

  await page.goto(program.url + "#/menus/" + shop.id);
  await page.getByRole("button", { name: "Copy Sixty dishes" }).click();
  await page.getByRole("dialog").getByRole("button", { name: "Copy menu" }).click();
  await page.getByRole("link", { name: "Open Sixty dishes - Copy" }).click();
  await expect(page.getByLabel("Colours", { exact: true })).toHaveValue("blue-orange");
  assert.equal(await page.getByRole("radio", { name: /^Chalkboard/ }).isChecked(), true);
  await expect(page.locator("#page-views svg").first()).toBeVisible();
  // The copy's pages differ from the original's only in the title.
  assert.equal((await page.locator("#page-views").innerHTML()).replaceAll("Sixty dishes - Copy", "Sixty dishes"), before);
});

test("a menu too long for the one-page card says so, and more columns bring it back on fewer pages", async () => {
  const [deli] = await seed(page, [{ name: "Deli Grande", menus: [bigMenu("Everything", { settings: { template: "card", papersize: "A4" } })] }]);
  await page.goto(program.url + "#/menu/" + deli.menus[0]);
  await expect(page.locator("#overflow")).toContainText("more dishes than fit on one card");
  const single = await page.locator("#page-views svg").count();
  assert.ok(single > 1);
  await page.getByLabel("Columns", { exact: true }).selectOption("3");
  await expect(page.locator("#page-count")).toContainText("1 page,");
  assert.equal(await page.locator("#overflow .banner").count(), 0, "no remark once the card fits");
  await page.evaluate(() => { document.getElementById("notice").hidden = true; });
  await page.locator("#page-views figure").first().screenshot({ path: path.join(shotsDir, "25-template-card-three-columns.png") });
});
