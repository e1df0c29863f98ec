// The whole path of a new owner, from an empty home to a printed menu: a business with its time
// zone and price format, a catalogue, a menu with a choice and an order of its own, and the
// downloaded PDF, read back with pdftotext and checked with qpdf.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import path from "node:path";
import { Program, openBrowser, screenshot, shotsDir, unlabelledControls } from "./harness.js";
import { expect } from "./expect.js";
import { addBusiness, saveBusinessForm, addCategory, addDish, newMenu, itemRow, categoryRow } from "./steps.js";

let program;
let browser;
before(async () => { program = await Program.start(); browser = await openBrowser(); });
after(async () => { await browser?.close(); await program?.remove(); });

test("an owner goes from an empty start to a downloaded PDF of their menu", async () => {
  const page = browser.page;
  await page.goto(program.url);
  await expect(page.getByRole("heading", { name: "Start with your business" })).toBeVisible();
  await screenshot(page, "01-businesses-empty");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");

  await addBusiness(page, {
    name: "Café Nord", address: "12 Harbour Street, Kathmandu", phone: "+977 1 555 0101", email: "Hello@Cafe-Nord.example",
    zone: { search: "kath", key: "utc545_nst" }, symbol: "€", place: 1, decimal: ",", thousands: ".",
  });
  // The search narrowed the 138 zones to the one with its offset and name.
  await expect(page.getByLabel("Time zones found").locator("option")).toHaveCount(2);
  await expect(page.locator("#currency-sample")).toContainText("1.234,50 €");
  await screenshot(page, "02-business-form", { top: true });
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");
  await saveBusinessForm(page);
  const card = page.locator("article.card").filter({ hasText: "Café Nord" });
  await expect(card).toContainText("UTC+05:45 Kathmandu");
  await expect(card).toContainText("hello@cafe-nord.example");   // stored as the program lower-cased it
  await screenshot(page, "03-businesses");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");

  await page.getByRole("navigation").getByRole("link", { name: "Catalogue" }).click();
  await expect(page.getByRole("heading", { name: "Your catalogue is empty" })).toBeVisible();
  await addCategory(page, "Starters", "Small plates to share");
  await addDish(page, "Starters", { name: "Tomato soup", detail: "Slow-roasted tomatoes with basil oil", price: "6,50" });
  await expect(page.locator("tr", { hasText: "Tomato soup" })).toContainText("6,50 €");
  await addDish(page, "Starters", { name: "Bruschetta", detail: "Grilled bread, garlic and olive oil", extras: "vegan", price: "4,20" });
  await addCategory(page, "Mains");
  await addDish(page, "Mains", { name: "Mushroom risotto", detail: "Carnaroli rice, porcini, parmesan", price: "14" });
  await addDish(page, "Mains", { name: "Chef's secret special", detail: "Only for friends", price: "1.099,00" });
  await expect(page.locator("tr", { hasText: "Chef's secret special" })).toContainText("1.099,00 €");
  await page.getByLabel("Search dishes").fill("risotto");
  await expect(page.locator("tbody tr")).toHaveCount(1);
  await page.getByLabel("Search dishes").fill("");
  await screenshot(page, "04-catalogue");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");

  await newMenu(page, "Lunch", "A4");
  // A new menu lists the whole catalogue, nothing shown yet.
  await expect(page.locator(".edit-item")).toHaveCount(4);
  for (const dish of ["Tomato soup", "Bruschetta", "Mushroom risotto"]) await itemRow(page, dish).locator("input.show").check();
  for (const category of ["Starters", "Mains"]) await categoryRow(page, category).locator(".cat-row input.show").check();
  // Prices typed in place, in the business's format; the order changed with the keyboard.
  await itemRow(page, "Mushroom risotto").locator("input.price").fill("15,50");
  // Entries made in the same second come in name order, others by age: swap whatever is first.
  const starters = categoryRow(page, "Starters").locator(".edit-item input.name");
  const before = await starters.evaluateAll((inputs) => inputs.map((i) => i.value));
  await categoryRow(page, "Starters").locator(".edit-item .handle").first().focus();
  await page.keyboard.press("ArrowDown");
  await expect(page.locator("#move-live")).toContainText("moved to place 2 of 2");
  const order = await starters.evaluateAll((inputs) => inputs.map((i) => i.value));
  assert.deepEqual(order, [before[1], before[0]]);
  assert.equal(await page.evaluate(() => document.activeElement.className), "handle", "the focus stays on the moved dish");
  await expect(page.locator("#save-state")).toContainText("Unsaved changes");
  const preview = page.locator("#page-views svg").first();
  await expect(preview).toContainText(new RegExp(order[0] + ".*" + order[1]));
  await expect(preview).toContainText("15,50 €");
  assert.equal(await preview.locator("text", { hasText: "secret" }).count(), 0, "a hidden dish is not on the page");
  await screenshot(page, "05-menu-editor");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#save-state")).toContainText("All changes saved");
  // What was saved is what the program gives back: order and prices survive a reload.
  await page.reload();
  await expect(categoryRow(page, "Starters").locator(".edit-item input.name").first()).toHaveValue(order[0]);
  await expect(itemRow(page, "Mushroom risotto").locator("input.price")).toHaveValue("15,50");

  const [download] = await Promise.all([
    page.waitForEvent("download"),
    page.getByRole("button", { name: "Download PDF" }).click(),
  ]);
  assert.equal(download.suggestedFilename(), "Lunch.pdf");
  const file = path.join(shotsDir, "owner-path-Lunch.pdf");
  await download.saveAs(file);
  assert.equal(readFileSync(file).subarray(0, 5).toString(), "%PDF-");
  execFileSync("qpdf", ["--check", file]);                       // throws when qpdf finds damage
  const text = execFileSync("pdftotext", ["-layout", file, "-"]).toString().replace(/[\u00a0\u202f]/g, " ");
  for (const shown of ["Lunch", "Café Nord", "Starters", "Bruschetta", "4,20 €", "Tomato soup", "6,50 €", "Mains", "Mushroom risotto", "15,50 €", "vegan"]) {
    assert.ok(text.includes(shown), `the PDF shows “${shown}”:\n${text}`);
  }
  assert.ok(!text.includes("secret special") && !text.includes("1.099,00"), "the hidden dish is not in the PDF");
  assert.ok(text.indexOf(order[0]) < text.indexOf(order[1]), "the PDF keeps the menu's order");
  await expect(page.locator("#notice")).toContainText("Lunch.pdf");

  // The price changed in the menu is the catalogue's price, and the catalogue says where it shows.
  await page.getByRole("navigation").getByRole("link", { name: "Catalogue" }).click();
  const risotto = page.locator("tr", { hasText: "Mushroom risotto" });
  await expect(risotto).toContainText("15,50 €");
  await expect(risotto).toContainText("Shown on 1 menu");
  await expect(page.locator("tr", { hasText: "Chef's secret special" })).toContainText("Not shown on any menu");
  assert.deepEqual(browser.problems, []);
});
