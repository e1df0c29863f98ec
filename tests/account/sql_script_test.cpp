#include "db_internal.h"
#include "account.h"
#include "test_home.h"

#include <gtest/gtest.h>

#include <map>

namespace tavolex::account {
namespace {

using testing::TestHome;

std::vector<ScriptStatement> Expand(std::string_view script,
                                    const std::map<std::string, std::string>& parameters = {})
{
    int keys = 0;
    SqlScriptExpander expander(
        script, "api/test", "main",
        [&](std::string_view name) {
            auto found = parameters.find(std::string(name));
            return found == parameters.end() ? std::string() : found->second;
        },
        [&](std::string_view table, std::string_view column) {
            return "K" + std::to_string(++keys) + ":" + std::string(table) + "." + std::string(column);
        });
    std::vector<ScriptStatement> statements;
    for (ScriptStatement statement; expander.Next(statement);)
        statements.push_back(statement);
    return statements;
}

TEST(SqlScriptExpander, Placeholders)
{
    struct Row {
        const char* script;
        const char* sql;
    } rows[] = {
        {"UPDATE [db].T SET A='%a%'", "UPDATE main.T SET A='it''s'"},
        {"x [DB] [Db]", "x main main"},
        {"'%missing%'", "''"},
        {"%% %[ %] 100%", "% [ ] 100%"},
        {"[createkey.CATEGORY.ID] [previouskey] [PreviousKey]",
         "K1:CATEGORY.ID K1:CATEGORY.ID K1:CATEGORY.ID"},
        {"[CreateKey.T.C]", "[CreateKey.T.C]"}, // the prefix is case-sensitive
        {"[unknown] [unclosed", "[unknown] [unclosed"},
        {"[createkey..C] [createkey.T]", "K1:.C K2:T."},
        {"'%b%'", "'a\\b''; DROP TABLE CATEGORY; --'"},
    };
    std::map<std::string, std::string> parameters = {{"a", "it's"}, {"b", "a\\b'; DROP TABLE CATEGORY; --"}};
    for (const Row& row : rows) {
        std::vector<ScriptStatement> statements = Expand(row.script, parameters);
        ASSERT_EQ(statements.size(), 1u) << row.script;
        EXPECT_EQ(statements[0].sql, row.sql) << row.script;
    }
}

TEST(SqlScriptExpander, StatementsAndFirstWords)
{
    std::vector<ScriptStatement> statements = Expand("SELECT 1; select 2;DELETE x;");
    ASSERT_EQ(statements.size(), 3u);
    EXPECT_EQ(statements[0].firstWord, "SELECT");
    EXPECT_EQ(statements[1].firstWord, ""); // a leading blank: run with execute
    EXPECT_EQ(statements[1].sql, " select 2");
    EXPECT_EQ(statements[2].firstWord, "DELETE");
    EXPECT_FALSE(statements[1].isLast);
    EXPECT_TRUE(statements[2].isLast);

    // A ';' inside a parameter value does not end the statement.
    statements = Expand("INSERT INTO T VALUES('%v%');", {{"v", "a;b"}});
    ASSERT_EQ(statements.size(), 1u);
    EXPECT_EQ(statements[0].sql, "INSERT INTO T VALUES('a;b')");

    // Log lines name the field and the route.
    Expand("[previouskey][oops][createkey.]");
    std::vector<std::string> messages;
    for (const LogEntry& line : RecentLogLines())
        messages.push_back(line.message);
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[messages.size() - 3],
              "LWebSQLScript field [previouskey] used without a previous call with a [createkey.TABLE.COL] used in script api/test");
    EXPECT_EQ(messages[messages.size() - 2],
              "LWebSQLScript Found invalid field [oops] in script 'api/test'. If it is intended escape [ and ] as %[ or %].");
    EXPECT_EQ(messages.back(),
              "LWebSQLScript field [createkey.] does not contain a table to check key uniqueness against used in script 'api/test'. Format should be [createkey.TABLE.COL].");
}

class SqlScriptRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        db::ResetKeyStateForTesting();
        ASSERT_TRUE(PrepareDatabase());
        ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    }
    std::string Run(std::string_view script, std::map<std::string, std::string> parameters = {})
    {
        return RunSqlScript(database, script, "api/test", [&](std::string_view name) {
            auto found = parameters.find(std::string(name));
            return found == parameters.end() ? std::string() : found->second;
        });
    }
    TestHome home;
    db::AccountDatabase database{"main"};
};

TEST_F(SqlScriptRun, AnswersHaveTheirLayouts)
{
    EXPECT_EQ(Run("SELECT id, name FROM [db].CATEGORY;"), R"({"data":[],"errorcode":200})");

    std::string added = Run("INSERT INTO [db].CATEGORY(ID, NAME, DESCRIPTION, CREATED_DATE) "
                            "VALUES('[createkey.CATEGORY.ID]','%name%','%description%', now());",
                            {{"name", "Chef's"}, {"description", "a\\b;\"c\""}});
    ASSERT_EQ(added.size(), std::string(R"({"key":"0123456789","errorcode":200,"errorcode":200})").size());
    std::string key = added.substr(8, 10);
    EXPECT_EQ(added, R"({"key":")" + key + R"(","errorcode":200,"errorcode":200})");

    std::string fetched = Run("SELECT id, name, description, created_date FROM [db].CATEGORY ORDER BY CREATED_DATE;");
    std::string created = fetched.substr(fetched.find("created_date") + 15, 19);
    EXPECT_EQ(fetched, R"({"data":[{"id":")" + key +
                           R"(","name":"Chef's","description":"a\\b;\"c\"","created_date":")" + created +
                           R"("}],"errorcode":200})");
    EXPECT_EQ(created, db::UtcTimestampText(time(nullptr)).substr(0, 11) + created.substr(11));

    EXPECT_EQ(Run("DELETE FROM [db].CATEGORY WHERE ID = '%id%';DELETE FROM [db].PRODUCT_CATEGORY WHERE CATEGORY_ID = '%id%';",
                  {{"id", key}}),
              R"({"results":[{"errorcode":200},{"errorcode":200}],"errorcode":200})");
    EXPECT_EQ(Run("SELECT id FROM [db].CATEGORY;"), R"({"data":[],"errorcode":200})");
}

TEST_F(SqlScriptRun, ValuesAreStoredAsGiven)
{
    const std::string hostile[] = {"'", "\\", ";", "'; DROP TABLE CATEGORY; --", "%name%", "[db]"};
    for (const std::string& value : hostile) {
        std::string answer = Run("INSERT INTO [db].CATEGORY(ID, NAME, DESCRIPTION) VALUES('[createkey.CATEGORY.ID]','%name%','%description%');",
                                 {{"name", value}, {"description", value}});
        std::string key = answer.substr(8, 10);
        db::DbQuery row;
        database.Query(row, "SELECT NAME, DESCRIPTION FROM main.CATEGORY WHERE ID = '%Q'", key);
        ASSERT_TRUE(row.HasRow()) << value;
        EXPECT_EQ(row.ColumnText(0), value);
        EXPECT_EQ(row.ColumnText(1), value);
    }
}

TEST_F(SqlScriptRun, ColumnsFollowTheFirstRowAndFailuresKeepTheLayout)
{
    database.Execute("INSERT INTO main.PRODUCT(ID, NAME, PRICE, IS_VISIBLE, EXTRA, CREATED_DATE) VALUES"
                     "('p1', 'Water', 5000000000, 1, NULL, '2026-01-01 00:00:00'),"
                     "('p2', 'Wine', 1250, 1, 'x', '2026-01-02 00:00:00')");
    EXPECT_EQ(Run("SELECT id, name, description, extra, price, created_date FROM [db].PRODUCT WHERE IS_VISIBLE = 1 ORDER BY CREATED_DATE;"),
              R"({"data":[{"id":"p1","name":"Water","price":5000000000,"created_date":"2026-01-01 00:00:00"},)"
              R"({"id":"p2","name":"Wine","price":1250,"created_date":"2026-01-02 00:00:00"}],"errorcode":200})");
    // A statement that fails is answered as a failure, never as a success.
    EXPECT_EQ(Run("SELECT 1.5 AS r FROM [db].NOPE;"), R"({"errorcode":500,"errormsg":"The database refused the request"})");
    EXPECT_EQ(Run("SELECT 1.5 AS r;"), R"({"data":[{"r":1.5}],"errorcode":200})");
    EXPECT_EQ(Run("BROKEN SQL;"), R"({"errorcode":500,"errormsg":"The database refused the request"})");
    // The first statement's row goes with the second's failure.
    EXPECT_EQ(Run("INSERT INTO [db].CATEGORY(ID, NAME) VALUES('gone', 'x');INSERT INTO [db].NOPE VALUES(1);"),
              R"({"errorcode":500,"errormsg":"The database refused the request"})");
    EXPECT_EQ(Run("SELECT count(*) AS n FROM [db].CATEGORY WHERE ID = 'gone';"), R"({"data":[{"n":0}],"errorcode":200})");
    std::string both = Run("INSERT INTO [db].CATEGORY(ID, NAME) VALUES('[createkey.CATEGORY.ID]', 'a');"
                           "SELECT count(*) AS n FROM [db].CATEGORY;");
    ASSERT_GT(both.size(), 30u);
    std::string key = both.substr(20, 10);
    EXPECT_EQ(both, R"({"results":[{"key":")" + key + R"(","errorcode":200},{"data":[{"n":1}]}],"key":")" +
                        key + R"(","errorcode":200})");
}

} // namespace
} // namespace tavolex::account
