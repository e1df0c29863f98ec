// Lays a menu out as SVG pages, the very documents the preview shows and the PDF converter
// draws. Kept to what the converter draws as a browser does: the bundled families by name, one
// <text> per line at an explicit position (lines are measured and wrapped here), opacity only
// as fill-opacity/stroke-opacity, dashes with butt caps.
//
//   const { pages, overflow } = layoutMenu(menu, { paper: "A4", columns: 1, font: "Lato" }, money, measure);
//
// `measure(text, font)` gives the advance width in points of `text` set in `font`
// ({family, size, weight, italic}); `money(minor)` gives a price as printed. Categories are kept
// whole on one page or column where they fit; a dish too tall for a whole column is left out and
// listed in `overflow`, never cut.

// Page sizes in points (1/72 in), portrait, as the converter's paper table has them.
export const PAPER = {
  A4: { width: 595, height: 842 }, Letter: { width: 612, height: 792 },
  Legal: { width: 612, height: 1008 }, A3: { width: 842, height: 1191 },
};
export const FAMILIES = ["Lato", "Open Sans", "DejaVu Serif"];

const INK = "#1d1d1b";
const SOFT = "#55524c";
const ACCENT = "#7a2e1f";

function escapeXml(text) {
  return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;").replace(/"/g, "&quot;");
}
const fmt = (n) => (Math.round(n * 100) / 100).toString();

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

function textElement(x, y, text, font, fill, anchor) {
  return `<text x="${fmt(x)}" y="${fmt(y)}" font-family="${escapeXml(font.family)}" font-size="${fmt(font.size)}"` +
    ` font-weight="${font.weight}" font-style="${font.italic ? "italic" : "normal"}" fill="${fill}"` +
    (anchor ? ` text-anchor="${anchor}"` : "") + `>${escapeXml(text)}</text>`;
}

export function layoutMenu(menu, options, money, measure) {
  const paper = PAPER[options.paper] || PAPER.A4;
  const family = FAMILIES.includes(options.font) ? options.font : FAMILIES[0];
  const columns = options.columns === 2 ? 2 : 1;
  // Type and spacing grow with the paper's width, so an A3 menu reads like an enlarged A4 one.
  const scale = paper.width / 595;
  const f = (size, weight = 400, italic = false) => ({ family, size: size * scale, weight, italic });
  const fonts = {
    title: f(30, 700), subtitle: f(11), heading: f(17, 700), headingNote: f(10.5, 400, true),
    name: f(12.5, 700), price: f(12.5, 700), detail: f(10.5), extras: f(10, 400, true), folio: f(9),
  };
  const margin = 48 * scale;
  const gap = 24 * scale;
  const footer = 30 * scale;
  const innerWidth = paper.width - 2 * margin;
  const columnWidth = columns === 2 ? (innerWidth - gap) / 2 : innerWidth;
  const lineOf = (font) => font.size * 1.3;
  const overflow = [];

  // Every block is measured first: its height and a function that draws it at a place.
  function itemBlock(item) {
    const priceText = money(item.price);
    const priceWidth = measure(priceText, fonts.price);
    const nameWidth = Math.max(columnWidth - priceWidth - 28 * scale, columnWidth * 0.4);
    const nameLines = wrap(item.name, fonts.name, nameWidth, measure);
    const detailLines = item.detail ? wrap(item.detail, fonts.detail, columnWidth - priceWidth - 12 * scale, measure) : [];
    const extrasLines = item.extras ? wrap(item.extras, fonts.extras, columnWidth - priceWidth - 12 * scale, measure) : [];
    const height = nameLines.length * lineOf(fonts.name) + detailLines.length * lineOf(fonts.detail) +
      extrasLines.length * lineOf(fonts.extras) + 10 * scale;
    function draw(x, top, out) {
      let y = top + fonts.name.size;
      nameLines.forEach((line, index) => {
        out.push(textElement(x, y, line, fonts.name, INK));
        if (index === nameLines.length - 1) {
          const end = x + columnWidth - priceWidth;
          const start = x + measure(line, fonts.name) + 5 * scale;
          if (end - 5 * scale > start) {
            out.push(`<line x1="${fmt(start)}" y1="${fmt(y)}" x2="${fmt(end - 5 * scale)}" y2="${fmt(y)}" stroke="${SOFT}"` +
              ` stroke-width="${fmt(0.9 * scale)}" stroke-linecap="butt" stroke-dasharray="${fmt(0.9 * scale)} ${fmt(2.6 * scale)}" stroke-opacity="0.9"/>`);
          }
          out.push(textElement(end, y, priceText, fonts.price, INK));
        }
        y += lineOf(fonts.name);
      });
      y -= lineOf(fonts.name) - lineOf(fonts.detail);
      for (const line of detailLines) { out.push(textElement(x, y, line, fonts.detail, SOFT)); y += lineOf(fonts.detail); }
      if (extrasLines.length) y += lineOf(fonts.extras) - lineOf(fonts.detail);
      for (const line of extrasLines) { out.push(textElement(x, y, line, fonts.extras, ACCENT)); y += lineOf(fonts.extras); }
    }
    return { height, draw, item };
  }

  function headingBlock(category) {
    const lines = category.name ? wrap(category.name, fonts.heading, columnWidth, measure) : [];
    const notes = category.description ? wrap(category.description, fonts.headingNote, columnWidth, measure) : [];
    if (!lines.length && !notes.length) return null;
    const height = lines.length * lineOf(fonts.heading) + notes.length * lineOf(fonts.headingNote) + (notes.length ? 16 : 12) * scale;
    function draw(x, top, out) {
      let y = top + fonts.heading.size;
      for (const line of lines) { out.push(textElement(x, y, line, fonts.heading, ACCENT)); y += lineOf(fonts.heading); }
      const ruleY = y - lineOf(fonts.heading) + 5 * scale;
      if (lines.length) {
        out.push(`<line x1="${fmt(x)}" y1="${fmt(ruleY)}" x2="${fmt(x + columnWidth)}" y2="${fmt(ruleY)}" stroke="${ACCENT}" stroke-width="${fmt(0.6 * scale)}" stroke-opacity="0.6"/>`);
        y += 4 * scale;
      }
      y += fonts.headingNote.size * 0.15;
      y += 2 * scale;
      for (const line of notes) { out.push(textElement(x, y, line, fonts.headingNote, SOFT)); y += lineOf(fonts.headingNote); }
    }
    return { height, draw };
  }

  // The title block of the first page: menu name, then the business's name and address line.
  const header = menu.header || {};
  const titleLines = wrap(menu.name || "", fonts.title, innerWidth, measure);
  const contact = [header.name, header.address, header.phone, header.website].filter(Boolean).join("  ·  ");
  const contactLines = contact ? wrap(contact, fonts.subtitle, innerWidth, measure) : [];
  const titleHeight = titleLines.length * lineOf(fonts.title) + contactLines.length * lineOf(fonts.subtitle) + 26 * scale;

  const pages = [];
  let page = null;
  let column = 0;
  let y = 0;
  const bottom = paper.height - margin - footer;
  function newPage() {
    page = { parts: [], number: pages.length + 1 };
    pages.push(page);
    column = 0;
    y = margin;
    if (page.number === 1) {
      let ty = margin + fonts.title.size;
      for (const line of titleLines) { page.parts.push(textElement(paper.width / 2, ty, line, fonts.title, INK, "middle")); ty += lineOf(fonts.title); }
      for (const line of contactLines) { page.parts.push(textElement(paper.width / 2, ty, line, fonts.subtitle, SOFT, "middle")); ty += lineOf(fonts.subtitle); }
      y = margin + titleHeight;
    }
    page.top = y;
  }
  function nextColumn() {
    if (column + 1 < columns) { column++; y = page.top; } else newPage();
  }
  const atColumnTop = () => y === page.top;
  const x = () => margin + column * (columnWidth + gap);

  newPage();
  const categoryGap = 16 * scale;
  for (const category of menu.rcategories || []) {
    if (category.hidden) continue;
    const items = (category.ritems || []).filter((i) => !i.hidden).map(itemBlock);
    if (!items.length) continue;
    const heading = headingBlock(category);
    const headingHeight = heading ? heading.height : 0;
    const fullColumn = bottom - margin;
    const fitting = items.filter((b) => {
      // Taller than a whole empty column: it cannot be printed whole, so it is left out and named.
      if (b.height <= fullColumn) return true;
      overflow.push(b.item);
      return false;
    });
    if (!fitting.length) continue;
    const whole = headingHeight + fitting.reduce((sum, b) => sum + b.height, 0);
    const lead = atColumnTop() ? 0 : categoryGap;
    // Kept whole: start a new column or page when the whole category fits there but not here;
    // a heading never stays alone at the foot of a column.
    if (y + lead + whole > bottom && whole <= fullColumn) nextColumn();
    else if (y + lead + headingHeight + fitting[0].height > bottom) nextColumn();
    if (!atColumnTop()) y += categoryGap;
    if (heading) { heading.draw(x(), y, page.parts); y += heading.height; }
    for (const block of fitting) {
      while (y + block.height > bottom) nextColumn();
      block.draw(x(), y, page.parts);
      y += block.height;
    }
  }

  // Pages are numbered "2 / 3" at the foot; a menu of one page carries no number.
  const count = pages.length;
  const documents = pages.map((p) => {
    const folio = count > 1 ? p.number + " / " + count : "";
    const parts = [`<rect x="0" y="0" width="${paper.width}" height="${paper.height}" fill="#ffffff"/>`, ...p.parts];
    if (folio) parts.push(textElement(paper.width / 2, paper.height - margin + 4 * scale, folio, fonts.folio, SOFT, "middle"));
    return `<svg xmlns="http://www.w3.org/2000/svg" width="${paper.width}" height="${paper.height}" viewBox="0 0 ${paper.width} ${paper.height}">` +
      parts.join("") + "</svg>";
  });
  return { pages: documents, overflow, paper };
}

// A measuring function on a canvas, set in the bundled fonts (which must be loaded first).
export function canvasMeasure() {
  const context = document.createElement("canvas").getContext("2d");
  const cache = new Map();
  return (text, font) => {
    const key = font.family + font.size + font.weight + font.italic + "\u0000" + text;
    let width = cache.get(key);
    if (width === undefined) {
      context.font = `${font.italic ? "italic " : ""}${font.weight} ${font.size}px "${font.family}"`;
      width = context.measureText(text).width;
      if (cache.size > 20000) cache.clear();
      cache.set(key, width);
    }
    return width;
  };
}

// Waits until every face the pages use is loaded, so that measuring uses the real fonts.
export async function loadPageFonts(family) {
  const faces = ["400", "700", "italic 400", "italic 700"].map((style) => document.fonts.load(`${style} 12px "${family}"`));
  await Promise.all(faces);
  return document.fonts.check(`700 12px "${family}"`);
}
