// The download: the pages the preview shows, posted to the program as "menudata", and the PDF
// it answers saved under the menu's name.
import * as api from "./api.js";

export function pdfFileName(menuName) {
  const base = String(menuName || "").replace(/[\\/:*?"<>|\u0000-\u001f]/g, " ").replace(/\s+/g, " ").trim().replace(/^\.+/, "").replace(/[. ]+$/, "");
  return (base || "menu") + ".pdf";
}

// `progress(stage, fraction)` hears "sending", "making", "receiving" (with the share received)
// and "done". Answers {ok, fileName, bytes} or {ok:false, message}.
export async function downloadPdf({ name, paper, pages, progress = () => {} }) {
  const fileName = pdfFileName(name);
  const body = new URLSearchParams({ menudata: JSON.stringify({ menupapersize: paper, armenupages: pages }), filename: fileName });
  progress("sending", 0);
  let reply;
  try {
    const sent = fetch("api/menu/genpdf", {
      method: "POST", cache: "no-store", credentials: "same-origin",
      headers: { "Content-Type": "application/x-www-form-urlencoded;charset=UTF-8" }, body,
    });
    progress("making", 0);
    reply = await sent;
  } catch {
    return { ok: false, message: "Tavolex is not answering, so the PDF could not be made. Start Tavolex again and download once more." };
  }
  const type = reply.headers.get("Content-Type") || "";
  if (!reply.ok || !type.startsWith("application/pdf")) {
    const result = reply.ok && type.includes("json") ? api.fromJson(await reply.json().catch(() => ({}))) : await api.interpret(reply);
    if (result.redirected) return result;
    const words = reply.status === 500 ? "Tavolex could not turn these pages into a PDF." :
      reply.status === 400 ? "Tavolex could not read the pages it was sent." : result.message;
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
  const file = new Blob(chunks, { type: "application/pdf" });
  const url = URL.createObjectURL(file);
  const link = document.createElement("a");
  link.href = url;
  link.download = fileName;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
  progress("done", 1);
  return { ok: true, fileName, bytes: file.size };
}
