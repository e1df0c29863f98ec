// The page engine the templates share. A template (js/templates/*.js) says how a heading, a
// dish, the title block and the page itself look; this module measures, wraps and flows those
// blocks into columns and pages, and writes each page as one SVG document: the very text the
// preview shows and the PDF converter draws. Kept to what the converter draws as a browser
// does: the bundled families by name, one <text> per line at an explicit position (lines are
// measured and wrapped here), opacity only as fill-opacity/stroke-opacity, dashes with butt
// caps, pictures only as data: URIs.
//
//   const flow = flowMenu(menu, { paper, columns: 2, margin, firstTop, blocks }, measure);
//   const svgs = finishPages(flow.pages, paper, (page, count) => ({ under: [...], over: [...] }));
//
// `measure(text, font)` gives the advance width in points of `text` set in `font`
// ({family, size, weight, italic}). Short categories are kept whole in one column, long ones
// go on in the next; a dish too tall for a whole column is left out and listed in `overflow`,
// never cut.

// Page sizes in points (1/72 in), portrait, as the converter's paper table has them.
export const PAPER = {
  A4: { width: 595, height: 842 }, Letter: { width: 612, height: 792 },
  Legal: { width: 612, height: 1008 }, A3: { width: 842, height: 1191 },
};
export const FAMILIES = ["Lato", "Open Sans", "DejaVu Serif"];

export function escapeXml(text) {
  return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;").replace(/"/g, "&quot;");
}
export const fmt = (n) => (Math.round(n * 100) / 100).toString();

// Breaks `text` into lines no wider than `width`; a word longer than a line is broken by letters.
export function wrap(text, font, width, measure) {
  const words = String(text).split(/\s+/).filter(Boolean);
  const lines = [];
  let line = "";
  for (let word of words) {
    const candidate = line ? line + " " + word : word;
    if (measure(candidate, font) <= width) { line = candidate; continue; }
    if (line) lines.push(line);
    line = "";
    while (measure(word, font) > width && word.length > 1) {
      let cut = word.length - 1;
      while (cut > 1 && measure(word.slice(0, cut), font) > width) cut--;
      lines.push(word.slice(0, cut));
      word = word.slice(cut);
    }
    line = word;
  }
  if (line) lines.push(line);
  return lines;
}

// One line of text. `opacity` becomes fill-opacity, the only transparency the converter keeps.
export function textElement(x, y, text, font, fill, anchor, opacity) {
  return `<text x="${fmt(x)}" y="${fmt(y)}" font-family="${escapeXml(font.family)}" font-size="${fmt(font.size)}"` +
    ` font-weight="${font.weight}" font-style="${font.italic ? "italic" : "normal"}" fill="${fill}"` +
    (opacity !== undefined && opacity < 1 ? ` fill-opacity="${fmt(opacity)}"` : "") +
    (anchor ? ` text-anchor="${anchor}"` : "") + `>${escapeXml(text)}</text>`;
}

export function lineElement(x1, y1, x2, y2, stroke, width, { dash, opacity } = {}) {
  return `<line x1="${fmt(x1)}" y1="${fmt(y1)}" x2="${fmt(x2)}" y2="${fmt(y2)}" stroke="${stroke}" stroke-width="${fmt(width)}"` +
    ` stroke-linecap="butt"` + (dash ? ` stroke-dasharray="${dash.map(fmt).join(" ")}"` : "") +
    (opacity !== undefined && opacity < 1 ? ` stroke-opacity="${fmt(opacity)}"` : "") + "/>";
}

export function rectElement(x, y, width, height, { fill = "none", stroke, strokeWidth, rx, fillOpacity, strokeOpacity, dash } = {}) {
  return `<rect x="${fmt(x)}" y="${fmt(y)}" width="${fmt(width)}" height="${fmt(height)}" fill="${fill}"` +
    (rx ? ` rx="${fmt(rx)}"` : "") + (fillOpacity !== undefined ? ` fill-opacity="${fmt(fillOpacity)}"` : "") +
    (stroke ? ` stroke="${stroke}" stroke-width="${fmt(strokeWidth || 1)}"` : "") +
    (strokeOpacity !== undefined ? ` stroke-opacity="${fmt(strokeOpacity)}"` : "") +
    (dash ? ` stroke-linecap="butt" stroke-dasharray="${dash.map(fmt).join(" ")}"` : "") + "/>";
}

// The owner's logo as prepared by js/logos.js: a data: URI already scaled to its printed size.
export function imageElement(logo, x, y) {
  return `<image x="${fmt(x)}" y="${fmt(y)}" width="${fmt(logo.width)}" height="${fmt(logo.height)}" href="${logo.href}"/>`;
}

// A font record as the measure and textElement take it.
export const font = (family, size, weight = 400, italic = false) => ({ family, size, weight, italic });
export const lineOf = (f, leading = 1.3) => f.size * leading;

// Fits a box of `natural` proportions into at most `box` (both {width, height}, points).
export function fitInto(natural, box) {
  const ratio = Math.min(box.width / natural.width, box.height / natural.height);
  return { width: natural.width * ratio, height: natural.height * ratio };
}

// The categories and dishes the menu shows, in the menu's order.
export function shownCategories(menu) {
  const out = [];
  for (const category of menu.rcategories || []) {
    if (category.hidden) continue;
    const items = (category.ritems || []).filter((i) => !i.hidden);
    if (items.length) out.push({ category, items });
  }
  return out;
}

// Flows the shown categories into columns and pages.
//   options.paper      {width, height}
//   options.columns    1, 2 or 3
//   options.gap        space between columns
//   options.margin     {top, right, bottom, left}: the content area of every page
//   options.firstTop   where content starts on page 1 (below the title block)
//   options.categoryGap space before a category that does not open a column
//   options.blocks.heading(category, columnWidth, {again}) and .item(item, columnWidth): each
//     answers {height, draw(x, top, out)} (heading may answer null: no heading); `again` asks
//     for the heading repeated where a category goes on in a new column (the name, no notes)
// Answers {pages: [{number, parts, top, used}], overflow: [items], columnWidth}; `used` is the
// lowest point any column of the page reaches.
// The share of a column up to which a category is moved whole to the next column rather than
// split; longer ones are split between columns (at a dish, never inside one).
const KEEP_WHOLE = 0.5;

export function flowMenu(menu, options) {
  const { paper, margin, blocks } = options;
  const columns = Math.max(1, options.columns || 1);
  const gap = options.gap || 0;
  const innerWidth = paper.width - margin.left - margin.right;
  const columnWidth = (innerWidth - gap * (columns - 1)) / columns;
  const bottom = paper.height - margin.bottom;
  const overflow = [];
  const pages = [];
  let page = null;
  let column = 0;
  let y = 0;
  function newPage() {
    page = { parts: [], number: pages.length + 1 };
    pages.push(page);
    column = 0;
    y = page.number === 1 ? options.firstTop ?? margin.top : margin.top;
    page.top = y;
  }
  function nextColumn() {
    if (column + 1 < columns) { column++; y = page.top; } else newPage();
  }
  const atColumnTop = () => y === page.top;
  const x = () => margin.left + column * (columnWidth + gap);

  newPage();
  const fullColumn = bottom - margin.top;
  for (const { category, items } of shownCategories(menu)) {
    const fitting = items.map((item) => blocks.item(item, columnWidth)).filter((block, index) => {
      // Taller than a whole empty column: it cannot be printed whole, so it is left out and named.
      if (block.height <= fullColumn) return true;
      overflow.push(items[index]);
      return false;
    });
    if (!fitting.length) continue;
    const heading = blocks.heading(category, columnWidth);
    const headingHeight = heading ? heading.height : 0;
    const whole = headingHeight + fitting.reduce((sum, b) => sum + b.height, 0);
    const lead = atColumnTop() ? 0 : options.categoryGap || 0;
    // A short category is kept whole: it starts a new column or page when it fits there but
    // not here. A long one (more than KEEP_WHOLE of a column) starts here and goes on in the
    // next column, so that pages are not left half empty; its heading never stays at the foot
    // of a column without its first two dishes. A column that is still empty (below the first
    // page's title, say) is never skipped.
    const opening = headingHeight + fitting.slice(0, 2).reduce((sum, b) => sum + b.height, 0);
    if (!atColumnTop() && y + lead + whole > bottom && whole <= fullColumn * KEEP_WHOLE) nextColumn();
    else if (!atColumnTop() && y + lead + opening > bottom) nextColumn();
    if (!atColumnTop()) y += options.categoryGap || 0;
    if (heading) { heading.draw(x(), y, page.parts); y += heading.height; }
    for (const [index, block] of fitting.entries()) {
      if (y + block.height > bottom) {
        nextColumn();
        // A category going on in a new column repeats its heading (the name alone), so the
        // reader knows where the dishes belong; no words are added, the menu may be in any language.
        const again = index > 0 ? blocks.heading(category, columnWidth, { again: true }) : null;
        if (again && y + again.height + block.height <= bottom) { again.draw(x(), y, page.parts); y += again.height; }
        while (y + block.height > bottom) nextColumn();
      }
      block.draw(x(), y, page.parts);
      y += block.height;
      page.used = Math.max(page.used || 0, y);
    }
  }
  return { pages, overflow, columnWidth };
}

// Writes each page as a complete SVG document; `decorate(page, count)` gives the parts drawn
// under the content (background, frame) and over it (page number).
export function finishPages(pages, paper, decorate) {
  const count = pages.length;
  return pages.map((page) => {
    const { under = [], over = [] } = decorate(page, count);
    return `<svg xmlns="http://www.w3.org/2000/svg" width="${paper.width}" height="${paper.height}" viewBox="0 0 ${paper.width} ${paper.height}">` +
      under.join("") + page.parts.join("") + over.join("") + "</svg>";
  });
}

// A measuring function on a canvas, set in the bundled fonts (which must be loaded first).
export function canvasMeasure() {
  const context = document.createElement("canvas").getContext("2d");
  const cache = new Map();
  return (text, f) => {
    const key = f.family + f.size + f.weight + f.italic + "\u0000" + text;
    let width = cache.get(key);
    if (width === undefined) {
      context.font = `${f.italic ? "italic " : ""}${f.weight} ${f.size}px "${f.family}"`;
      width = context.measureText(text).width;
      if (cache.size > 20000) cache.clear();
      cache.set(key, width);
    }
    return width;
  };
}

// Waits until every face of the families the pages use is loaded, so that measuring uses the
// real fonts.
export async function loadPageFonts(families) {
  const list = [...new Set([].concat(families).filter((f) => FAMILIES.includes(f)))];
  const faces = list.flatMap((family) => ["400", "700", "italic 400", "italic 700"].map((style) => document.fonts.load(`${style} 12px "${family}"`)));
  await Promise.all(faces);
  return list.every((family) => document.fonts.check(`700 12px "${family}"`));
}

// A dish with its price at the right edge of the column (the name's last line carries it), its
// description and extras below, and an optional leader from the name to the price.
//   style.fonts   {name, price, detail, extras}
//   style.ink     {name, price, detail, extras, leader} colours; style.soft opacity of detail
//   style.leader  null, or {dash: [on, off], width, opacity}
//   style.after   space below the dish
export function pricedDish(item, columnWidth, style, money, measure) {
  const { fonts, ink } = style;
  const unit = fonts.name.size / 12.5;
  const priceText = money(item.price);
  const priceWidth = measure(priceText, fonts.price);
  const nameWidth = Math.max(columnWidth - priceWidth - 28 * unit, columnWidth * 0.4);
  const nameLines = wrap(item.name, fonts.name, nameWidth, measure);
  const textWidth = columnWidth - priceWidth - 12 * unit;
  const detailLines = item.detail ? wrap(item.detail, fonts.detail, textWidth, measure) : [];
  const extrasLines = item.extras ? wrap(item.extras, fonts.extras, textWidth, measure) : [];
  const height = nameLines.length * lineOf(fonts.name) + detailLines.length * lineOf(fonts.detail) +
    extrasLines.length * lineOf(fonts.extras) + style.after;
  function draw(x, top, out) {
    let y = top + fonts.name.size;
    nameLines.forEach((line, index) => {
      out.push(textElement(x, y, line, fonts.name, ink.name));
      if (index === nameLines.length - 1) {
        const end = x + columnWidth;
        const start = x + measure(line, fonts.name) + 5 * unit;
        const leaderEnd = end - priceWidth - 5 * unit;
        if (style.leader && leaderEnd > start) {
          out.push(lineElement(start, y, leaderEnd, y, ink.leader, style.leader.width * unit,
            { dash: style.leader.dash.map((d) => d * unit), opacity: style.leader.opacity }));
        }
        out.push(textElement(end, y, priceText, fonts.price, ink.price, "end"));
      }
      y += lineOf(fonts.name);
    });
    y -= lineOf(fonts.name) - lineOf(fonts.detail);
    for (const line of detailLines) { out.push(textElement(x, y, line, fonts.detail, ink.detail, undefined, style.soft)); y += lineOf(fonts.detail); }
    if (extrasLines.length) y += lineOf(fonts.extras) - lineOf(fonts.detail);
    for (const line of extrasLines) { out.push(textElement(x, y, line, fonts.extras, ink.extras)); y += lineOf(fonts.extras); }
  }
  return { height, draw };
}

// The title block most templates share: logo, menu name, business line, measured once.
//   style.fonts {title, contact}; style.align "middle" or "start"; style.gap below each part
export function titleBlock(menu, width, style, measure, logo) {
  const header = menu.header || {};
  const { title, contact } = style.fonts;
  const titleLines = wrap(menu.name || "", title, width, measure);
  const contactText = [header.name, header.address, header.phone, header.website].filter(Boolean).join("  ·  ");
  const contactLines = contactText ? wrap(contactText, contact, width, measure) : [];
  // Baselines, from the top of the block. `style.logoCard` ({fill, pad}) sets the logo on a
  // light card, for dark pages where a logo drawn for white paper would vanish.
  const card = logo && style.logoCard;
  const pad = card ? style.logoCard.pad : 0;
  const logoHeight = logo ? logo.height + 2 * pad + style.gap : 0;
  const baselines = [];
  let y = logoHeight + title.size * 0.95;
  for (let i = 0; i < titleLines.length; i++) { baselines.push(y); y += lineOf(title, 1.2); }
  if (titleLines.length) y += contact.size * 1.1 - lineOf(title, 1.2) + title.size * 0.45;
  else y = logoHeight + contact.size;
  const contactBaselines = contactLines.map((_, i) => y + i * lineOf(contact));
  const last = contactBaselines.length ? contactBaselines[contactBaselines.length - 1] + contact.size * 0.3
    : baselines.length ? baselines[baselines.length - 1] + title.size * 0.3 : logoHeight;
  const height = last + style.gap;
  function draw(x, top, out, ink) {
    const anchorX = style.align === "middle" ? x + width / 2 : x;
    if (logo) {
      const left = style.align === "middle" ? anchorX - logo.width / 2 : x + pad;
      if (card) out.push(rectElement(left - pad, top, logo.width + 2 * pad, logo.height + 2 * pad, { fill: card.fill, rx: pad * 0.7 }));
      out.push(imageElement(logo, left, top + pad));
    }
    titleLines.forEach((line, i) => out.push(textElement(anchorX, top + baselines[i], line, title, ink.title, style.align)));
    contactLines.forEach((line, i) => out.push(textElement(anchorX, top + contactBaselines[i], line, contact, ink.contact, style.align, ink.contactOpacity)));
  }
  return { height, draw };
}
