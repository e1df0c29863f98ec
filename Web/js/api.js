// The one door to the program's JSON API. Every answer carries "errorcode"; this module turns it
// into a result the screens handle: {ok, code, message, data}. A 303 (and a 401, which the menu
// routes give when the browser's session is gone) sends the browser to the page the program
// names; the screens keep their drafts in localStorage, so nothing typed is lost by that.

const listeners = new Set();

// Screens and the shell hear about a lost connection and its return here.
export function onConnectionChange(listener) {
  listeners.add(listener);
  return () => listeners.delete(listener);
}
let reachable = true;
function setReachable(value) {
  if (value === reachable) return;
  reachable = value;
  for (const listener of listeners) listener(value);
}
export function isReachable() {
  return reachable;
}

let redirecting = false;
function redirect(target) {
  if (redirecting) return;
  redirecting = true;
  // Back at index.html the shell returns to this screen, where a draft waits if there was one.
  try { sessionStorage.setItem("tavolex.return", window.location.hash); } catch { /* storage off */ }
  // The program writes both "login.html" and "/sessionexpired.html"; both live at the root.
  const page = target.replace(/^\/+/, "");
  window.location.assign(new URL(page, window.location.origin + "/").href);
}

const NOT_RUNNING = "Tavolex is not answering. Start it again; what you typed stays in this window.";

// What the program said, in an owner's words where its text is terse.
const FRIENDLY = new Map([
  ["Invalid email format", "This is not an e-mail address. Write it like name@example.com."],
  ["Invalid time zone", "Pick a time zone from the list."],
  ["Unauthorized", "Tavolex did not allow this change for your account."],
  ["Bad format. Invalid menu item name format", "A dish needs a name."],
  ["Bad format. Invalid menu item price format", "This price could not be read."],
  ["Bad format. Header name cannot be empty", "The business needs a name."],
  ["Internal error. Failed to save as new category", "Tavolex could not store this new category."],
  ["Internal error. Failed to save as new product", "Tavolex could not store this new dish."],
  ["Menu not found", "This menu no longer exists."],
  ["Source menu not found", "This menu no longer exists."],
  ["Not found", "This business no longer exists."],
]);
export function inWords(message) {
  return FRIENDLY.get(message) || message || "Something went wrong.";
}

async function exchange(path, init) {
  let reply;
  try {
    reply = await fetch(path, { cache: "no-store", credentials: "same-origin", ...init });
  } catch {
    setReachable(false);
    return { ok: false, code: 0, message: NOT_RUNNING, offline: true };
  }
  setReachable(true);
  return interpret(reply);
}

// Turns one HTTP answer into a result. Exported for the PDF download, whose good answer is a file.
export async function interpret(reply) {
  const text = await reply.text().catch(() => "");
  if (!reply.ok) {
    // Bare statuses carry no body: say what the status means for the owner.
    const words = reply.status === 400 ? "Tavolex could not read the request." :
      reply.status === 403 ? "Tavolex refused this request." : "Tavolex could not finish this (" + reply.status + ").";
    return { ok: false, code: reply.status, message: words };
  }
  let data;
  try {
    data = JSON.parse(text);
  } catch {
    return { ok: false, code: 500, message: "Tavolex sent an answer this page cannot read." };
  }
  return fromJson(data);
}

export function fromJson(data) {
  const code = Number(data.errorcode);
  if (code === 200) return { ok: true, code, data };
  if (code === 303) {
    redirect(data.errorredirect || "/sessionexpired.html");
    return { ok: false, code, message: "Your session has ended.", redirected: true };
  }
  if (code === 401) {
    redirect("/sessionexpired.html");
    return { ok: false, code, message: "Your session has ended.", redirected: true };
  }
  return { ok: false, code: code || 500, message: inWords(data.errormsg), serverText: data.errormsg || "" };
}

// A plain route read with GET and query parameters.
export function get(path, params = {}) {
  const query = new URLSearchParams(params).toString();
  return exchange(path + (query ? "?" + query : ""), { method: "GET" });
}

// A plain route given form parameters in a POST body (the SQL script routes read them so, and
// texts with quotes or accents travel safely).
export function postForm(path, params = {}) {
  return exchange(path, {
    method: "POST",
    headers: { "Content-Type": "application/x-www-form-urlencoded;charset=UTF-8" },
    body: new URLSearchParams(params).toString(),
  });
}

// A JSON-body route.
export function postJson(path, body) {
  return exchange(path, {
    method: "POST",
    headers: { "Content-Type": "application/json;charset=UTF-8" },
    body: JSON.stringify(body),
  });
}

// True once the page is on its way to the session pages: the draft is stored already, so the
// browser's "leave this page?" question would only confuse.
export function isRedirecting() {
  return redirecting;
}

export function redirectTo(page) {
  redirect(page);
}
