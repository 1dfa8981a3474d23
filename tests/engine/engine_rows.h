// Adding and reading rows through the engine's object model, for the tests
// of every driver.
#pragma once

#include "engine/engine.h"

#include <string>
#include <vector>

namespace engine::testing {

// Adds one row to an open recordset, values in field order.
inline void AddRow(Recordset& rs, const std::vector<Value>& values) {
    rs.AddNew();
    for (std::size_t i = 0; i < values.size(); ++i)
        rs.SetValue(static_cast<int>(i), values[i]);
    rs.Update();
}

// Every row of a table, values in field order.
inline std::vector<std::vector<Value>> ReadAll(Database& db, const std::string& table) {
    std::vector<std::vector<Value>> rows;
    auto rs = db.OpenRecordset(table);
    while (!rs->Eof()) {
        std::vector<Value> row;
        for (int i = 0; i < rs->FieldCount(); ++i)
            row.push_back(rs->GetValue(i));
        rows.push_back(std::move(row));
        rs->MoveNext();
    }
    rs->Close();
    return rows;
}

} // namespace engine::testing
