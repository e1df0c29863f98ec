// The PDF of a menu: the pages the preview shows, posted to the program's api/menu/genpdf as
// "menudata", and what it answers: a PDF to save (download), a PDF that asks to be printed when
// it opens (print), or an e-mail handed to the program's background sender (e-mail).
import * as api from "./api.js";
import { h, openDialog } from "./ui.js";

// The program reads a form body of at most this many bytes.
export const REQUEST_LIMIT = 5000000;

export function pdfFileName(menuName) {
  const base = String(menuName || "").replace(/[\\/:*?"<>|\u0000-\u001f]/g, " ").replace(/\s+/g, " ").trim().replace(/^\.+/, "").replace(/[. ]+$/, "");
  return (base || "menu") + ".pdf";
}

const megabytes = (bytes) => (bytes / 1000000).toFixed(1).replace(/\.0$/, "") + " MB";

// The form body of one export, or {tooLarge} when the program would refuse it for its size.
function exportBody({ name, paper, pages, fields = {} }) {
  const fileName = pdfFileName(name);
  const body = new URLSearchParams({ menudata: JSON.stringify({ menupapersize: paper, armenupages: pages }), filename: fileName, ...fields }).toString();
  const bytes = new TextEncoder().encode(body).length;
  if (bytes > REQUEST_LIMIT) {
    return { tooLarge: true, message: "These pages come to " + megabytes(bytes) + ", more than the " + megabytes(REQUEST_LIMIT) +
      " Tavolex takes at once, so they were not sent. Pick a smaller logo, or fewer dishes per menu, and try again." };
  }
  return { fileName, body, bytes };
}

const NOT_ANSWERING = "Tavolex is not answering, so the PDF could not be made. Start Tavolex again and try once more.";

// Posts the pages; answers {ok, reply, fileName} with the reply still unread, or {ok:false, message}.
async function post(request, progress) {
  const made = exportBody(request);
  if (made.tooLarge) return { ok: false, message: made.message };
  progress("sending", 0);
  let reply;
  try {
    const sent = fetch("api/menu/genpdf", {
      method: "POST", cache: "no-store", credentials: "same-origin",
      headers: { "Content-Type": "application/x-www-form-urlencoded;charset=UTF-8" }, body: made.body,
    });
    progress("making", 0);
    reply = await sent;
  } catch {
    return { ok: false, message: NOT_ANSWERING };
  }
  return { ok: true, reply, fileName: made.fileName };
}

// Reads a PDF answer whole, reporting the share received; a JSON or bare-status answer is an error.
async function readPdf(reply, progress) {
  const type = reply.headers.get("Content-Type") || "";
  if (!reply.ok || !type.startsWith("application/pdf")) {
    const result = reply.ok && type.includes("json") ? api.fromJson(await reply.json().catch(() => ({}))) : await api.interpret(reply);
    if (result.redirected) return result;
    const words = reply.status === 500 ? "Tavolex could not turn these pages into a PDF. Check the pages for anything unusual and try again." :
      reply.status === 400 ? "Tavolex could not read the pages it was sent. Reload the page and try again." : result.message;
    return { ok: false, message: words };
  }
  const total = Number(reply.headers.get("Content-Length")) || 0;
  const reader = reply.body.getReader();
  const chunks = [];
  let received = 0;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    chunks.push(value);
    received += value.length;
    progress("receiving", total ? received / total : 0);
  }
  return { ok: true, file: new Blob(chunks, { type: "application/pdf" }), disposition: reply.headers.get("Content-Disposition") || "" };
}

// `progress(stage, fraction)` hears "sending", "making", "receiving" (with the share received)
// and "done". Answers {ok, fileName, bytes} or {ok:false, message}.
export async function downloadPdf({ name, paper, pages, progress = () => {} }) {
  const posted = await post({ name, paper, pages }, progress);
  if (!posted.ok) return posted;
  const read = await readPdf(posted.reply, progress);
  if (!read.ok) return read;
  const url = URL.createObjectURL(read.file);
  const link = document.createElement("a");
  link.href = url;
  link.download = posted.fileName;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
  progress("done", 1);
  return { ok: true, fileName: posted.fileName, bytes: read.file.size };
}

// Asks for the PDF with the print flag (it opens with the viewer's print dialogue) to show
// inline, and opens it in `target`, a window opened at the click (browsers allow new windows
// only then). Answers {ok, fileName} or {ok:false, message}.
export async function printPdf({ name, paper, pages, target, progress = () => {} }) {
  const posted = await post({ name, paper, pages, fields: { print: "1", inline: "1" } }, progress);
  if (!posted.ok) return posted;
  const read = await readPdf(posted.reply, progress);
  if (!read.ok) return read;
  const url = URL.createObjectURL(read.file);
  progress("done", 1);
  if (target && !target.closed) target.location.href = url;
  else if (!window.open(url, "_blank")) {
    return { ok: false, message: "The browser did not let Tavolex open the PDF in a new window. Allow pop-up windows for Tavolex, then press Print again." };
  }
  setTimeout(() => URL.revokeObjectURL(url), 10 * 60000);
  return { ok: true, fileName: posted.fileName };
}

// The e-mail route's refusals, in an owner's words with what to do next.
const MAIL_WORDS = new Map([
  ["Invalid recipient email format", "One of the recipients is not an e-mail address. Write each one like name@example.com, separated by commas."],
  ["Invalid reply-to email format", "The reply-to address is not an e-mail address. Write it like name@example.com, or leave it empty."],
  ["Email recipient limit reached", "A menu can go to at most seven people at once. Remove some recipients and send the rest in a second e-mail."],
  ["Email content limit reached", "The message is longer than 500 characters. Shorten it and send again."],
  ["Email settings not configured", "E-mail is not set up yet. Open E-mail settings, enter your mail server, user name and password, then send again."],
  ["Please verify your email address to use this feature", "Your own e-mail address is not confirmed yet, so Tavolex may not send e-mail for you."],
  ["Unauthorized", "Your account may not send menus by e-mail."],
  ["Internal error", "Tavolex could not turn these pages into a PDF, so nothing was sent. Try again; if it happens again, check the pages for anything unusual."],
]);

// E-mails the PDF: {ok} only once the program answered OK (it then sends in the background), or
// {ok:false, message}.
export async function emailPdf({ name, paper, pages, recipients, replyTo, message, progress = () => {} }) {
  // An empty reply-to is left out, so the program uses the address of the E-mail settings.
  const fields = { sendto: recipients, message };
  if (replyTo) fields.replyto = replyTo;
  const posted = await post({ name, paper, pages, fields }, progress);
  if (!posted.ok) return posted;
  const reply = posted.reply;
  const text = await reply.text().catch(() => "");
  let data = null;
  try { data = JSON.parse(text); } catch { /* a bare status */ }
  if (!data) {
    if (reply.status === 403) return { ok: false, redirected: true, message: "Your session has ended." };
    return { ok: false, message: reply.status === 400 ? "Tavolex could not read the pages it was sent. Reload the page and try again." :
      "Tavolex could not send this e-mail (" + reply.status + "). Try again in a moment." };
  }
  const answer = api.fromJson(data);
  if (answer.ok) return { ok: true, fileName: posted.fileName };
  if (answer.redirected) return answer;
  return { ok: false, message: MAIL_WORDS.get(answer.serverText) || answer.message, serverText: answer.serverText };
}

// A modal progress dialog around one long action; `action(report)` gets a function that takes
// (text, share or null) and answers the action's result.
export async function runWithProgress(title, action) {
  const status = h("p", { id: "pdf-status" }, "Preparing…");
  const bar = h("progress", { max: 100, "aria-labelledby": "pdf-status" });
  const dialog = h("dialog", { "aria-labelledby": "pdf-title", class: "pdf-dialog" },
    h("div", { class: "dialog-form progress" }, h("h2", { id: "pdf-title" }, title), status, bar));
  dialog.addEventListener("cancel", (event) => event.preventDefault());
  document.body.append(dialog);
  dialog.showModal();
  try {
    return await action((text, share) => {
      status.textContent = text;
      if (share === null || share === undefined) bar.removeAttribute("value");
      else bar.value = Math.round(share * 100);
    });
  } finally {
    dialog.close();
    dialog.remove();
  }
}

// The progress texts of one export, for runWithProgress.
export function exportProgress(report, pages, making = "Tavolex is making the PDF…") {
  return (stage, share) => {
    if (stage === "sending") report("Sending " + pages.length + (pages.length === 1 ? " page" : " pages") + " to Tavolex…", null);
    if (stage === "making") report(making, null);
    if (stage === "receiving") report("Receiving the PDF…", share);
  };
}

export async function showFailure(title, message) {
  await openDialog({ title, body: [h("p", { id: "pdf-error" }, message)], actions: [{ value: "ok", label: "Close" }] });
}
