// DbRecord: a table row as named text fields, and the SQL text it builds for itself.
#include "db.h"

#include "db_internal.h"

namespace tavolex::db {

DbRecord::DbRecord(std::vector<std::string> fieldNames, std::string keyName)
    : hasKey_(!keyName.empty())
{
    key_.name = std::move(keyName);
    fields_.reserve(fieldNames.size());
    for (std::string& name : fieldNames)
        fields_.push_back(DbField{std::move(name), {}, false, false});
}

DbField* DbRecord::Field(std::string_view name)
{
    for (DbField& field : fields_)
        if (field.name == name)
            return &field;
    return nullptr;
}

const DbField* DbRecord::Field(std::string_view name) const
{
    for (const DbField& field : fields_)
        if (field.name == name)
            return &field;
    return nullptr;
}

std::string DbRecord::Get(std::string_view name) const
{
    if (hasKey_ && name == key_.name)
        return key_.value;
    const DbField* field = Field(name);
    return field ? field->value : std::string();
}

void DbRecord::Set(std::string_view name, std::string_view value, bool markModified)
{
    DbField* field = Field(name);
    if (!field)
        return;
    field->value = value;
    field->isNull = false;
    if (markModified)
        field->modified = true;
}

void DbRecord::SetNull(std::string_view name)
{
    DbField* field = Field(name);
    if (!field || field->isNull)
        return;
    field->value.clear();
    field->isNull = true;
    field->modified = true;
}

RecordStatus DbRecord::Insert(AccountDatabase& db)
{
    std::string table = TableName();
    if (table.empty())
        return RecordStatus::Missing;
    if (RecordStatus hook = BeforeInsert(db); hook != RecordStatus::Ok)
        return hook;
    if (hasKey_ && key_.value.empty())
        key_.value = AccountDatabase::CreatePrimaryKey();

    TextBuffer columns;
    TextBuffer values;
    auto separate = [&] {
        if (!columns.IsEmpty()) {
            columns.Append(", ");
            values.Append(", ");
        }
    };
    if (hasKey_) {
        AppendFormat(columns, "%s", KeyColumnName());
        AppendFormat(values, "'%Q'", key_.value);
    }
    for (DbField& field : fields_) {
        if (!field.modified)
            continue;
        separate();
        AppendFormat(columns, "%s", field.name);
        if (field.isNull)
            values.Append("NULL");
        else
            AppendFormat(values, "'%Q'", field.value);
        field.modified = false;
    }
    std::string sql = Format("INSERT INTO %s.%s (%s) VALUES (%s);", db.GetDatabaseName(), table,
                             columns.view(), values.view());
    if (!db.Execute(sql))
        return RecordStatus::SqlFailed;
    RecordStatus after = AfterInsert(db);
    if (after == RecordStatus::Ok)
        succeeded_ = true;
    return after;
}

RecordStatus DbRecord::LoadByField(AccountDatabase& db, std::string_view name,
                                   std::string_view value)
{
    if (name.empty() || value.empty())
        return RecordStatus::SqlFailed;
    std::string condition = Format("%s = '%Q'", name, value);
    return LoadWhere(db, CutUtf8ToUnits(condition, kTextFieldUnits));
}

RecordStatus DbRecord::LoadByKey(AccountDatabase& db, std::string_view key)
{
    std::string column = KeyColumnName();
    if (!hasKey_ || column.empty())
        return RecordStatus::SqlFailed;
    return LoadByField(db, column, key);
}

RecordStatus DbRecord::LoadWhere(AccountDatabase& db, std::string_view condition)
{
    if (RecordStatus hook = BeforeLoad(db); hook != RecordStatus::Ok)
        return hook;
    std::string table = TableName();
    if (table.empty() || condition.empty())
        return RecordStatus::Missing;
    DbQuery row;
    db.Query(row, "SELECT * FROM %s.%s WHERE %s LIMIT 1", db.GetDatabaseName(), table, condition);
    if (!row.HasRow())
        return RecordStatus::NotFound;
    for (int i = 0; i < row.ColumnCount(); ++i) {
        const std::string& column = row.ColumnName(i);
        std::string value = row.ColumnShortText(i);
        if (hasKey_ && column == key_.name) {
            key_.value = std::move(value);
        } else if (DbField* field = Field(column)) {
            field->value = std::move(value);
            field->isNull = false;
            field->modified = false;
        }
    }
    RecordStatus after = AfterLoad(db);
    if (after == RecordStatus::Ok)
        succeeded_ = true;
    return after;
}

RecordStatus DbRecord::Save(AccountDatabase& db)
{
    if (!hasKey_)
        return RecordStatus::Missing;
    return key_.value.empty() ? Insert(db) : UpdateByKey(db);
}

RecordStatus DbRecord::UpdateByKey(AccountDatabase& db)
{
    if (!hasKey_)
        return RecordStatus::Missing;
    return UpdateWhere(db, Format("%s = '%Q'", KeyColumnName(), key_.value));
}

RecordStatus DbRecord::UpdateWhere(AccountDatabase& db, std::string_view condition)
{
    std::string table = TableName();
    if (table.empty() || condition.empty())
        return RecordStatus::Missing;
    if (RecordStatus hook = BeforeUpdate(db); hook != RecordStatus::Ok)
        return hook;
    TextBuffer sql;
    AppendFormat(sql, "UPDATE %s.%s SET", db.GetDatabaseName(), table);
    bool any = false;
    for (DbField& field : fields_) {
        if (!field.modified)
            continue;
        sql.Append(any ? ", " : " ");
        if (field.isNull)
            AppendFormat(sql, "%s = NULL", field.name);
        else
            AppendFormat(sql, "%s = '%Q'", field.name, field.value);
        field.modified = false;
        any = true;
    }
    if (!any)
        return RecordStatus::Ok;
    AppendFormat(sql, " WHERE %s;", condition);
    if (!db.Execute(sql.view()))
        return RecordStatus::SqlFailed;
    RecordStatus after = AfterUpdate(db);
    if (after == RecordStatus::Ok)
        succeeded_ = true;
    return after;
}

} // namespace tavolex::db
