// Reads shared by several screens: the businesses with their currency formats, and the menus.
import * as api from "./api.js";
import { normalCurrency } from "./money.js";

export async function loadBusinesses() {
  const answer = await api.get("api/business/fetch");
  if (!answer.ok) return answer;
  return { ok: true, businesses: answer.data.rrestaurants || [] };
}

export async function loadCurrency(businessId) {
  const answer = await api.postForm("api/currency/get", { id: businessId });
  if (!answer.ok) return answer;
  return { ok: true, row: (answer.data.data || [])[0] || null, currency: normalCurrency((answer.data.data || [])[0]) };
}

export async function loadMenus(businessId) {
  const answer = await api.get("api/menu/fetch", businessId ? { restaurantid: businessId } : {});
  if (!answer.ok) return answer;
  return { ok: true, menus: answer.data.rmenus || [] };
}

// The menu the owner picked last for each business's currency, kept across visits.
export function rememberBusiness(id) {
  try { localStorage.setItem("tavolex.business", id); } catch { /* storage full or off: not needed */ }
}
export function rememberedBusiness(businesses) {
  let id = "";
  try { id = localStorage.getItem("tavolex.business") || ""; } catch { /* as above */ }
  return businesses.find((b) => b.id === id) ? id : businesses[0]?.id || "";
}

export function problem(container, answer) {
  if (answer.redirected) return;
  const box = document.createElement("div");
  box.className = "problem";
  box.setAttribute("role", "alert");
  box.innerHTML = "<h1></h1><p></p>";
  box.querySelector("h1").textContent = "This could not be loaded";
  box.querySelector("p").textContent = answer.message;
  container.replaceChildren(box);
}
