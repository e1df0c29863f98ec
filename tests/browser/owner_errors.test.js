// What an owner can get wrong, or what can go wrong around them: an e-mail address that is not
// one, a price that cannot be read, a dish saved without a name, a session that ended, and
// Tavolex stopped while the window is open. Each time the owner is told in words, at the place
// of the mistake, and nothing typed is lost.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { screenshot, openFreshProgram } from "./harness.js";
import { expect } from "./expect.js";
import { addBusiness, saveBusinessForm, addCategory, addDish, newMenu, itemRow, categoryRow } from "./steps.js";

let program;
let browser;
let page;
before(async () => {
  ({ program, browser, page } = await openFreshProgram());
});
after(async () => { await browser?.close(); await program?.remove(); });

test("an e-mail address the program refuses is shown at its field, and the business is kept", async () => {
  await addBusiness(page, { name: "Bistro Sud", email: "bistro at sud", symbol: "$" });
  await saveBusinessForm(page);
  const email = page.getByLabel("E-mail");
  await expect(email).toHaveAttribute("aria-invalid", "true");
  await expect(page.locator("#" + (await email.getAttribute("id")) + "-error")).toContainText("This is not an e-mail address");
  await screenshot(page, "06-business-email-error");
  await email.fill("kitchen@bistro-sud.example");
  await saveBusinessForm(page);
  await expect(page.locator("article.card", { hasText: "Bistro Sud" })).toContainText("kitchen@bistro-sud.example");
  await expect(page.locator("article.card")).toHaveCount(1);
});

test("a price that cannot be read is refused at the field, in the catalogue and in the editor", async () => {
  await page.getByRole("navigation").getByRole("link", { name: "Catalogue" }).click();
  await addCategory(page, "Desserts");
  await page.getByRole("button", { name: "Add a dish to Desserts" }).click();
  const dialog = page.getByRole("dialog");
  await dialog.getByLabel("Name", { exact: true }).fill("Lemon tart");
  await dialog.getByLabel(/^Price/).fill("4.5x");
  await dialog.getByRole("button", { name: "Add dish" }).click();
  await expect(dialog.locator(".field-error").filter({ hasText: "Type the price as a number" })).toBeVisible();
  await screenshot(page, "07-catalogue-price-error");
  await dialog.getByLabel(/^Price/).fill("4.50");
  await dialog.getByRole("button", { name: "Add dish" }).click();
  await expect(page.locator("tr", { hasText: "Lemon tart" })).toContainText("$4.50");

  await newMenu(page, "Desserts only");
  const tart = itemRow(page, "Lemon tart");
  await tart.locator("input.price").fill("five dollars");
  await expect(tart.locator(".row-error")).toContainText("Type the price as a number");
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#notice")).toContainText("Correct the marked price");
  await expect(tart.locator("input.price")).toHaveAttribute("aria-invalid", "true");
  await screenshot(page, "08-editor-price-error");
  // Nothing was stored: the catalogue keeps the old price.
  await tart.locator("input.price").fill("4.50");
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#save-state")).toContainText("All changes saved");
});

test("a new dish without a price is never saved as 0, and can be taken out again", async () => {
  await page.getByRole("button", { name: "+ Add a dish to Desserts" }).click();
  const sorbet = page.locator(".edit-item").last();
  await sorbet.locator("input.name").fill("Sorbet");
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(sorbet.locator(".row-error")).toContainText("Type a price");
  await expect(page.locator("#save-state")).toContainText("Unsaved changes");
  await sorbet.getByRole("button", { name: "Remove this new dish" }).click();
  await expect(page.locator(".edit-item")).toHaveCount(1);
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#save-state")).toContainText("All changes saved");
  await expect(page.locator(".edit-item")).toHaveCount(1);       // nothing named Sorbet was stored
});

test("a dish the program cannot store gets its error on its own row, and the rest is saved", async () => {
  await page.getByRole("button", { name: "+ Add a dish to Desserts" }).click();
  const fresh = page.locator(".edit-item").last();
  await fresh.locator("input.price").fill("3.00");          // no name: the program refuses this one
  await itemRow(page, "Lemon tart").locator("input.price").fill("4.80");
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(fresh.locator(".row-error")).toContainText("A dish needs a name.");
  await expect(page.locator("#save-state")).toContainText("Unsaved changes");
  await page.getByRole("navigation").getByRole("link", { name: "Catalogue" }).click();
  await page.getByRole("button", { name: "Leave" }).click();     // the warning before leaving
  await expect(page.locator("tr", { hasText: "Lemon tart" })).toContainText("$4.80");
  await page.goBack();
  // The draft brought the unsaved row back.
  await expect(page.locator("#draft-banner")).toBeVisible();
  await expect(page.locator(".edit-item")).toHaveCount(2);
  await page.getByRole("button", { name: "Discard them" }).click();
  await expect(page.locator(".edit-item")).toHaveCount(1);
});

test("an ended session leads to its page, and the unsaved change comes back afterwards", async () => {
  const tart = itemRow(page, "Lemon tart");
  await tart.locator("input.name").fill("Lemon tart with meringue");
  // Closing or reloading the window with unsaved changes asks first; the draft survives it.
  const asked = new Promise((resolve) => page.once("dialog", async (dialog) => { resolve(dialog.type()); await dialog.accept(); }));
  await page.reload();
  assert.equal(await asked, "beforeunload");
  await expect(page.locator("#draft-banner")).toBeVisible();
  await expect(page.locator(".edit-item input.name").first()).toHaveValue("Lemon tart with meringue");
  await browser.context.addCookies([{ name: "tavolexs_sess", value: "nosuchsession00000", url: program.url }]);
  await page.getByRole("button", { name: "Save menu" }).click();
  await page.waitForURL(/sessionexpired\.html$/);
  await expect(page.getByRole("heading", { name: "Your session has ended" })).toBeVisible();
  await screenshot(page, "09-session-expired");
  await page.getByRole("link", { name: "Continue where I was" }).click();
  await expect(page.locator("#draft-banner")).toBeVisible();
  assert.match(page.url(), /#\/menu\//);
  await expect(page.locator(".edit-item input.name").first()).toHaveValue("Lemon tart with meringue");
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#save-state")).toContainText("All changes saved");
});

test("the sign-in page the catalogue routes send a stranger to leads back into Tavolex", async () => {
  const menu = page.url();
  await browser.context.clearCookies();
  await page.evaluate(() => fetch("api/product/fetchall").then((r) => r.json()).then((a) => { window.lastAnswer = a; }));
  assert.equal(await page.evaluate(() => window.lastAnswer.errorredirect), "login.html");
  await page.goto(program.url + "login.html");
  await expect(page.getByRole("heading", { name: "Sign in to Tavolex" })).toBeVisible();
  await screenshot(page, "09b-login");
  await page.getByRole("link", { name: "Continue where I was" }).click();
  await expect(page.getByRole("heading", { name: "Your businesses" })).toBeVisible();
  await page.goto(menu);
  await expect(page.locator(".edit-item")).toHaveCount(1);
});

test("Tavolex stopped while the window is open: the owner is told, and work goes on when it is back", async () => {
  await program.stop();
  await expect(page.locator("#offline")).toBeVisible();          // checkalive notices within seconds
  await itemRow(page, "Lemon tart with meringue").locator("input.price").fill("5.20");
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#notice")).toContainText("Tavolex is not answering");
  await expect(page.locator("#save-state")).toContainText("Unsaved changes");
  await screenshot(page, "10-tavolex-stopped");
  await page.getByRole("button", { name: "Download PDF" }).click();
  await expect(page.locator("#pdf-error")).toContainText("Tavolex is not answering, so the PDF could not be made");
  await screenshot(page, "10b-download-while-stopped");
  await page.getByRole("dialog").getByRole("button", { name: "Close" }).click();
  await program.run();
  await expect(page.locator("#offline")).toBeHidden();
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#save-state")).toContainText("All changes saved");
  await page.reload();
  await expect(itemRow(page, "Lemon tart with meringue").locator("input.price")).toHaveValue("5.20");
  assert.deepEqual(browser.problems, []);
});
