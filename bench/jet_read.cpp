// Opens an Access database through the engine and reads every value of every
// user table; prints the table count, the row count and the seconds taken.
#include "engine/engine.h"

#include <chrono>
#include <cstdio>
#include <variant>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: jet_read FILE.mdb\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    std::size_t tables = 0, rows = 0, values = 0;
    try {
        auto db = engine::Engine().Workspaces(0).OpenDatabase(argv[1], false, true, "");
        for (const std::string& name : db->TableNames()) {
            ++tables;
            auto rs = db->OpenRecordset(name);
            while (!rs->Eof()) {
                for (int i = 0; i < rs->FieldCount(); ++i)
                    values += engine::IsNull(rs->GetValue(i)) ? 0 : 1;
                ++rows;
                rs->MoveNext();
            }
            rs->Close();
        }
        db->Close();
    } catch (const engine::EngineError& e) {
        std::fprintf(stderr, "%s (%d)\n", e.what(), e.Number());
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu tables, %zu rows, %zu values in %.2f s\n", tables, rows, values, seconds);
    return 0;
}
