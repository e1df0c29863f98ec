// The export route: the browser posts a menu's pages as SVG text and gets one PDF back (to view,
// download or print) or has it e-mailed. It joins the document pipeline to the server, the
// session gate and the owner's profile; the pipeline itself knows nothing of them.
//
//     pdf::InstallExportRoute();   // before the listener starts: api/menu/genpdf, menugenpdf
#pragma once

#include <string>
#include <string_view>

namespace tavolex::pdf {

void InstallExportRoute();

// What the route does with a requested file name: a name that is not a valid file name, or
// that begins with a dot, becomes "menu.pdf"; the extension is then forced to ".pdf", within
// 259 characters ("Lunch" is "Lunch.pdf", "a.b.c" is "a.b.pdf").
std::string ExportFileName(std::string_view requested);

// A recipient list: addresses separated by commas, blanks allowed only around a comma. The
// number of addresses, or -1 when the list is not valid.
int CountRecipients(std::string_view list);

} // namespace tavolex::pdf
