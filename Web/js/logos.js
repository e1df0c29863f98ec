// Logos: the owner's pictures kept by the program (at most ten, each at most 500 KB), uploaded
// as a file with a progress bar or pasted and dropped as data; and each logo prepared for a
// page: scaled to at most 300 dpi at the size it prints, as a data: URI the converter embeds.
import * as api from "./api.js";
import { h, announce, confirmDialog, emptyState } from "./ui.js";
import { fitInto } from "./layout.js";
import { problem } from "./store.js";

export const MAX_LOGO_BYTES = 512000;
export const MAX_LOGOS = 10;
const DPI = 300;
const TYPES = { png: "image/png", jpg: "image/jpeg", jpeg: "image/jpeg", gif: "image/gif", webp: "image/webp" };
const KINDS = "PNG, JPEG, GIF or WebP";

export const logoUrl = (id) => "api/menu/logoservefile?file=" + encodeURIComponent(id);
const kb = (bytes) => Math.ceil(bytes / 1024) + " KB";

const WORDS = new Map([
  ["Maximum upload size is 500kb", "This picture is larger than 500 KB, the most a logo may be. Save it smaller (about 1000 pixels wide is plenty) and try again."],
  ["User upload limit reached", "Tavolex already keeps " + MAX_LOGOS + " logos, the most it stores. Delete one you no longer use, then add this one."],
  ["File type not supported", "Tavolex takes logos as " + KINDS + " pictures. Save yours in one of these and try again."],
  ["Only image type is supported", "What you pasted or dropped is not a picture. Copy the picture itself, or choose its file."],
  ["Bad data uri format", "What you pasted or dropped is not a picture Tavolex can read. Save it as a " + KINDS + " file and choose that file."],
  ["Invalid data", "What you pasted or dropped is not a picture Tavolex can read. Save it as a " + KINDS + " file and choose that file."],
  ["Missing upload file", "No picture arrived. Choose the file again."],
]);
const inWords = (answer) => WORDS.get(answer.serverText) || answer.message;

export async function fetchLogos() {
  const answer = await api.get("api/menu/logosfetch");
  if (!answer.ok) return answer;
  return { ok: true, logos: (answer.data.rlogos || []).map((l) => l.id) };
}

// The identifier this browser gives with its uploads, so that it can ask for their progress.
function browserId() {
  let id = "";
  try { id = sessionStorage.getItem("tavolex.browserid") || ""; } catch { /* storage off */ }
  if (!id) {
    id = String(1 + Math.floor(Math.random() * 2147483646));
    try { sessionStorage.setItem("tavolex.browserid", id); } catch { /* a new one next time */ }
  }
  return id;
}

async function readProgress(id) {
  try {
    const reply = await fetch("uploadProgress?uBrowserID=" + id, { cache: "no-store", credentials: "same-origin" });
    const xml = new DOMParser().parseFromString(await reply.text(), "text/xml").querySelector("Upload");
    return { read: Number(xml?.getAttribute("bytesRead")) || 0, total: Number(xml?.getAttribute("totalBytes")) || 0 };
  } catch {
    return null;
  }
}

// What is wrong with a file before it is sent, in words; "" when it may go.
export function checkFile(file, stored) {
  const extension = (file.name.split(".").pop() || "").toLowerCase();
  if (!TYPES[extension]) return "“" + file.name + "” is not a " + KINDS + " picture. Save your logo in one of these and choose it again.";
  if (file.size > MAX_LOGO_BYTES) return "“" + file.name + "” is " + kb(file.size) + "; a logo may be at most 500 KB. Save it smaller (about 1000 pixels wide is plenty) and try again.";
  if (stored >= MAX_LOGOS) return "Tavolex already keeps " + MAX_LOGOS + " logos, the most it stores. Delete one you no longer use first.";
  return "";
}

// Sends a file to logouploadfile; `progress(share)` hears how much the program has read, from
// its uploadProgress answers. Answers {ok, id} or {ok:false, message}.
export function uploadFile(file, progress = () => {}) {
  const id = browserId();
  return new Promise(async (resolve) => {
    const baseline = (await readProgress(id))?.read || 0;
    const form = new FormData();
    form.append("file", file, file.name);
    const request = new XMLHttpRequest();
    let polling = true;
    const poll = async () => {
      while (polling) {
        const now = await readProgress(id);
        if (now && now.total && polling) progress(Math.min(1, Math.max(0, (now.read - baseline) / now.total)));
        await new Promise((r) => setTimeout(r, 150));
      }
    };
    request.open("POST", "api/menu/logouploadfile?uBrowserID=" + id);
    request.onload = () => {
      polling = false;
      let data = null;
      try { data = JSON.parse(request.responseText); } catch { /* below */ }
      if (!data) return resolve({ ok: false, message: "Tavolex could not take this picture (" + request.status + "). Try again, or choose another file." });
      const answer = api.fromJson(data);
      if (!answer.ok) return resolve({ ok: false, message: inWords(answer), redirected: answer.redirected });
      progress(1);
      resolve({ ok: true, id: data.logoId });
    };
    request.onerror = () => { polling = false; resolve({ ok: false, message: "Tavolex is not answering, so the logo was not stored. Start Tavolex again and choose the file once more." }); };
    request.send(form);
    poll();
  });
}

// Sends a picture given as a data: URI (pasted or dropped) to logouploaddata.
export async function uploadData(dataUri, stored) {
  const match = /^data:([^;,]*)[^,]*,(.*)$/s.exec(dataUri || "");
  if (!match || !match[1].startsWith("image")) return { ok: false, message: WORDS.get("Only image type is supported") };
  const bytes = Math.floor(match[2].replace(/[^A-Za-z0-9+/]/g, "").length * 3 / 4);
  if (bytes > MAX_LOGO_BYTES) return { ok: false, message: "This picture is " + kb(bytes) + "; a logo may be at most 500 KB. Save it smaller (about 1000 pixels wide is plenty) and try again." };
  if (stored >= MAX_LOGOS) return { ok: false, message: WORDS.get("User upload limit reached") };
  const answer = await api.postJson("api/menu/logouploaddata", { data: dataUri });
  if (!answer.ok) return { ok: false, message: inWords(answer), redirected: answer.redirected };
  return { ok: true, id: answer.data.logoId };
}

export function readAsDataUri(blob) {
  return new Promise((resolve) => {
    const reader = new FileReader();
    reader.onload = () => resolve(String(reader.result));
    reader.onerror = () => resolve("");
    reader.readAsDataURL(blob);
  });
}

// ---- a logo on the page

const prepared = new Map();

// The logo `id` fitted into `box` (points), its pixels at most 300 dpi at that printed size,
// as PNG (JPEG when a PNG of a photograph would be large). Answers {ok, logo: {href, width,
// height, pixelWidth, pixelHeight}} or {ok:false, message}.
export function preparedLogo(id, box) {
  const key = id + "|" + Math.round(box.width) + "x" + Math.round(box.height);
  if (!prepared.has(key)) prepared.set(key, prepare(id, box).then((result) => { if (!result.ok) prepared.delete(key); return result; }));
  return prepared.get(key);
}

async function prepare(id, box) {
  const image = new Image();
  image.src = logoUrl(id);
  try {
    await image.decode();
  } catch {
    return { ok: false, message: "The logo chosen for this menu could not be loaded (perhaps it was deleted). Pick another logo, or none." };
  }
  const printed = fitInto({ width: image.naturalWidth, height: image.naturalHeight }, box);
  const most = Math.ceil(printed.width / 72 * DPI);
  const pixelWidth = Math.max(1, Math.min(image.naturalWidth, most));
  const pixelHeight = Math.max(1, Math.round(pixelWidth * image.naturalHeight / image.naturalWidth));
  const canvas = document.createElement("canvas");
  canvas.width = pixelWidth;
  canvas.height = pixelHeight;
  const context = canvas.getContext("2d");
  context.imageSmoothingQuality = "high";
  context.drawImage(image, 0, 0, pixelWidth, pixelHeight);
  let href = canvas.toDataURL("image/png");
  if (href.length > 400000) {
    // A photograph: as JPEG, on white (JPEG has no transparency).
    context.globalCompositeOperation = "destination-over";
    context.fillStyle = "#ffffff";
    context.fillRect(0, 0, pixelWidth, pixelHeight);
    href = canvas.toDataURL("image/jpeg", 0.9);
  }
  return { ok: true, logo: { href, width: printed.width, height: printed.height, pixelWidth, pixelHeight } };
}

// ---- the Logos screen

let screen = null;

async function render(container) {
  const list = await fetchLogos();
  if (!list.ok) return problem(container, list);
  screen = { container, logos: list.logos };
  draw();
}

function draw() {
  const { container, logos } = screen;
  const file = h("input", { type: "file", id: "logo-file", accept: ".png,.jpg,.jpeg,.gif,.webp,image/png,image/jpeg,image/gif,image/webp",
    class: "visually-hidden", tabindex: "-1", "aria-label": "Logo picture file" });
  file.addEventListener("change", () => { if (file.files[0]) sendFile(file.files[0]); file.value = ""; });
  const full = logos.length >= MAX_LOGOS;
  const choose = h("button", { type: "button", class: "primary", disabled: full, onclick: () => file.click() }, "Choose a picture file…");
  const drop = h("div", { class: "drop-zone", id: "logo-drop", role: "group", "aria-labelledby": "drop-title" },
    h("p", { id: "drop-title", class: "drop-title" }, "Add a logo"),
    h("p", {}, choose, file),
    h("p", { class: "hint" }, "or drop a picture here, or copy one and paste it with Ctrl+V."),
    h("p", { class: "hint" }, KINDS + ", at most 500 KB each; Tavolex keeps up to " + MAX_LOGOS + " logos."));
  drop.addEventListener("dragover", (event) => { event.preventDefault(); drop.classList.add("over"); });
  drop.addEventListener("dragleave", () => drop.classList.remove("over"));
  drop.addEventListener("drop", async (event) => {
    event.preventDefault();
    drop.classList.remove("over");
    const picture = [...(event.dataTransfer?.files || [])][0];
    if (picture) return sendPicture(picture);
    const uri = event.dataTransfer?.getData("text/uri-list") || event.dataTransfer?.getData("text/plain") || "";
    if (uri.startsWith("data:")) return sendData(uri);
    status("Drop a picture file here (" + KINDS + ").", "error");
  });
  const bar = h("progress", { id: "logo-progress", max: 100, value: 0, hidden: true, "aria-label": "Upload progress" });
  const line = h("p", { id: "logo-status", role: "status", class: "state" });
  const head = h("div", { class: "screen-head" },
    h("div", {}, h("h1", {}, "Logos"), h("p", { class: "lead" }, "Your logo prints at the top of your menus. Pick it for each menu in the menu's design.")),
    h("p", { class: "pill", id: "logo-count" }, logos.length + " of " + MAX_LOGOS + " logos stored"));
  const grid = logos.length
    ? h("ul", { class: "logo-grid", "aria-label": "Stored logos" }, logos.map((id, index) => h("li", { class: "logo-card", "data-logo": id },
      h("img", { src: logoUrl(id), alt: "Logo " + (index + 1) }),
      h("button", { class: "small link-danger", onclick: () => removeLogo(id, index), "aria-label": "Delete logo " + (index + 1) }, "Delete"))))
    : emptyState("No logos yet", "Add your logo above: it prints at the top of the menus you pick it for.");
  const warn = full ? h("p", { class: "banner", role: "note" }, "Tavolex keeps " + MAX_LOGOS + " logos at most and all places are taken: delete one before you add another.") : null;
  container.replaceChildren(...[head, warn, h("div", { class: "panel" }, drop, bar, line), grid].filter(Boolean));
}

function status(text, kind = "") {
  const line = document.getElementById("logo-status");
  if (!line) return;
  line.textContent = text;
  line.className = "state " + kind;
}

async function sendFile(picture) {
  const bad = checkFile(picture, screen.logos.length);
  if (bad) return status(bad, "error");
  const bar = document.getElementById("logo-progress");
  bar.hidden = false;
  bar.value = 0;
  status("Uploading “" + picture.name + "”…");
  const result = await uploadFile(picture, (share) => { bar.value = Math.round(share * 100); });
  finish(result, "“" + picture.name + "”");
}

async function sendPicture(picture) {
  if (!picture.type.startsWith("image/")) return status("“" + picture.name + "” is not a picture. Drop a " + KINDS + " file.", "error");
  if (picture.size > MAX_LOGO_BYTES) return status("“" + picture.name + "” is " + kb(picture.size) + "; a logo may be at most 500 KB. Save it smaller and try again.", "error");
  sendData(await readAsDataUri(picture));
}

async function sendData(uri) {
  status("Storing the picture…");
  const result = await uploadData(uri, screen.logos.length);
  finish(result, "The picture");
}

async function finish(result, what) {
  if (result.redirected) return;
  const bar = document.getElementById("logo-progress");
  if (!result.ok) {
    if (bar) bar.hidden = true;
    return status(result.message, "error");
  }
  announce(what + " was added to your logos.");
  await render(screen.container);
  status(what + " was added. Pick it for a menu in the menu's design.", "ok");
}

async function removeLogo(id, index) {
  const body = [h("p", {}, h("img", { src: logoUrl(id), alt: "Logo " + (index + 1), class: "logo-confirm" })),
    h("p", {}, "Menus that show this logo print without a logo until you pick another one.")];
  if (!(await confirmDialog("Delete this logo?", body, "Delete logo"))) return;
  const answer = await api.postJson("api/menu/logodelete", { logoId: id });
  if (!answer.ok) return announce(answer.message, "error");
  for (const key of [...prepared.keys()]) if (key.startsWith(id + "|")) prepared.delete(key);
  announce("Logo deleted.");
  await render(screen.container);
}

function onPaste(event) {
  if (!screen || !document.getElementById("logo-drop")) return;
  const item = [...(event.clipboardData?.items || [])].find((i) => i.kind === "file" && i.type.startsWith("image/"));
  if (item) { event.preventDefault(); sendPicture(item.getAsFile()); return; }
  const text = event.clipboardData?.getData("text/plain") || "";
  if (text.trim().startsWith("data:")) { event.preventDefault(); sendData(text.trim()); }
}

export default {
  async render(container) {
    document.addEventListener("paste", onPaste);
    await render(container);
  },
  leave() { document.removeEventListener("paste", onPaste); screen = null; },
};
