// Prices are whole counts of the currency's smallest unit (cents), sent as decimal text. The
// owner reads and types them in the business's own format: symbol and where it goes, decimals,
// decimal mark and thousands mark, as the business's currency row says.

export const DEFAULT_CURRENCY = {
  currency_symbol: "$", currency_order: 0, currency_digits: 2, decimal_symbol: ".",
  thousands_symbol: ",", use_parentheses_for_negative: 0, use_currency_symbol: 1, use_thousands_symbol: 1,
};

// The currency row as numbers and texts whatever the database handed back.
export function normalCurrency(row) {
  const c = { ...DEFAULT_CURRENCY, ...(row || {}) };
  const digits = parseInt(c.currency_digits, 10);
  return {
    symbol: String(c.currency_symbol ?? "$"),
    order: parseInt(c.currency_order, 10) || 0,
    digits: Number.isFinite(digits) ? Math.min(Math.max(digits, 0), 4) : 2,
    decimal: String(c.decimal_symbol || "."),
    thousands: String(c.thousands_symbol ?? ","),
    parentheses: String(c.use_parentheses_for_negative) === "1",
    useSymbol: String(c.use_currency_symbol) !== "0",
    useThousands: String(c.use_thousands_symbol) !== "0",
  };
}

// Symbol positions the form offers; the number is stored as CURRENCY_ORDER.
export const SYMBOL_PLACES = [
  { value: 0, label: "Before the amount ($12.50)" },
  { value: 1, label: "After the amount, with a space (12.50 $)" },
  { value: 2, label: "Before the amount, with a space ($ 12.50)" },
  { value: 3, label: "After the amount (12.50$)" },
];

function groupDigits(whole, mark) {
  let out = "";
  for (let i = 0; i < whole.length; i++) {
    if (i > 0 && (whole.length - i) % 3 === 0) out += mark;
    out += whole[i];
  }
  return out;
}

// The amount without the symbol: 123450 -> "1.234,50".
export function formatAmount(minor, currency) {
  const c = currency;
  let value = BigInt(String(minor ?? "0").trim() || "0");
  const negative = value < 0n;
  if (negative) value = -value;
  let digits = value.toString().padStart(c.digits + 1, "0");
  const whole = digits.slice(0, digits.length - c.digits);
  const fraction = digits.slice(digits.length - c.digits);
  let text = c.useThousands && c.thousands ? groupDigits(whole, c.thousands) : whole;
  if (c.digits > 0) text += c.decimal + fraction;
  return { text, negative };
}

export function formatPrice(minor, currency) {
  const { text, negative } = formatAmount(minor, currency);
  let shown = text;
  if (currency.useSymbol && currency.symbol) {
    switch (currency.order) {
      case 1: shown = text + "\u00a0" + currency.symbol; break;
      case 2: shown = currency.symbol + "\u00a0" + text; break;
      case 3: shown = text + currency.symbol; break;
      default: shown = currency.symbol + text;
    }
  }
  if (!negative) return shown;
  return currency.parentheses ? "(" + shown + ")" : "-" + shown;
}

// What the owner typed, back to minor units: {ok, minor} or {ok:false, message}. Refuses what it
// cannot read instead of guessing, so a typing error never becomes a price of 0.
export function parsePrice(typed, currency) {
  const example = formatAmount(123450, currency).text;
  const fail = { ok: false, message: "Type the price as a number, like " + example + "." };
  let text = String(typed ?? "").trim();
  if (!text) return { ok: false, message: "Type a price, like " + example + "." };
  let negative = false;
  if (text.startsWith("(") && text.endsWith(")")) { negative = true; text = text.slice(1, -1).trim(); }
  if (currency.symbol) text = text.split(currency.symbol).join("").trim();
  if (text.startsWith("-")) { negative = !negative; text = text.slice(1).trim(); }
  text = text.replace(/[\u00a0\u202f]/g, " ");
  let whole = text;
  let fraction = "";
  const at = text.lastIndexOf(currency.decimal);
  if (currency.digits > 0 && at >= 0) {
    whole = text.slice(0, at);
    fraction = text.slice(at + currency.decimal.length);
  }
  if (whole === "" && fraction !== "") whole = "0";
  if (currency.thousands && whole.includes(currency.thousands)) {
    const groups = whole.split(currency.thousands);
    if (!/^\d{1,3}$/.test(groups[0]) || groups.slice(1).some((g) => !/^\d{3}$/.test(g))) return fail;
    whole = groups.join("");
  }
  if (!/^\d+$/.test(whole) || !/^\d*$/.test(fraction)) return fail;
  if (fraction.length > currency.digits) {
    return { ok: false, message: currency.digits === 0 ? "This currency has no decimals: type " + formatAmount(1234, currency).text + "." :
      "Use at most " + currency.digits + " decimals, like " + example + "." };
  }
  const minor = BigInt(whole) * 10n ** BigInt(currency.digits) + BigInt(fraction.padEnd(currency.digits, "0") || "0");
  if (minor > 9223372036854775807n) return fail;
  return { ok: true, minor: (negative && minor !== 0n ? "-" : "") + minor.toString() };
}
