// The SQL script engine behind the product, category and currency routes.
#include "account.h"

#include "json.h"

#include <optional>

namespace tavolex::account {

namespace {

constexpr size_t kFieldLimit = kTextFieldUnits;

} // namespace

SqlScriptExpander::SqlScriptExpander(std::string_view script, std::string_view path,
                                     std::string_view schema, ParameterLookup parameter,
                                     KeyMaker makeKey)
    : script_(script), path_(path), schema_(schema), parameter_(std::move(parameter)),
      makeKey_(std::move(makeKey))
{
}

bool SqlScriptExpander::Next(ScriptStatement& statement)
{
    if (position_ >= script_.size())
        return false;
    statement = ScriptStatement();
    size_t wordEnd = position_;
    while (wordEnd < script_.size() && static_cast<unsigned char>(script_[wordEnd]) > 32 &&
           script_[wordEnd] != ';' && wordEnd - position_ < kFieldLimit)
        ++wordEnd;
    statement.firstWord = std::string(script_.substr(position_, wordEnd - position_));

    while (position_ < script_.size()) {
        char c = script_[position_];
        if (c == ';') {
            ++position_;
            break;
        }
        if (c == '%') {
            ExpandParameter(statement.sql);
        } else if (c == '[') {
            ExpandField(statement.sql, statement);
        } else {
            statement.sql += c;
            ++position_;
        }
    }
    statement.isLast = position_ >= script_.size();
    return true;
}

// At a '%': an escaped character, or a parameter name up to the next '%'.
void SqlScriptExpander::ExpandParameter(std::string& out)
{
    ++position_;
    if (position_ < script_.size() &&
        (script_[position_] == '%' || script_[position_] == '[' || script_[position_] == ']')) {
        out += script_[position_++];
        return;
    }
    size_t close = script_.find('%', position_);
    if (close == std::string_view::npos) { // a lone '%': kept as written
        out += '%';
        return;
    }
    std::string_view name = CutUtf8ToUnits(script_.substr(position_, close - position_), kFieldLimit);
    position_ = close + 1;
    std::string value = parameter_ ? parameter_(name) : std::string();
    for (char v : value) {
        out += v;
        if (v == '\'')
            out += '\'';
    }
}

// At a '[': one of the bracket fields, or text copied with its brackets.
void SqlScriptExpander::ExpandField(std::string& out, ScriptStatement& statement)
{
    size_t close = script_.find(']', position_ + 1);
    if (close == std::string_view::npos) {
        out += '[';
        ++position_;
        return;
    }
    std::string_view field = script_.substr(position_ + 1, close - position_ - 1);
    std::string_view shown = CutUtf8ToUnits(field, kFieldLimit);
    position_ = close + 1;
    if (EqualsIgnoringAsciiCase(field, "db")) {
        out += schema_;
    } else if (field.starts_with("createkey.")) {
        std::string_view rest = field.substr(10);
        size_t dot = rest.find('.');
        std::string_view table = rest.substr(0, dot);
        std::string_view column = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
        if (table.empty())
            LogFormat("LWebSQLScript field [%s] does not contain a table to check key uniqueness against used in script '%s'. Format should be [createkey.TABLE.COL].", shown, path_);
        else if (column.empty())
            LogFormat("LWebSQLScript field [%s] does not contain a column to check key uniqueness against used in script '%s'. Format should be [creatkey.TABLE.COL].", shown, path_);
        std::string key = makeKey_ ? makeKey_(table, column) : std::string();
        statement.key = key;
        previousKey_ = key;
        out += key;
    } else if (EqualsIgnoringAsciiCase(field, "previouskey")) {
        if (previousKey_.empty())
            LogFormat("LWebSQLScript field [%s] used without a previous call with a [createkey.TABLE.COL] used in script %s", shown, path_);
        out += previousKey_;
    } else {
        LogFormat("LWebSQLScript Found invalid field [%s] in script '%s'. If it is intended escape [ and ] as %[ or %].", shown, path_);
        out += '[';
        out += field;
        out += ']';
    }
}

std::string RunSqlScript(db::AccountDatabase& db, std::string_view script,
                         std::string_view path, const ParameterLookup& parameter)
{
    KeyMaker makeKey = [&db](std::string_view table, std::string_view column) {
        return table.empty() || column.empty() ? db::AccountDatabase::CreatePrimaryKey()
                                               : db.CreateUniqueKey(table, column);
    };
    SqlScriptExpander expander(script, path, db.GetDatabaseName(), parameter, makeKey);
    TextBuffer answer;
    JsonWriter writer(answer);
    writer.BeginObject();
    bool resultsOpen = false;
    bool anyKey = false;
    // The writes of one script stand or fall together; the write lock is taken up front, so a
    // busy database is waited for once instead of failing half-way.
    std::optional<db::WriteTransaction> transaction;
    const int failuresBefore = db.FailureCount();
    auto failed = [&] { return db.FailureCount() != failuresBefore; };
    ScriptStatement statement;
    while (expander.Next(statement)) {
        if (!statement.isLast && !resultsOpen) {
            writer.BeginArray("results");
            resultsOpen = true;
        }
        if (resultsOpen)
            writer.BeginObject();
        if (EqualsIgnoringAsciiCase(statement.firstWord, "SELECT")) {
            db::DbQuery rows;
            db.QueryText(rows, statement.sql);
            writer.BeginArray("data");
            db::WriteRows(writer, rows, db);
            writer.EndArray();
        } else {
            if (!transaction)
                transaction.emplace(db);
            // A lock that could not be had is not waited for a second time by the statement.
            if (transaction->began())
                db.Execute(statement.sql);
            if (!statement.key.empty())
                writer.String("key", statement.key);
            writer.Integer("errorcode", 200);
        }
        anyKey |= !statement.key.empty();
        if (resultsOpen)
            writer.EndObject();
        if (failed())
            break;
    }
    if (!failed() && transaction)
        transaction->Commit();
    if (failed()) {
        if (transaction)
            transaction->Rollback();
        LogError("LWebSQLScript script %s failed, nothing was stored: %s", path, db.LastFailure());
        return Format("{\"errorcode\":500,\"errormsg\":\"%J\"}", db.LastFailureCause());
    }
    if (resultsOpen) {
        writer.EndArray();
        if (anyKey)
            writer.String("key", expander.previousKey());
    }
    writer.Integer("errorcode", 200);
    writer.EndObject();
    return answer.Take();
}

} // namespace tavolex::account
