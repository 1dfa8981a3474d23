#include "engine/jet/jet_check.h"

#include "engine/jet/jet_build.h"
#include "engine/jet/jet_index.h"

#include <algorithm>
#include <map>
#include <set>

namespace engine::jet {

namespace {

constexpr std::uint8_t kIgnoreNulls = 0x02; // index flag

struct Checker {
    JetFile& file;
    std::vector<std::string> problems;
    std::map<std::uint32_t, std::vector<std::string>> owners;

    void Own(std::uint32_t page, const std::string& what) { owners[page].push_back(what); }
    void Problem(const std::string& text) {
        if (problems.size() < 200) problems.push_back(text);
    }

    // The pages a map marks, owning the map's row page and large-form pages.
    std::vector<std::uint32_t> Map(std::uint32_t pointer, const std::string& what) {
        mapRowPages.insert(pointer >> 8);
        const std::vector<std::uint32_t> pages = file.ReadUsageMap(pointer);
        for (const std::uint32_t p : file.MapPages(pointer))
            Own(p, what + " (map page)");
        return pages;
    }
    std::set<std::uint32_t> mapRowPages;

    // The index's tree, walked whole, against its page map and the rows.
    void CheckIndex(const TableInfo& table, const TableInfo::RealIndex& index,
                    const std::map<std::uint32_t, std::vector<Value>>& allRows,
                    const std::vector<std::uint32_t>& mapped, const std::string& name) {
        IndexTree tree;
        try {
            tree = ReadIndexTree(file, index.firstPage, table.tdefPage);
        } catch (const EngineError& e) {
            Problem(name + ": " + e.what());
            return;
        }
        for (const std::string& p : IndexTreeProblems(tree))
            Problem(name + ": " + p);
        const std::vector<std::uint32_t> treePages = tree.PageNumbers();
        const std::set<std::uint32_t> inTree(treePages.begin(), treePages.end());
        const std::set<std::uint32_t> inMap(mapped.begin(), mapped.end());
        for (const std::uint32_t p : inTree) {
            if (!inMap.count(p))
                Problem(name + ": index page " + std::to_string(p) + " is missing from its map");
        }
        for (const std::uint32_t p : inMap) {
            if (!inTree.count(p))
                Problem(name + ": its map names page " + std::to_string(p) +
                        ", which its tree does not reach");
        }
        // An index that ignores nulls has no entry for a row whose indexed
        // columns are all Null.
        std::map<std::uint32_t, std::vector<Value>> rows;
        for (const auto& [pointer, values] : allRows) {
            bool allNull = true;
            for (const std::uint16_t number : index.columns) {
                for (std::size_t i = 0; i < table.columns.size() && i < values.size(); ++i) {
                    if (table.columns[i].number == number && !IsNull(values[i])) allNull = false;
                }
            }
            if (!(allNull && (index.flags & kIgnoreNulls) != 0)) rows.emplace(pointer, values);
        }
        const std::vector<std::vector<std::uint8_t>>& entries = tree.entries;
        std::multiset<std::uint32_t> pointed;
        for (const auto& e : entries) {
            if (e.size() >= 4) pointed.insert(EntryRowPointer(e));
        }
        std::multiset<std::uint32_t> live;
        for (const auto& [pointer, values] : rows)
            live.insert(pointer);
        if (pointed != live)
            Problem(name + ": index holds " + std::to_string(pointed.size()) + " entries for " +
                    std::to_string(live.size()) + " rows, or points at other rows");
        // Keys of Long and Text columns must be what the row holds. The
        // key rules are the writer's own: the checker's independence lies in
        // reading the tree and the rows back from the file, not in a second
        // copy of the sort order.
        for (const auto& e : entries) {
            if (e.size() < 4) continue;
            const auto row = rows.find(EntryRowPointer(e));
            if (row == rows.end()) continue;
            const auto key = RowIndexKey(table, index, row->second);
            if (key && !std::equal(key->begin(), key->end(), e.begin(), e.end() - 4))
                Problem(name + ": an index key does not match its row");
        }
    }

    void CheckLongValues(const TableInfo& table, const std::vector<std::uint8_t>& row,
                         const std::set<std::uint32_t>& pages, std::set<std::uint32_t>& seen,
                         const std::string& name) {
        for (const ColumnDef& c : table.columns) {
            if (c.type != colMemo && c.type != colOle) continue;
            std::vector<std::uint32_t> lvRows;
            try {
                const auto ref = file.StoredValue(row.data(), row.size(), c);
                if (ref) file.ReadLongValue(ref->data(), ref->size(), &lvRows);
            } catch (const EngineError&) {
                continue; // decoding the row reports it
            }
            for (const std::uint32_t lv : lvRows) {
                if (!pages.count(lv >> 8))
                    Problem(name + ": a long value lies on page " + std::to_string(lv >> 8) +
                            ", not one of its long-value pages");
                else if (!seen.insert(lv).second)
                    Problem(name + ": two long values share a row of page " +
                            std::to_string(lv >> 8));
            }
        }
    }

    void CheckTable(const CatalogEntry& entry) {
        const std::string name = "table '" + entry.name + "'";
        const TableInfo table = file.ReadTable(entry.TdefPage());
        for (const std::uint32_t p : table.tdefPages)
            Own(p, name + " definition");
        std::map<std::uint32_t, std::vector<Value>> rows;
        std::uint32_t live = 0;
        std::set<std::uint32_t> dataPages;
        // Long values lie on the table's own long-value pages, each row
        // serving one value.
        std::set<std::uint32_t> longValuePages, longValueRows;
        for (const auto& maps : table.longValueMaps) {
            for (const std::uint32_t p : file.ReadUsageMap(std::get<1>(maps)))
                longValuePages.insert(p);
        }
        for (const std::uint32_t p : Map(table.usedPages, name)) {
            Own(p, name + " data");
            dataPages.insert(p);
            const Page page = file.ReadPage(p);
            if (page[0] != pgData || Get32(page.data() + kDataOwner) != table.tdefPage) {
                Problem(name + ": page " + std::to_string(p) +
                        " in its map belongs to another owner");
                continue;
            }
            const std::uint32_t count = Get16(page.data() + kDataRowCount);
            for (std::uint32_t r = 0; r < count; ++r) {
                auto bytes = file.ReadRow(p, r);
                if (!bytes) continue;
                ++live;
                std::vector<Value> values;
                try {
                    file.DecodeRow(table, bytes->data(), bytes->size(), values);
                } catch (const EngineError& e) {
                    Problem(name + ": row " + std::to_string(r) + " of page " + std::to_string(p) +
                            ": " + e.what());
                }
                rows[RowPointer(p, r)] = std::move(values);
                CheckLongValues(table, *bytes, longValuePages, longValueRows, name);
            }
        }
        for (const std::uint32_t p : Map(table.freePages, name + " free map")) {
            if (!dataPages.count(p))
                Problem(name + ": its free-space map names page " + std::to_string(p) +
                        " it does not own");
        }
        if (live != table.rowCount)
            Problem(name + ": definition counts " + std::to_string(table.rowCount) +
                    " rows, pages hold " + std::to_string(live));
        for (const auto& [column, used, free] : table.longValueMaps) {
            for (const std::uint32_t p : Map(used, name + " long values")) {
                Own(p, name + " long values");
                const Page& page = file.ReadPage(p);
                if (page[0] != pgData || Get32(page.data() + kDataOwner) != kLvalMarker)
                    Problem(name + ": page " + std::to_string(p) + " is not a long-value page");
            }
            Map(free, name + " long values free map");
        }
        for (std::size_t i = 0; i < table.indexes.size(); ++i) {
            const std::vector<std::uint32_t> mapped =
                Map(table.indexes[i].usedPages, name + " index");
            for (const std::uint32_t p : mapped)
                Own(p, name + " index");
            CheckIndex(table, table.indexes[i], rows, mapped, name + " index " + std::to_string(i));
        }
    }

    void Run() {
        Own(0, "header");
        Own(1, "free-page map");
        for (const std::uint32_t p : file.ReadUsageMap(RowPointer(1, 0)))
            Own(p, "free");
        for (const std::uint32_t p : file.MapPages(RowPointer(1, 0)))
            Own(p, "free-page map (map page)");
        std::set<std::uint32_t> tdefs;
        for (const CatalogEntry& e : file.ReadCatalog()) {
            if (e.type != kObjTable || !tdefs.insert(e.TdefPage()).second) continue;
            try {
                CheckTable(e);
            } catch (const EngineError& error) {
                Problem("table '" + e.name + "': " + error.what());
            }
        }
        for (const std::uint32_t p : mapRowPages)
            Own(p, "usage maps");
        for (std::uint32_t p = 0; p < file.PageCount(); ++p) {
            const auto it = owners.find(p);
            if (it == owners.end()) {
                Problem("page " + std::to_string(p) + " belongs to nothing");
            } else if (it->second.size() > 1) {
                std::string list;
                for (const auto& o : it->second)
                    list += (list.empty() ? "" : ", ") + o;
                Problem("page " + std::to_string(p) + " is claimed more than once: " + list);
            }
        }
    }
};

} // namespace

std::vector<std::string> CheckStructure(JetFile& file) {
    Checker checker{file, {}, {}, {}};
    try {
        checker.Run();
    } catch (const EngineError& e) {
        checker.Problem(e.what());
    }
    return checker.problems;
}

} // namespace engine::jet
