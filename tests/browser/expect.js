// playwright-core has no test runner: its web-first assertions come from a small waiting
// helper here, so a check waits for the page the way an owner would, and fails with what it saw.
import assert from "node:assert/strict";

async function until(check, describe, timeout = 10000) {
  const end = Date.now() + timeout;
  let last;
  for (;;) {
    try {
      last = await check();
      if (last.pass) return;
    } catch (error) {
      last = { pass: false, seen: String(error.message || error) };
    }
    if (Date.now() > end) assert.fail(describe + " (saw: " + last.seen + ")");
    await new Promise((r) => setTimeout(r, 100));
  }
}

export function expect(locator) {
  return {
    async toBeVisible() {
      await until(async () => ({ pass: await locator.first().isVisible(), seen: "not visible" }), "expected visible: " + locator);
    },
    async toBeHidden() {
      await until(async () => ({ pass: !(await locator.first().isVisible()), seen: "visible" }), "expected hidden: " + locator);
    },
    async toHaveValue(value) {
      await until(async () => { const v = await locator.inputValue(); return { pass: v === value, seen: v }; }, "expected value " + value + ": " + locator);
    },
    async toContainText(text, timeout) {
      await until(async () => {
        const t = (await locator.first().textContent()) || "";
        const n = t.replace(/[\u00a0\u202f]/g, " ");
        return { pass: text instanceof RegExp ? text.test(n) : n.includes(text), seen: n.slice(0, 300) };
      }, "expected text " + text + " in " + locator, timeout);
    },
    async toHaveCount(count) {
      await until(async () => { const c = await locator.count(); return { pass: c === count, seen: c }; }, "expected " + count + " of " + locator);
    },
    async toHaveAttribute(name, value) {
      await until(async () => { const v = await locator.first().getAttribute(name); return { pass: v === value, seen: v }; }, "expected " + name + "=" + value + ": " + locator);
    },
  };
}
