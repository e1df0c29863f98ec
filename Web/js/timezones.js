// The time zones the program accepts, in its own order, each with the places an owner knows it
// by. The key is what is stored; the offset shown is read from the key itself.
const ZONES = [
  ["utc-12_dst", "International Date Line West"], ["utc-11_utc", "Pago Pago, Niue"],
  ["utc-10_ast", "Aleutian Islands"], ["utc-10_hst", "Hawaii"], ["utc-930_mst", "Marquesas Islands"],
  ["utc-9_ast", "Alaska"], ["utc-9_utc", "Gambier Islands"], ["utc-7_yst", "Yukon"],
  ["utc-8_pstm", "Baja California"], ["utc-8_utc", "Pitcairn Islands"],
  ["utc-8_pstuc", "Pacific Time (US and Canada)"], ["utc-7_usmst", "Arizona"],
  ["utc-7_mstm", "Chihuahua, La Paz, Mazatlán"], ["utc-7_mstuc", "Mountain Time (US and Canada)"],
  ["utc-6_cast", "Central America"], ["utc-6_cstus", "Central Time (US and Canada)"],
  ["utc-6_eist", "Easter Island"], ["utc-6_cstm", "Guadalajara, Mexico City, Monterrey"],
  ["utc-6_ccst", "Saskatchewan"], ["utc-5_sapst", "Bogotá, Lima, Quito, Rio Branco"],
  ["utc-5_estm", "Chetumal"], ["utc-5_estus", "Eastern Time (US and Canada)"], ["utc-5_hst", "Haiti"],
  ["utc-5_cst", "Havana"], ["utc-5_usest", "Indiana (East)"], ["utc-5_tcst", "Turks and Caicos"],
  ["utc-4_pst", "Asunción"], ["utc-4_ast", "Atlantic Time (Canada)"], ["utc-4_vst", "Caracas"],
  ["utc-4_cbst", "Cuiabá"], ["utc-4_sawst", "Georgetown, La Paz, Manaus, San Juan"],
  ["utc-4_psast", "Santiago"], ["utc-330_nst", "Newfoundland"], ["utc-3_tst", "Araguaína"],
  ["utc-3_esast", "Brasília"], ["utc-3_saest", "Cayenne, Fortaleza"], ["utc-3_ast", "Buenos Aires"],
  ["utc-3_gst", "Greenland"], ["utc-3_monst", "Montevideo"], ["utc-3_magst", "Punta Arenas"],
  ["utc-3_spst", "Saint Pierre and Miquelon"], ["utc-3_bst", "Salvador"],
  ["utc-2_utc", "South Georgia"], ["utc-1_ast", "Azores"], ["utc-1_cvst", "Cabo Verde"],
  ["utc0_utc", "Coordinated Universal Time"], ["utc0_gmtst", "Dublin, Edinburgh, Lisbon, London"],
  ["utc0_gst", "Monrovia, Reykjavík"], ["utc0_stst", "São Tomé"], ["utc1_mst", "Casablanca"],
  ["utc1_west", "Amsterdam, Berlin, Bern, Rome, Stockholm, Vienna"],
  ["utc1_cepst", "Belgrade, Bratislava, Budapest, Ljubljana, Prague"],
  ["utc1_rst", "Brussels, Copenhagen, Madrid, Paris"], ["utc1_cepnst", "Sarajevo, Skopje, Warsaw, Zagreb"],
  ["utc1_wcast", "West Central Africa"], ["utc2_jst", "Amman"], ["utc2_gtbst", "Athens, Bucharest"],
  ["utc2_mest", "Beirut"], ["utc2_est", "Cairo"], ["utc2_eest", "Chișinău"], ["utc2_syrst", "Damascus"],
  ["utc2_wbst", "Gaza, Hebron"], ["utc2_sast", "Harare, Pretoria"],
  ["utc2_flest", "Helsinki, Kyiv, Riga, Sofia, Tallinn, Vilnius"], ["utc2_ist", "Jerusalem"],
  ["utc2_kst", "Kaliningrad"], ["utc2_sudst", "Khartoum"], ["utc2_lst", "Tripoli"], ["utc2_nst", "Windhoek"],
  ["utc3_arbcst", "Baghdad"], ["utc3_tst", "Istanbul"], ["utc3_arbst", "Kuwait, Riyadh"],
  ["utc3_bst", "Minsk"], ["utc3_rst", "Moscow, St. Petersburg"], ["utc3_east", "Nairobi"],
  ["utc330_ist", "Tehran"], ["utc4_arbst", "Abu Dhabi, Muscat"], ["utc4_astst", "Astrakhan, Ulyanovsk"],
  ["utc4_azbst", "Baku"], ["utc4_rtz", "Izhevsk, Samara"], ["utc4_mst", "Port Louis"],
  ["utc4_sst", "Saratov"], ["utc4_gst", "Tbilisi"], ["utc4_vst", "Volgograd"], ["utc4_cst", "Yerevan"],
  ["utc430_ast", "Kabul"], ["utc5_wast", "Ashgabat, Tashkent"], ["utc5_est", "Yekaterinburg"],
  ["utc5_pst", "Islamabad, Karachi"], ["utc5_qst", "Qyzylorda"],
  ["utc530_ist", "Chennai, Kolkata, Mumbai, New Delhi"], ["utc530_slst", "Sri Jayawardenepura"],
  ["utc545_nst", "Kathmandu"], ["utc6_cast", "Astana"], ["utc6_bst", "Dhaka"], ["utc6_ost", "Omsk"],
  ["utc630_mst", "Yangon"], ["utc7_seast", "Bangkok, Hanoi, Jakarta"],
  ["utc7_ast", "Barnaul, Gorno-Altaysk"], ["utc7_wmst", "Hovd"], ["utc7_nast", "Krasnoyarsk"],
  ["utc7_ncast", "Novosibirsk"], ["utc7_tst", "Tomsk"],
  ["utc8_cst", "Beijing, Chongqing, Hong Kong, Urumqi"], ["utc8_nast", "Irkutsk"],
  ["utc8_sst", "Kuala Lumpur, Singapore"], ["utc8_wast", "Perth"], ["utc8_tst", "Taipei"],
  ["utc8_ust", "Ulaanbaatar"], ["utc845_acwst", "Eucla"], ["utc9_tst", "Chita"],
  ["utc9_tokst", "Osaka, Sapporo, Tokyo"], ["utc9_nkst", "Pyongyang"], ["utc9_kst", "Seoul"],
  ["utc9_yst", "Yakutsk"], ["utc930_cast", "Adelaide"], ["utc930_auscst", "Darwin"],
  ["utc10_east", "Brisbane"], ["utc10_ausest", "Canberra, Melbourne, Sydney"],
  ["utc10_wpst", "Guam, Port Moresby"], ["utc10_tst", "Hobart"], ["utc10_vst", "Vladivostok"],
  ["utc1030_lhst", "Lord Howe Island"], ["utc11_bst", "Bougainville Island"], ["utc11_rtz", "Chokurdakh"],
  ["utc11_mst", "Magadan"], ["utc11_nst", "Norfolk Island"], ["utc11_sst", "Sakhalin"],
  ["utc11_cpst", "Solomon Islands, New Caledonia"], ["utc12_rtz", "Anadyr, Petropavlovsk-Kamchatsky"],
  ["utc12_nzst", "Auckland, Wellington"], ["utc12_utc", "Marshall Islands, Tuvalu"], ["utc12_fst", "Fiji"],
  ["utc1245_cist", "Chatham Islands"], ["utc13_utc", "Phoenix Islands"], ["utc13_tst", "Nuku'alofa"],
  ["utc13_sst", "Samoa"], ["utc14_list", "Kiritimati Island"],
];

// "utc545_nst" -> "UTC+05:45"; hours, or hours and minutes run together, after "utc".
export function offsetOf(key) {
  const match = /^utc(-?)(\d+)_/.exec(key);
  if (!match) return "UTC";
  const digits = match[2];
  const hours = digits.length > 2 ? digits.slice(0, -2) : digits;
  const minutes = digits.length > 2 ? digits.slice(-2) : "00";
  const sign = match[1] === "-" ? "\u2212" : "+";
  return "UTC" + sign + hours.padStart(2, "0") + ":" + minutes;
}

export const TIME_ZONES = ZONES.map(([key, places]) => ({ key, places, label: offsetOf(key) + " " + places }));

export function timeZoneLabel(key) {
  const zone = TIME_ZONES.find((z) => z.key === key);
  return zone ? zone.label : "";
}

// Matches "kath", "+5:45", "0545" or "utc+05": every word of the search must appear.
export function searchTimeZones(query) {
  const words = query.toLowerCase().replace(/\u2212/g, "-").split(/\s+/).filter(Boolean);
  if (!words.length) return TIME_ZONES;
  return TIME_ZONES.filter((zone) => {
    const hay = (zone.label + " " + zone.label.replace(":", "")).toLowerCase().replace(/\u2212/g, "-")
      .normalize("NFD").replace(/[\u0300-\u036f]/g, "");
    return words.every((w) => hay.includes(w.normalize("NFD").replace(/[\u0300-\u036f]/g, "")));
  });
}
