// Arbitrary JSON bodies to menu save and menu add against a real database in a temporary folder.
// The first byte picks the route; "$MENU" and "$BUSINESS" in the body stand for the keys of a
// menu and a business that exist, so the fuzzer reaches past the lookups. Every request must be
// answered with one complete JSON reply carrying "errorcode", and the file must stay sound.
#include "account.h"
#include "net.h"
#include "route_support.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace tavolex;

struct Fixture {
    std::string menuId;
    std::string businessId;
    account::SessionContext session;

    Fixture()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavolex-menu-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        setenv("TAVOLEX_HOME", pattern.c_str(), 1);
        if (!account::PrepareDatabase())
            std::abort();
        db::AccountDatabase db{"main"};
        db.Open(db::DefaultDatabasePath());
        if (!account::CreateNewSession(db, session, account::SessionDatabasePath()))
            std::abort();
        menu::RestaurantRecord business;
        business.Set("NAME", "Fuzz");
        business.Save(db);
        businessId = business.Key();
        menuId = db::AccountDatabase::CreatePrimaryKey();
        db.ExecuteFormat("INSERT INTO main.MENU_CONTENT(ID, NAME, RESTAURANT_ID) VALUES('%Q', 'Menu', '%Q')", menuId,
                         businessId);
    }
};

void ReplaceAll(std::string& text, std::string_view from, std::string_view to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Fixture fixture;
    static size_t runs = 0;
    if (size == 0)
        return 0;
    std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    ReplaceAll(body, "$MENU", fixture.menuId);
    ReplaceAll(body, "$BUSINESS", fixture.businessId);

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        std::abort();
    net::NetConnection connection;
    connection.Adopt(fds[0]);
    net::NeverCancelled never;
    std::string answer;
    std::thread reader([&answer, peer = fds[1]] {
        char buffer[65536];
        ssize_t got;
        while ((got = read(peer, buffer, sizeof buffer)) > 0)
            answer.append(buffer, static_cast<size_t>(got));
        close(peer);
    });
    {
        web::WebRequest request;
        request.connection = &connection;
        request.cancel = &never;
        request.path = data[0] & 1 ? "api/menu/add" : "api/menu/save";
        account::AttachSession(request, fixture.session);
        JsonValue value;
        if (!body.empty())
            ParseJson(value, body);
        if (data[0] & 1)
            menu::MenuAdd(request, value);
        else
            menu::MenuSave(request, value);
    }
    connection.Close();
    reader.join();

    // One whole reply: the head, and a body that is an object with its status. (The body is not
    // read back: the forgiving reader and the writer do not agree on every odd tree.)
    size_t head = answer.find("\r\n\r\n");
    if (!answer.starts_with("HTTP/1.1 200 OK\r\n") || head == std::string::npos ||
        answer.compare(head + 4, 1, "{") != 0 || answer.find("\"errorcode\":", head) == std::string::npos)
        std::abort();
    if (++runs % 2000 == 0) {
        db::AccountDatabase db{"main"};
        db.Open(db::DefaultDatabasePath());
        db::DbQuery check;
        db.Query(check, "PRAGMA integrity_check");
        if (check.ColumnText(0) != "ok")
            std::abort();
    }
    return 0;
}
