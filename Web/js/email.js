// E-mail: the dialogue that sends a menu's PDF to up to seven people, and the E-mail settings
// screen (the mail server Tavolex sends through, and the check of those settings).
import * as api from "./api.js";
import { h, field, input, setFieldError, announce, openDialog } from "./ui.js";
import { problem } from "./store.js";
import { emailPdf, runWithProgress, exportProgress } from "./pdf.js";

export const MAX_RECIPIENTS = 7;
export const MAX_MESSAGE = 500;
const ADDRESS = /^[^\s@,<>]+@[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?$/;

// The addresses typed, split at commas, semicolons and blanks.
export function splitRecipients(text) {
  return String(text).split(/[\s,;]+/).filter(Boolean);
}

// UTF-16 units, as the program counts the message.
const units = (text) => String(text).length;

export async function loadEmailSettings() {
  return api.get("api/settings/emailget");
}

// ---- the send dialogue

export async function emailDialog({ name, paper, pages, dirty }) {
  const settings = await loadEmailSettings();
  if (!settings.ok) { if (!settings.redirected) announce(settings.message, "error"); return; }
  if (!settings.data.configured) {
    const answer = await openDialog({
      title: "Set up e-mail first",
      body: [h("p", {}, "Tavolex sends menus through your own mail server, and it does not know that server yet."),
        h("p", {}, "Enter it once in E-mail settings (your e-mail provider gives you these details), then send the menu.")],
      actions: [{ value: "cancel", label: "Not now" }, { value: "settings", label: "Open E-mail settings" }],
    });
    if (answer === "settings") window.location.hash = "#/settings/email";
    return;
  }
  const to = input({ id: "mail-to", type: "text", inputmode: "email", placeholder: "anna@example.com, ben@example.com" });
  const toCount = h("span", { class: "counter", id: "mail-to-count" }, "0 of " + MAX_RECIPIENTS);
  const replyTo = input({ id: "mail-replyto", type: "email", value: settings.data.replyto || "" });
  const message = h("textarea", { id: "mail-message", rows: 5, maxlength: MAX_MESSAGE, placeholder: "Hello, here is our new menu." });
  const counter = h("span", { class: "counter", id: "mail-message-count" }, "0 / " + MAX_MESSAGE);
  const toField = field("To", to, { required: true, hint: "Up to seven e-mail addresses, separated by commas" });
  toField.querySelector("label").append(" ", toCount);
  const messageField = field("Message", message, { hint: "Optional, at most 500 characters. Tavolex adds a short line under it." });
  messageField.querySelector("label").append(" ", counter);
  to.addEventListener("input", () => {
    const count = splitRecipients(to.value).length;
    toCount.textContent = count + " of " + MAX_RECIPIENTS;
    toCount.classList.toggle("over", count > MAX_RECIPIENTS);
    setFieldError(to, count > MAX_RECIPIENTS ? "A menu can go to at most seven people at once." : "");
  });
  message.addEventListener("input", () => {
    counter.textContent = units(message.value) + " / " + MAX_MESSAGE;
    counter.classList.toggle("over", units(message.value) > MAX_MESSAGE);
  });
  const result = h("div", { id: "mail-result", role: "alert" });
  const body = [
    dirty ? h("p", { class: "banner" }, "The e-mail carries the pages as you see them now, including changes you have not saved.") : null,
    toField, field("Reply to", replyTo, { hint: "Answers to the e-mail go to this address" }), messageField,
    h("p", { class: "hint" }, "The PDF “" + name + "” is attached (" + pages.length + (pages.length === 1 ? " page" : " pages") + ")."), result,
  ].filter(Boolean);
  // A refusal shown below goes once the owner corrects something.
  for (const control of [to, replyTo, message]) control.addEventListener("input", () => result.replaceChildren());
  let sent = false;
  await openDialog({
    title: "E-mail this menu",
    body,
    actions: [{ value: "cancel", label: "Cancel" }, { value: "send", label: "Send" }],
    async onSubmit() {
      if (sent) return false;
      result.replaceChildren();
      const list = splitRecipients(to.value);
      let bad = "";
      if (!list.length) bad = "Write at least one e-mail address.";
      else if (list.length > MAX_RECIPIENTS) bad = "A menu can go to at most seven people at once. Remove " + (list.length - MAX_RECIPIENTS) + ".";
      else if (list.some((a) => !ADDRESS.test(a))) bad = "“" + list.find((a) => !ADDRESS.test(a)) + "” is not an e-mail address. Write it like name@example.com.";
      setFieldError(to, bad);
      if (bad) { to.focus(); return true; }
      if (replyTo.value.trim() && !ADDRESS.test(replyTo.value.trim())) {
        setFieldError(replyTo, "This is not an e-mail address. Write it like name@example.com, or leave it empty.");
        replyTo.focus();
        return true;
      }
      setFieldError(replyTo, "");
      if (units(message.value) > MAX_MESSAGE) { message.focus(); return true; }
      const answer = await runWithProgress("Sending the menu", (report) => emailPdf({
        name, paper, pages, recipients: list.join(", "), replyTo: replyTo.value.trim(), message: message.value,
        progress: exportProgress(report, pages, "Tavolex is making the PDF and handing it to the mail sender…") }));
      if (answer.redirected) return false;
      if (!answer.ok) {
        result.replaceChildren(h("p", { class: "field-error", id: "mail-error" }, answer.message));
        if (answer.serverText === "Email settings not configured") result.append(h("p", {}, h("a", { href: "#/settings/email" }, "Open E-mail settings")));
        return true;
      }
      sent = true;
      announce("Menu sent to " + list.join(", ") + ". Tavolex delivers it in the background.");
      return false;
    },
  });
  if (sent) {
    await openDialog({
      title: "Menu sent",
      body: [h("p", { id: "mail-sent" }, "Tavolex took the e-mail to " + list(to.value) + " and delivers it in the background, so you can go on working."),
        h("p", { class: "hint" }, "When the mail server cannot be reached, Tavolex tries again later by itself, for several hours. If the menu never arrives, check E-mail settings with “Test settings”.")],
      actions: [{ value: "ok", label: "Done" }],
    });
  }
}

function list(text) {
  const all = splitRecipients(text);
  return all.length <= 2 ? all.join(" and ") : all.slice(0, -1).join(", ") + " and " + all[all.length - 1];
}

// ---- the settings screen

const SAVE_WORDS = new Map([
  ["Invalid mail server name", "This is not a mail server name. Write it like smtp.example.com, without “https://”."],
  ["Invalid port", "The port is a number from 1 to 65535; your e-mail provider names it (often 587)."],
  ["Invalid reply-to email format", "This is not an e-mail address. Write it like name@example.com."],
  ["The settings could not be written", "Tavolex could not store the settings on this computer. Check that the disk is not full, then save again."],
]);

let view = null;

async function render(container) {
  const answer = await loadEmailSettings();
  if (!answer.ok) return problem(container, answer);
  view = { container, stored: answer.data };
  draw();
}

function draw() {
  const { container, stored } = view;
  const host = input({ id: "smtp-host", value: stored.host || "", placeholder: "smtp.example.com", spellcheck: "false" });
  const port = input({ id: "smtp-port", value: stored.port ? String(stored.port) : "", inputmode: "numeric", placeholder: "587", maxlength: 5 });
  const user = input({ id: "smtp-user", value: stored.username || "", autocomplete: "username", spellcheck: "false" });
  const password = input({ id: "smtp-password", type: "password", value: "", autocomplete: "new-password",
    placeholder: stored.passwordset ? "Stored – leave empty to keep it" : "" });
  // A first set-up starts secured: most providers ask for STARTTLS.
  const tls = h("input", { type: "checkbox", id: "smtp-tls", checked: stored.host ? !!stored.usessl : true });
  const replyTo = input({ id: "smtp-replyto", type: "email", value: stored.replyto || "", placeholder: "you@your-restaurant.com" });
  // Without a mail server of their own, owners can still send: straight to each recipient's.
  const direct = h("input", { type: "checkbox", id: "smtp-direct", checked: !!stored.senddirect });
  const fields = {
    host: field("Mail server", host, { hint: "The outgoing (SMTP) server your e-mail provider names, like smtp.example.com" }),
    port: field("Port", port, { hint: "Usually 587; leave empty to let Tavolex try 587 and 25" }),
    user: field("User name", user, { hint: "Often your full e-mail address" }),
    password: field("Password", password, { hint: stored.passwordset ? "A password is stored. It is never shown; type a new one only to change it." : "Stored encrypted on this computer" }),
    replyTo: field("Your e-mail address", replyTo, { hint: "E-mails come from this address, and answers go back to it" }),
  };
  const save = h("button", { class: "primary", type: "submit", id: "settings-save" }, "Save settings");
  const testButton = h("button", { type: "button", id: "settings-test", onclick: () => test() }, "Test settings");
  const result = h("div", { id: "settings-result", role: "status", "aria-live": "polite" });
  const form = h("form", { class: "panel settings-form", novalidate: true },
    h("div", { class: "form-grid" }, h("div", { class: "wide" }, fields.host), fields.port, h("div"), fields.user, fields.password),
    h("label", { class: "checkbox", for: "smtp-tls" }, tls, "Secure the connection (STARTTLS)"),
    h("p", { class: "hint" }, "Leave this on unless your provider says otherwise: it keeps your password from being read on the way."),
    fields.replyTo,
    h("label", { class: "checkbox", for: "smtp-direct" }, direct, "Deliver straight to each recipient when no server is given"),
    h("p", { class: "hint" }, "This needs no account, but many providers treat such e-mail as spam: a mail server of your own is more reliable."),
    h("div", { class: "form-actions" }, save, " ", testButton), result);
  form.addEventListener("submit", async (event) => { event.preventDefault(); await saveSettings(); });
  const state = stored.configured ? h("p", { class: "pill", id: "settings-state" }, "Settings complete")
    : h("p", { class: "pill warn", id: "settings-state" }, "Not set up yet");
  container.replaceChildren(h("div", { class: "screen-head" },
    h("div", {}, h("h1", {}, "E-mail settings"),
      h("p", { class: "lead" }, "Tavolex sends your menus through your own mail server. Your e-mail provider gives you these details.")), state), form);
  view.controls = { host, port, user, password, tls, replyTo, direct, fields, save, testButton, result };
}

function formBody() {
  const c = view.controls;
  const body = { host: c.host.value.trim(), username: c.user.value.trim(), usessl: c.tls.checked, replyto: c.replyTo.value.trim(),
    senddirect: c.direct.checked };
  const port = c.port.value.trim();
  body.port = port ? Number(port) : 0;
  if (c.password.value) body.password = c.password.value;
  return body;
}

function showResult(kind, title, text) {
  view.controls.result.replaceChildren(h("div", { class: "result " + kind },
    h("strong", {}, title), text ? h("p", { id: "settings-result-text" }, text) : null));
}

// Checks the form, saves it; true when stored.
async function saveSettings({ quiet = false } = {}) {
  const c = view.controls;
  for (const f of Object.values(c.fields)) f.setError("");
  const body = formBody();
  const port = c.port.value.trim();
  if (port && !(/^\d{1,5}$/.test(port) && Number(port) >= 1 && Number(port) <= 65535)) {
    c.fields.port.setError(SAVE_WORDS.get("Invalid port"));
    c.port.focus();
    return false;
  }
  if (body.host && (!body.username || (!c.password.value && !view.stored.passwordset))) {
    const missing = !body.username ? c.fields.user : c.fields.password;
    missing.setError("Your mail server needs a user name and a password before Tavolex can send through it.");
    missing.querySelector("input").focus();
    return false;
  }
  c.save.disabled = true;
  try {
    const answer = await api.postJson("api/settings/emailsave", body);
    if (!answer.ok) {
      if (answer.redirected) return false;
      const words = SAVE_WORDS.get(answer.serverText) || answer.message;
      const target = answer.serverText === "Invalid mail server name" ? c.fields.host : answer.serverText === "Invalid port" ? c.fields.port :
        answer.serverText === "Invalid reply-to email format" ? c.fields.replyTo : null;
      if (target) { target.setError(words); target.querySelector("input").focus(); } else showResult("bad", "Not saved", words);
      return false;
    }
    const reread = await loadEmailSettings();
    if (reread.ok) view.stored = reread.data;
    draw();
    if (!quiet) { showResult("good", "Settings saved.", view.stored.configured ? "You can now send menus by e-mail." : ""); announce("E-mail settings saved."); }
    return true;
  } finally {
    c.save.disabled = false;
  }
}

async function test() {
  if (!(await saveSettings({ quiet: true }))) return;
  const c = view.controls;
  c.testButton.disabled = true;
  c.testButton.textContent = "Testing…";
  showResult("busy", "Testing the settings…", "Tavolex is connecting to " + (view.stored.host || "your mail server") + " and signing in. This can take up to a minute.");
  try {
    const answer = await api.get("api/settings/emailtest");
    if (!answer.ok) { if (!answer.redirected) showResult("bad", "The test could not run", answer.message); return; }
    const status = Number(answer.data.status);
    if (status === 0) showResult("good", "The settings work.", "Tavolex reached " + view.stored.host + " and signed in. Your menus can go out by e-mail.");
    else if (status === 1) showResult("bad", "The test was stopped before it finished.", "Press “Test settings” again.");
    else {
      showResult("bad", "The settings do not work yet.", testFailure(answer.data.error) +
        " Check the server name, port, user name and password with your e-mail provider, then test again.");
      // The check's own words too, for the provider's help desk.
      if (answer.data.error) c.result.firstChild.append(h("p", { class: "hint", id: "settings-result-detail" }, "What Tavolex was told: " + answer.data.error));
    }
  } finally {
    c.testButton.disabled = false;
    c.testButton.textContent = "Test settings";
  }
}

// The check's error text, as a sentence an owner reads.
function testFailure(error) {
  const text = String(error || "").trim();
  if (/password not accepted|authentication/i.test(text)) return "The mail server did not accept this user name and password.";
  if (/unable to connect|could not connect|refused/i.test(text)) return "Tavolex could not reach the mail server " + (view.stored.host || "") + (view.stored.port ? " on port " + view.stored.port : "") + ".";
  if (!text) return "The mail server could not be reached.";
  return "The mail server answered: “" + text.replace(/[.\s]+$/, "") + "”.";
}

export const settingsScreen = { render };
