// Print and e-mail: "Print" asks for an inline PDF that opens with the viewer's print
// dialogue; the E-mail settings page saves, reloads without the password and tests against a
// real SMTP server on 127.0.0.1 (aiosmtpd, started here); the e-mail dialogue sends the menu
// there with the PDF attached, and says in words what the route refused.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { screenshot, seed, shotsDir, unlabelledControls, openFreshProgram } from "./harness.js";
import { expect } from "./expect.js";
import { bigMenu } from "./steps.js";

const fixtures = new URL("../mail/", import.meta.url).pathname;
let program;
let browser;
let page;
let shop;
let smtp;
let smtpPort;
let smtpDir;

function freePort() {
  return new Promise((resolve) => { const s = createServer(); s.listen(0, "127.0.0.1", () => { const { port } = s.address(); s.close(() => resolve(port)); }); });
}

// aiosmtpd with AUTH LOGIN (Debian's, so /usr/bin/python3), until the tests end.
async function startSmtp() {
  smtpPort = await freePort();
  smtpDir = mkdtempSync(path.join(tmpdir(), "tavolex-smtp-"));
  smtp = spawn("/usr/bin/python3", [path.join(fixtures, "smtp_server.py"), String(smtpPort), smtpDir, "--auth", "chef:right"], { stdio: ["ignore", "pipe", "pipe"] });
  process.once("exit", () => smtp.kill("SIGKILL"));
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("the SMTP server did not start")), 15000);
    smtp.stdout.on("data", (chunk) => { if (String(chunk).includes("ready")) { clearTimeout(timer); resolve(); } });
    smtp.on("exit", (code) => reject(new Error("the SMTP server ended with " + code)));
  });
}

async function waitForFile(file, ms = 20000) {
  const end = Date.now() + ms;
  while (!existsSync(file)) {
    if (Date.now() > end) throw new Error("no " + file);
    await new Promise((r) => setTimeout(r, 100));
  }
}

before(async () => {
  await startSmtp();
  ({ program, browser, page } = await openFreshProgram({ viewport: { width: 1400, height: 1000 } }));
  [shop] = await seed(page, [{ name: "Bistro Posta", address: "3 Mail Lane", menus: [bigMenu("Supper", { categories: 2, perCategory: 5 })] }]);
});
after(async () => {
  await browser?.close();
  await program?.remove();
  smtp?.kill("SIGTERM");
  if (smtpDir) rmSync(smtpDir, { recursive: true, force: true });
});

test("Print asks for an inline PDF that opens with the print dialogue, in a new window", async () => {
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await expect(page.locator("#page-views svg").first()).toBeVisible();
  const [answer, opened] = await Promise.all([
    page.waitForResponse((r) => r.url().endsWith("api/menu/genpdf")),
    browser.context.waitForEvent("page"),
    page.getByRole("button", { name: "Print", exact: true }).click(),
  ]);
  const sent = new URLSearchParams(answer.request().postData());
  assert.equal(sent.get("print"), "1");
  assert.equal(sent.get("inline"), "1");
  assert.match(answer.headers()["content-disposition"], /^inline; filename="Supper.pdf"/);
  const pdf = await answer.body();
  const file = path.join(shotsDir, "print-Supper.pdf");
  execFileSync("sh", ["-c", "cat > '" + file + "'"], { input: pdf });
  execFileSync("qpdf", ["--check", file]);
  // The open action that brings up the print dialogue, in the document catalogue.
  const objects = execFileSync("qpdf", ["--qdf", "--object-streams=disable", file, "-"]).toString("latin1");
  assert.match(objects, /\/OpenAction/);
  assert.match(objects, /this\.print/);
  await opened.waitForURL(/^blob:/);
  await expect(page.locator("#notice")).toContainText("print dialogue");
  await opened.close();
  assert.deepEqual(browser.problems, []);
});

test("without e-mail settings the dialogue leads to them; the settings page saves, hides the password and tests", async () => {
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await page.getByRole("button", { name: "E-mail", exact: true }).click();
  await expect(page.getByRole("dialog")).toContainText("Set up e-mail first");
  await page.evaluate(() => { document.getElementById("notice").hidden = true; });
  await screenshot(page, "35-email-not-set-up");
  await page.getByRole("dialog").getByRole("button", { name: "Open E-mail settings" }).click();
  await expect(page.getByRole("heading", { name: "E-mail settings" })).toBeVisible();
  await expect(page.locator("#settings-state")).toContainText("Not set up yet");
  await page.evaluate(() => { document.getElementById("notice").hidden = true; });   // a notice left from before
  await screenshot(page, "30-email-settings-empty");

  await page.getByLabel("Mail server").fill("127.0.0.1");
  await page.getByLabel("Port").fill(String(smtpPort));
  await page.getByLabel("User name").fill("chef");
  await page.getByLabel("Password").fill("wrong");
  await page.getByLabel("Secure the connection (STARTTLS)").uncheck();
  await page.getByLabel("Your e-mail address").fill("owner@bistro.test");
  // A wrong password: the check says so, with the server's words.
  await page.getByRole("button", { name: "Test settings" }).click();
  await expect(page.locator("#settings-result")).toContainText("The settings do not work yet.", 60000);
  await expect(page.locator("#settings-result-text")).toContainText("did not accept this user name and password");
  await expect(page.locator("#settings-result-detail")).toContainText("What Tavolex was told: ");
  await screenshot(page, "31-email-settings-test-failed");

  await page.getByLabel("Password").fill("right");
  await page.getByRole("button", { name: "Save settings" }).click();
  await expect(page.locator("#settings-result")).toContainText("Settings saved.");
  await page.reload();
  await expect(page.getByLabel("Mail server")).toHaveValue("127.0.0.1");
  await expect(page.getByLabel("Port")).toHaveValue(String(smtpPort));
  await expect(page.getByLabel("User name")).toHaveValue("chef");
  await expect(page.getByLabel("Password")).toHaveValue("");           // never shown back
  await expect(page.getByLabel("Password")).toHaveAttribute("placeholder", "Stored – leave empty to keep it");
  assert.equal(await page.getByLabel("Secure the connection (STARTTLS)").isChecked(), false);
  await expect(page.getByLabel("Your e-mail address")).toHaveValue("owner@bistro.test");
  assert.ok(!(await page.content()).includes("right\""), "the password is not in the page");
  // Direct delivery is kept as chosen, and saving the page again does not turn it off.
  assert.equal(await page.getByLabel(/Deliver straight to each recipient/).isChecked(), false);
  await page.getByLabel(/Deliver straight to each recipient/).check();
  await page.getByRole("button", { name: "Save settings" }).click();
  await expect(page.locator("#settings-result")).toContainText("Settings saved.");
  await page.reload();
  assert.equal(await page.getByLabel(/Deliver straight to each recipient/).isChecked(), true);
  assert.equal((await (await page.request.get(program.url + "api/settings/emailget")).json()).senddirect, true);
  await expect(page.locator("#settings-state")).toContainText("Settings complete");
  await page.getByRole("button", { name: "Test settings" }).click();
  await expect(page.locator("#settings-result")).toContainText("The settings work.", 60000);
  await screenshot(page, "32-email-settings-tested");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");
  const commands = readFileSync(path.join(smtpDir, "commands.txt"), "utf8");
  assert.match(commands, /AUTH LOGIN clear refused/);
  assert.match(commands, /AUTH LOGIN clear ok/);
});

test("the e-mail dialogue sends the menu to a real SMTP server with the PDF attached", async () => {
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await expect(page.locator("#page-views svg").first()).toBeVisible();
  await page.getByRole("button", { name: "E-mail", exact: true }).click();
  const dialog = page.getByRole("dialog");
  await expect(dialog.getByLabel("Reply to")).toHaveValue("owner@bistro.test");
  // More than seven recipients, and words that are not addresses, are stopped at the field.
  await dialog.getByLabel(/^To/).fill("a@x.test, b@x.test, c@x.test, d@x.test, e@x.test, f@x.test, g@x.test, h@x.test");
  await expect(dialog.locator("#mail-to-count")).toContainText("8 of 7");
  await dialog.getByRole("button", { name: "Send" }).click();
  await expect(dialog).toContainText("at most seven people");
  await dialog.getByLabel(/^To/).fill("anna@guests.test, not an address");
  await dialog.getByRole("button", { name: "Send" }).click();
  await expect(dialog).toContainText("“not” is not an e-mail address");
  // The route's own refusal, in words: a reply-to address it does not take.
  await dialog.getByLabel(/^To/).fill("anna@guests.test, ben@guests.test");
  await dialog.getByLabel("Reply to").fill("owner@bistro");
  await dialog.getByRole("button", { name: "Send" }).click();
  await expect(dialog.locator("#mail-error")).toContainText("The reply-to address is not an e-mail address");
  await dialog.getByLabel("Reply to").fill("owner@bistro.test");
  await dialog.getByLabel(/^Message/).fill("Our new supper menu – see you soon!");
  await expect(dialog.locator("#mail-message-count")).toContainText("35 / 500");
  assert.equal(await dialog.getByLabel(/^Message/).getAttribute("maxlength"), "500");
  await screenshot(page, "33-email-dialog");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");
  await dialog.getByRole("button", { name: "Send" }).click();
  await expect(page.getByRole("dialog")).toContainText("delivers it in the background");
  await screenshot(page, "34-email-sent");
  await page.getByRole("dialog").getByRole("button", { name: "Done" }).click();

  const message = path.join(smtpDir, "message-1.eml");
  await waitForFile(message);
  const envelope = JSON.parse(readFileSync(path.join(smtpDir, "message-1.json"), "utf8"));
  assert.deepEqual(envelope.to, ["anna@guests.test", "ben@guests.test"]);
  assert.equal(envelope.authenticated, true);
  const attachment = path.join(shotsDir, "emailed-Supper.pdf");
  const read = JSON.parse(execFileSync("/usr/bin/python3", [path.join(fixtures, "read_message.py"), message, attachment]).toString());
  assert.deepEqual(read.attachments, ["Supper.pdf"]);
  assert.ok(read.text.startsWith("Our new supper menu – see you soon!"), read.text);
  execFileSync("qpdf", ["--check", attachment]);
  const text = execFileSync("pdftotext", [attachment, "-"]).toString();
  for (const shown of ["Supper", "Bistro Posta", "Dish 1.1", "Dish 2.5", "$6.02"]) assert.ok(text.includes(shown), shown + " in the attached PDF:\n" + text);
  assert.deepEqual(browser.problems, []);
});
