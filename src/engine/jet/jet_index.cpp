#include "engine/jet/jet_index.h"

#include "engine/jet/jet_build.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

namespace engine::jet {

namespace {

// Jet's trees of 4 KiB pages stay a few levels deep; anything deeper than
// this is a loop or damage.
constexpr std::size_t kMaxIndexDepth = 16;

std::size_t SuffixOf(bool leaf) {
    return leaf ? kLeafEntrySuffix : kNodeEntrySuffix;
}

std::size_t KeyLength(const IndexEntry& e, std::size_t suffix) {
    return e.size() > suffix ? e.size() - suffix : 0;
}

// The prefix the keys of all `entries` share (the row pointers and child
// page numbers are never part of it).
std::size_t SharedKeyPrefix(const std::vector<IndexEntry>& entries, std::size_t suffix) {
    if (entries.size() < 2) return 0;
    std::size_t shared = KeyLength(entries.front(), suffix);
    for (std::size_t i = 1; i < entries.size() && shared > 0; ++i) {
        const IndexEntry& e = entries[i];
        shared = std::min(shared, KeyLength(e, suffix));
        std::size_t k = 0;
        while (k < shared && e[k] == entries.front()[k])
            ++k;
        shared = k;
    }
    return shared;
}

void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// The end of the run of sorted entries from `begin` that fits one page once
// the run's shared key prefix is stored once; nothing if the entry at
// `begin` alone does not fit.
std::optional<std::size_t> RunEnd(const std::vector<IndexEntry>& entries, std::size_t begin,
                                  std::size_t suffix) {
    const IndexEntry& first = entries[begin];
    if (first.size() > kIndexPageCapacity) return std::nullopt;
    std::size_t total = first.size();
    std::size_t shared = KeyLength(first, suffix);
    std::size_t j = begin + 1;
    for (; j < entries.size(); ++j) {
        const IndexEntry& e = entries[j];
        const std::size_t limit = std::min(shared, KeyLength(e, suffix));
        std::size_t k = 0;
        while (k < limit && e[k] == first[k])
            ++k;
        if (total + e.size() - k * (j - begin) > kIndexPageCapacity) break;
        total += e.size();
        shared = k;
    }
    return j;
}

struct PendingPage {
    std::uint32_t number = 0;
    IndexPage content;
    IndexEntry last; // the last leaf entry below this page
};

void LinkSiblings(std::vector<PendingPage>& pages, std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
        pages[k].content.prev = k > begin ? pages[k - 1].number : 0;
        pages[k].content.next = k + 1 < end ? pages[k + 1].number : 0;
    }
}

} // namespace

std::optional<IndexEntry> RowIndexKey(const TableInfo& table, const TableInfo::RealIndex& index,
                                      const std::vector<Value>& stored) {
    IndexEntry key;
    for (std::size_t k = 0; k < index.columns.size(); ++k) {
        const std::size_t from = key.size();
        const ColumnDef* column = nullptr;
        std::size_t at = 0;
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            if (table.columns[i].number == index.columns[k]) {
                column = &table.columns[i];
                at = i;
            }
        }
        // A row that could not be decoded has fewer values.
        if (column == nullptr || at >= stored.size()) return std::nullopt;
        const Value& v = stored[at];
        if (IsNull(v)) {
            key.push_back(0x00);
        } else if (column->type == colLong && std::holds_alternative<std::int64_t>(v)) {
            const auto part = LongKey(static_cast<std::int32_t>(std::get<std::int64_t>(v)));
            key.insert(key.end(), part.begin(), part.end());
        } else if (column->type == colText && std::holds_alternative<std::string>(v)) {
            const auto part = TextKey(Utf8ToUtf16(std::get<std::string>(v)));
            if (!part) return std::nullopt;
            key.insert(key.end(), part->begin(), part->end());
        } else {
            return std::nullopt;
        }
        if (k < index.descending.size() && index.descending[k]) {
            for (std::size_t b = from; b < key.size(); ++b)
                key[b] = static_cast<std::uint8_t>(~key[b]);
            if (column->type == colText && !IsNull(v)) key.push_back(0x00);
        }
    }
    return key;
}

std::uint32_t EntryRowPointer(const IndexEntry& entry) {
    const std::size_t n = entry.size();
    if (n < 4) return 0;
    const std::uint32_t page = static_cast<std::uint32_t>(entry[n - 4]) << 16 |
                               static_cast<std::uint32_t>(entry[n - 3]) << 8 | entry[n - 2];
    return RowPointer(page, entry[n - 1]);
}

void AppendRowPointer(IndexEntry& entry, std::uint32_t pointer) {
    const std::uint32_t page = pointer >> 8;
    entry.push_back(static_cast<std::uint8_t>(page >> 16));
    entry.push_back(static_cast<std::uint8_t>(page >> 8));
    entry.push_back(static_cast<std::uint8_t>(page));
    entry.push_back(static_cast<std::uint8_t>(pointer));
}

std::uint32_t NodeChild(const IndexEntry& entry) {
    if (entry.size() < 4) return 0;
    const std::uint8_t* p = entry.data() + entry.size() - 4;
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

std::optional<IndexPage> ParseIndexPage(const Page& page, std::string* why) {
    const auto fail = [&](const char* reason) -> std::optional<IndexPage> {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    };
    if (page[0] != pgIndexLeaf && page[0] != pgIndexNode) return fail("it is not an index page");
    IndexPage out;
    out.leaf = page[0] == pgIndexLeaf;
    out.owner = Get32(page.data() + kIndexOwner);
    out.prev = Get32(page.data() + kIndexPrevPage);
    out.next = Get32(page.data() + kIndexNextPage);
    out.tail = Get32(page.data() + kIndexTailPage);
    const std::size_t prefix = Get16(page.data() + kIndexPrefixLength);
    // Every entry holds at least one key byte besides its pointers.
    const std::size_t shortest = SuffixOf(out.leaf) + 1;
    std::size_t start = 0;
    for (std::size_t bit = 0; bit < (kIndexDataOffset - kIndexMaskOffset) * 8; ++bit) {
        if (((page[kIndexMaskOffset + bit / 8] >> (bit % 8)) & 1) == 0) continue;
        if (bit > kIndexPageCapacity) return fail("an index entry runs past its page");
        const std::uint8_t* from = page.data() + kIndexDataOffset + start;
        const std::size_t length = bit - start;
        IndexEntry e;
        if (out.entries.empty()) {
            if (length < prefix) return fail("the shared prefix is longer than the first entry");
            e.assign(from, from + length);
        } else {
            e.reserve(prefix + length);
            e.assign(out.entries.front().begin(),
                     out.entries.front().begin() + static_cast<std::ptrdiff_t>(prefix));
            e.insert(e.end(), from, from + length);
        }
        if (e.size() < shortest) return fail("an index entry is too short");
        out.entries.push_back(std::move(e));
        start = bit;
    }
    return out;
}

std::optional<Page> EncodeIndexPage(const IndexPage& content, bool compress) {
    const std::size_t prefix =
        compress ? SharedKeyPrefix(content.entries, SuffixOf(content.leaf)) : 0;
    Page p{};
    p[0] = content.leaf ? pgIndexLeaf : pgIndexNode;
    p[1] = 1;
    Put32(p.data() + kIndexOwner, content.owner);
    Put32(p.data() + kIndexPrevPage, content.prev);
    Put32(p.data() + kIndexNextPage, content.next);
    Put32(p.data() + kIndexTailPage, content.tail);
    Put16(p.data() + kIndexPrefixLength, static_cast<std::uint32_t>(prefix));
    std::size_t at = 0;
    for (std::size_t i = 0; i < content.entries.size(); ++i) {
        const IndexEntry& e = content.entries[i];
        const std::size_t skip = i == 0 ? 0 : prefix;
        const std::size_t size = e.size() - skip;
        if (size == 0 || at + size > kIndexPageCapacity) return std::nullopt;
        std::memcpy(p.data() + kIndexDataOffset + at, e.data() + skip, size);
        at += size;
        p[kIndexMaskOffset + at / 8] |= static_cast<std::uint8_t>(1u << (at % 8));
    }
    Put16(p.data() + kIndexFreeSpace, static_cast<std::uint32_t>(kIndexPageCapacity - at));
    return p;
}

std::vector<std::uint32_t> IndexTree::PageNumbers() const {
    std::vector<std::uint32_t> numbers;
    for (const Node& n : pages)
        numbers.push_back(n.number);
    return numbers;
}

IndexTree ReadIndexTree(JetFile& file, std::uint32_t root, std::uint32_t tdefPage) {
    IndexTree tree;
    std::set<std::uint32_t> seen;
    std::optional<std::size_t> leafDepth;
    const auto load = [&](std::uint32_t number) {
        if (number <= kCatalogPage || number >= file.PageCount())
            file.Raise("an index names page " + std::to_string(number) +
                       ", which cannot be an index page");
        if (!seen.insert(number).second)
            file.Raise("index page " + std::to_string(number) + " is reached twice");
        std::string why;
        auto content = ParseIndexPage(file.ReadPage(number), &why);
        if (!content) file.Raise("index page " + std::to_string(number) + ": " + why);
        if (content->owner != tdefPage)
            file.Raise("index page " + std::to_string(number) + " belongs to another table");
        return std::move(*content);
    };
    // Depth first, children in key order: (page, depth, parent).
    std::vector<std::tuple<std::uint32_t, std::size_t, std::uint32_t>> stack{{root, 0, 0}};
    while (!stack.empty()) {
        const auto [number, depth, parent] = stack.back();
        stack.pop_back();
        if (depth > kMaxIndexDepth)
            file.Raise("an index is deeper than any Jet builds (a loop among its pages?)");
        IndexTree::Node node{number, depth, parent, load(number), {}};
        if (node.content.leaf) {
            if (leafDepth && *leafDepth != depth)
                file.Raise("the leaves of an index lie at different depths");
            leafDepth = depth;
            tree.leaves.push_back(number);
            tree.entries.insert(tree.entries.end(), node.content.entries.begin(),
                                node.content.entries.end());
        } else {
            for (const IndexEntry& e : node.content.entries)
                node.children.push_back(NodeChild(e));
            if (node.content.tail != 0) node.children.push_back(node.content.tail);
            if (node.children.empty())
                file.Raise("index node page " + std::to_string(number) + " has no entries");
            for (auto it = node.children.rbegin(); it != node.children.rend(); ++it)
                stack.emplace_back(*it, depth + 1, number);
        }
        tree.pages.push_back(std::move(node));
    }
    // Leaves chained past the last one the tree names are read too, so that
    // none of their entries is lost when the index is written again.
    std::uint32_t next = 0;
    for (auto it = tree.pages.rbegin(); it != tree.pages.rend(); ++it) {
        if (it->content.leaf) {
            next = it->content.next;
            break;
        }
    }
    while (next != 0 && seen.count(next) == 0) {
        IndexTree::Node node{next, leafDepth.value_or(0), 0, load(next), {}};
        if (!node.content.leaf)
            file.Raise("the leaf chain of an index reaches node page " + std::to_string(next));
        tree.chainedLeaves.push_back(next);
        tree.entries.insert(tree.entries.end(), node.content.entries.begin(),
                            node.content.entries.end());
        next = node.content.next;
        tree.pages.push_back(std::move(node));
    }
    return tree;
}

std::vector<std::string> IndexTreeProblems(const IndexTree& tree) {
    std::vector<std::string> problems;
    const auto problem = [&](const std::string& text) {
        if (problems.size() < 20) problems.push_back(text);
    };
    std::map<std::uint32_t, const IndexTree::Node*> byNumber;
    for (const IndexTree::Node& n : tree.pages)
        byNumber[n.number] = &n;
    const auto page = [&](std::uint32_t number) -> const IndexTree::Node* {
        const auto it = byNumber.find(number);
        return it == byNumber.end() ? nullptr : it->second;
    };

    for (std::size_t i = 1; i < tree.entries.size(); ++i) {
        if (!(tree.entries[i - 1] < tree.entries[i])) {
            problem("index entries are out of order (or repeated)");
            break;
        }
    }

    std::vector<std::uint32_t> chain = tree.leaves;
    chain.insert(chain.end(), tree.chainedLeaves.begin(), tree.chainedLeaves.end());
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const IndexTree::Node* leaf = page(chain[i]);
        const std::uint32_t prev = i > 0 ? chain[i - 1] : 0;
        const std::uint32_t next = i + 1 < chain.size() ? chain[i + 1] : 0;
        if (leaf->content.prev != prev || leaf->content.next != next)
            problem("leaf page " + std::to_string(chain[i]) +
                    " is not linked to its neighbours in key order");
        if (leaf->content.tail != 0)
            problem("leaf page " + std::to_string(chain[i]) + " names a child tail");
        if (leaf->content.entries.empty() && chain.size() > 1)
            problem("leaf page " + std::to_string(chain[i]) + " of a larger index is empty");
    }

    // The last leaf entry below a page (nothing under an empty leaf).
    const auto lastBelow = [&](std::uint32_t number) -> const IndexEntry* {
        for (std::size_t steps = 0; steps <= kMaxIndexDepth + 1; ++steps) {
            const IndexTree::Node* n = page(number);
            if (n == nullptr) return nullptr;
            if (n->content.leaf)
                return n->content.entries.empty() ? nullptr : &n->content.entries.back();
            if (n->children.empty()) return nullptr;
            number = n->children.back();
        }
        return nullptr;
    };
    for (const IndexTree::Node& n : tree.pages) {
        if (n.content.leaf) continue;
        const std::string where = "node page " + std::to_string(n.number);
        if (n.depth == 0 && (n.content.prev != 0 || n.content.next != 0))
            problem("the root " + where + " has neighbours");
        if (n.children.size() == 1 && n.content.tail != 0)
            problem(where + " names its only child as its tail");
        for (std::size_t k = 0; k < n.content.entries.size(); ++k) {
            const IndexEntry& e = n.content.entries[k];
            const IndexEntry* last = lastBelow(n.children[k]);
            if (last == nullptr || e.size() != last->size() + 4 ||
                !std::equal(last->begin(), last->end(), e.begin()))
                problem("an entry of " + where + " is not the last entry below its child page " +
                        std::to_string(n.children[k]));
        }
        // Node pages below a node are linked among their siblings only.
        for (std::size_t k = 0; k < n.children.size(); ++k) {
            const IndexTree::Node* child = page(n.children[k]);
            if (child == nullptr || child->content.leaf) continue;
            const std::uint32_t prev = k > 0 ? n.children[k - 1] : 0;
            const std::uint32_t next = k + 1 < n.children.size() ? n.children[k + 1] : 0;
            if (child->content.prev != prev || child->content.next != next)
                problem("node page " + std::to_string(child->number) +
                        " is not linked to its siblings in key order");
        }
    }
    return problems;
}

std::optional<std::vector<BuiltIndexPage>>
BuildIndexTree(std::uint32_t tdefPage, std::uint32_t root, const std::vector<IndexEntry>& entries,
               const std::function<std::uint32_t()>& newPage) {
    // One page, exactly as a small index has always been written.
    if (auto single = IndexLeafPage(tdefPage, entries))
        return std::vector<BuiltIndexPage>{{root, *single}};

    std::vector<std::pair<std::size_t, std::size_t>> leafRuns;
    for (std::size_t i = 0; i < entries.size();) {
        const auto end = RunEnd(entries, i, kLeafEntrySuffix);
        if (!end) return std::nullopt;
        leafRuns.emplace_back(i, *end);
        i = *end;
    }
    std::vector<PendingPage> level;
    for (const auto& [begin, end] : leafRuns) {
        PendingPage p;
        p.number = leafRuns.size() == 1 ? root : newPage();
        p.content.owner = tdefPage;
        p.content.entries.assign(entries.begin() + static_cast<std::ptrdiff_t>(begin),
                                 entries.begin() + static_cast<std::ptrdiff_t>(end));
        p.last = entries[end - 1];
        level.push_back(std::move(p));
    }
    LinkSiblings(level, 0, level.size());

    std::vector<BuiltIndexPage> out;
    const auto emit = [&](const PendingPage& p) {
        auto bytes = EncodeIndexPage(p.content, true);
        if (!bytes) return false;
        out.push_back({p.number, *bytes});
        return true;
    };
    bool childrenAreLeaves = true;
    while (level.size() > 1) {
        // A node stores an entry for each child but the last, which its tail
        // names; a node with one child stores that child's entry.
        std::vector<IndexEntry> nodeEntries;
        for (const PendingPage& child : level) {
            IndexEntry e = child.last;
            PutBig32(e, child.number);
            nodeEntries.push_back(std::move(e));
        }
        std::vector<std::pair<std::size_t, std::size_t>> groups;
        for (std::size_t i = 0; i < level.size();) {
            const auto run = RunEnd(nodeEntries, i, kNodeEntrySuffix);
            if (!run) return std::nullopt;
            // The run of stored entries, and one more child as the tail.
            const std::size_t end = std::min(level.size(), *run + 1);
            groups.emplace_back(i, end);
            i = end;
        }
        std::vector<PendingPage> parents;
        for (const auto& [begin, end] : groups) {
            PendingPage p;
            p.number = groups.size() == 1 ? root : newPage();
            p.content.leaf = false;
            p.content.owner = tdefPage;
            const std::size_t stored = end - begin > 1 ? end - 1 : end;
            p.content.entries.assign(nodeEntries.begin() + static_cast<std::ptrdiff_t>(begin),
                                     nodeEntries.begin() + static_cast<std::ptrdiff_t>(stored));
            p.content.tail = end - begin > 1 ? level[end - 1].number : 0;
            p.last = level[end - 1].last;
            if (!childrenAreLeaves) LinkSiblings(level, begin, end);
            parents.push_back(std::move(p));
        }
        for (const PendingPage& p : level) {
            if (!emit(p)) return std::nullopt;
        }
        level = std::move(parents);
        childrenAreLeaves = false;
    }
    if (!emit(level.front())) return std::nullopt;
    return out;
}

} // namespace engine::jet
