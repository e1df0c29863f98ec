// Small helpers the screens share: building elements, fields with their error line, dialogs,
// and the announcement line read out by screen readers.

export function h(tag, attributes = {}, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (name.startsWith("on") && typeof value === "function") element.addEventListener(name.slice(2), value);
    else if (name === "class") element.className = value;
    else if (name === "text") element.textContent = value;
    else if (name in element && typeof value !== "string") element[name] = value;
    else element.setAttribute(name, value === true ? "" : value);
  }
  for (const child of children.flat()) {
    if (child === undefined || child === null || child === false) continue;
    element.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return element;
}

let fieldCount = 0;
// A labelled field with a hint and an error line tied to it for assistive technology.
export function field(label, control, { hint, required } = {}) {
  const id = control.id || "f" + ++fieldCount;
  control.id = id;
  const error = h("p", { class: "field-error", id: id + "-error", role: "alert", hidden: true });
  const described = [error.id];
  let hintLine = null;
  if (hint) {
    hintLine = h("p", { class: "hint", id: id + "-hint" }, hint);
    described.unshift(hintLine.id);
  }
  control.setAttribute("aria-describedby", described.join(" "));
  if (required) control.required = true;
  const wrapper = h("div", { class: "field" }, h("label", { for: id }, label), control, hintLine, error);
  wrapper.setError = (message) => setFieldError(control, message);
  return wrapper;
}

export function setFieldError(control, message) {
  const error = document.getElementById(control.id + "-error");
  if (!error) return;
  error.textContent = message || "";
  error.hidden = !message;
  control.setAttribute("aria-invalid", message ? "true" : "false");
  control.closest(".field")?.classList.toggle("has-error", !!message);
}

export function input(attributes = {}) {
  return h("input", { type: "text", autocomplete: "off", ...attributes });
}

export function select(options, value, attributes = {}) {
  const element = h("select", attributes);
  for (const option of options) element.append(h("option", { value: String(option.value) }, option.label));
  if (value !== undefined) element.value = String(value);
  return element;
}

// Announces a short result ("Menu saved") politely, and shows it for a while.
export function announce(message, kind = "ok") {
  const line = document.getElementById("notice");
  if (!line) return;
  line.textContent = message;
  line.className = "notice " + kind;
  line.hidden = false;
  clearTimeout(announce.timer);
  announce.timer = setTimeout(() => { line.hidden = true; }, kind === "error" ? 12000 : 5000);
}

// A modal dialog; resolves with the value of the button pressed (or "cancel" on Escape).
export function openDialog({ title, body, actions, onSubmit }) {
  return new Promise((resolve) => {
    const heading = h("h2", { id: "dialog-title" }, title);
    const form = h("form", { method: "dialog", class: "dialog-form" });
    const content = h("div", { class: "dialog-body" }, body);
    const buttons = h("div", { class: "dialog-actions" });
    for (const action of actions) {
      buttons.append(h("button", {
        type: action.value === "cancel" ? "button" : "submit", value: action.value,
        class: action.class || (action.value === "cancel" ? "secondary" : "primary"),
        onclick: action.value === "cancel" ? () => close("cancel") : undefined,
      }, action.label));
    }
    form.append(heading, content, buttons);
    const dialog = h("dialog", { "aria-labelledby": "dialog-title" }, form);
    let busy = false;
    form.addEventListener("submit", async (event) => {
      event.preventDefault();
      if (busy) return;
      const value = event.submitter?.value || actions.find((a) => a.value !== "cancel")?.value;
      if (onSubmit) {
        busy = true;
        const keepOpen = await onSubmit(value, dialog);
        busy = false;
        if (keepOpen) return;
      }
      close(value);
    });
    dialog.addEventListener("cancel", (event) => { event.preventDefault(); close("cancel"); });
    function close(value) {
      dialog.close();
      dialog.remove();
      resolve(value);
    }
    document.body.append(dialog);
    dialog.showModal();
    const first = content.querySelector("input, select, textarea") || buttons.querySelector("button.primary");
    first?.focus();
  });
}

export async function confirmDialog(title, message, confirmLabel) {
  const body = Array.isArray(message) ? message : [h("p", {}, message)];
  const answer = await openDialog({
    title, body,
    actions: [{ value: "cancel", label: "Cancel" }, { value: "confirm", label: confirmLabel, class: "danger" }],
  });
  return answer === "confirm";
}

export function emptyState(title, text, action) {
  return h("div", { class: "empty-state" }, h("h2", {}, title), h("p", {}, text), action || null);
}
