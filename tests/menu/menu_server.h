// The real program with a logged-on client, and the rows of its database, for the menu tests.
#pragma once

#include "db.h"
#include "json.h"
#include "live_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavolex::menu::testing {

using tavolex::testing::HttpAnswer;
using tavolex::testing::HttpClient;
using tavolex::testing::LiveServer;

inline std::string JsonReply(std::string_view body)
{
    return "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

inline std::string Error(int code, std::string_view message)
{
    return Format("{\"errorcode\":%d,\"errormsg\":\"%J\"}", code, message);
}

class MenuServer {
public:
    MenuServer() : server_(TAVOLEX_BINARY), client_(server_.port())
    {
        HttpAnswer answer = client_.Request("GET", "api/account/issessionvalid");
        client_.SetCookie(answer.Header("Set-Cookie").substr(14, 18));
        database_.Open(db::DefaultDatabasePath());
    }

    // The answer's bytes after the head; the whole answer must be one JSON reply.
    std::string Post(std::string_view path, std::string_view json)
    {
        return Checked(client_.Request("POST", path, json));
    }
    std::string Get(std::string_view target) { return Checked(client_.Request("GET", target)); }

    // Every row of `sql`, each column as text ("NULL" for NULL).
    std::vector<std::vector<std::string>> Rows(std::string_view sql)
    {
        std::vector<std::vector<std::string>> rows;
        db::DbQuery query;
        for (database_.QueryText(query, sql); query.HasRow(); database_.NextRow(query)) {
            std::vector<std::string>& row = rows.emplace_back();
            for (int i = 0; i < query.ColumnCount(); ++i)
                row.push_back(query.ColumnIsNull(i) ? "NULL" : query.ColumnText(i));
        }
        return rows;
    }
    std::string Scalar(std::string_view sql)
    {
        auto rows = Rows(sql);
        return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
    }
    int Count(std::string_view table) { return std::stoi(Scalar(Format("SELECT count(*) FROM main.%s", table))); }
    void Execute(std::string_view sql) { ASSERT_TRUE(database_.Execute(sql)) << sql; }

    // A business made through the route; its key.
    std::string AddBusiness(std::string_view name)
    {
        std::string body = Post("api/business/add", Format(R"({"name":"%J","address":"","phone":"","email":"","website":""})", name));
        return Member(body, "id");
    }

    // A member's text from a JSON answer.
    static std::string Member(std::string_view json, std::string_view name)
    {
        JsonValue value;
        ParseJson(value, json);
        return value.GetStringMember(name);
    }

    HttpClient& client() { return client_; }
    LiveServer& server() { return server_; }

private:
    static std::string Checked(const HttpAnswer& answer)
    {
        EXPECT_EQ(answer.raw, JsonReply(answer.body));
        return answer.body;
    }

    LiveServer server_;
    HttpClient client_;
    db::AccountDatabase database_{"main"};
};

} // namespace tavolex::menu::testing
