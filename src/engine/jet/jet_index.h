// Index trees of Jet 4 files. An index is a B-tree of 4 KiB pages whose root
// the table definition names: leaf pages (0x04) hold the entries (key bytes
// and a big-endian page/row pointer to the row), linked in key order through
// their previous/next pointers; node pages (0x03) hold, for each child page
// but the last, the child's last entry followed by the child's page number
// (big-endian), and name their last child in the "child tail" pointer. A
// page may store a prefix shared by its entries once, in its first entry.
#pragma once

#include "engine/jet/jet_file.h"
#include "engine/jet/jet_format.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace engine::jet {

// Index page header (leaf and node pages alike).
constexpr std::size_t kIndexFreeSpace = 2;
constexpr std::size_t kIndexOwner = 4;
constexpr std::size_t kIndexPrevPage = 12;
constexpr std::size_t kIndexNextPage = 16;
constexpr std::size_t kIndexTailPage = 20;
constexpr std::size_t kIndexPrefixLength = 24;
constexpr std::size_t kIndexMaskOffset = 0x1B;
constexpr std::size_t kIndexDataOffset = 0x1E0;
// The bytes of entries one page holds.
constexpr std::size_t kIndexPageCapacity = kPageSize - kIndexDataOffset;
// A leaf entry ends with the row pointer, a node entry with that and the
// child's page number.
constexpr std::size_t kLeafEntrySuffix = 4;
constexpr std::size_t kNodeEntrySuffix = 8;

using IndexEntry = std::vector<std::uint8_t>;

// The decoded content of one index page (shared prefixes applied).
struct IndexPage {
    bool leaf = true;
    std::uint32_t owner = 0; // the table definition's page
    std::uint32_t prev = 0, next = 0, tail = 0;
    std::vector<IndexEntry> entries;
};

// Decodes an index page; nothing, with the reason in `why`, when its bytes
// cannot be an index page.
std::optional<IndexPage> ParseIndexPage(const Page& page, std::string* why = nullptr);
// The child page a node entry names (its last four bytes, big-endian).
std::uint32_t NodeChild(const IndexEntry& entry);
// Encodes a page. With `compress`, the prefix that the keys of the first and
// last entries share is stored once. Nothing when the entries do not fit.
std::optional<Page> EncodeIndexPage(const IndexPage& content, bool compress);

// A whole index as read from its root.
struct IndexTree {
    struct Node {
        std::uint32_t number = 0;
        std::size_t depth = 0; // the root is 0
        std::uint32_t parent = 0;
        IndexPage content;
        std::vector<std::uint32_t> children; // node pages: entry children, then the tail
    };
    std::vector<Node> pages;           // root first, then depth first in key order
    std::vector<std::uint32_t> leaves; // in key order
    // Leaf pages reached only through the next pointer of the last leaf.
    std::vector<std::uint32_t> chainedLeaves;
    std::vector<IndexEntry> entries; // every leaf entry, in page order
    std::vector<std::uint32_t> PageNumbers() const;
};

// Reads the index whose root is `root` and whose pages belong to the table
// defined at `tdefPage`. Raises 3049 through `file` at damage: a page that is
// not an index page of that table, a page reached twice, a tree deeper than
// any Jet writes, leaves at different depths, an entry that runs off its page.
IndexTree ReadIndexTree(JetFile& file, std::uint32_t root, std::uint32_t tdefPage);

// What a sound tree satisfies beyond being readable: entries in strictly
// ascending order across the leaves, the leaf chain in key order, each node
// entry equal to the last entry below its child, node siblings linked under
// their parent, no tail on a leaf or on a node with one child. Each failure
// is one line of the result.
std::vector<std::string> IndexTreeProblems(const IndexTree& tree);

// The key of a row in `index`, from the row's values in stored order (as
// JetFile::DecodeRow gives them), without the row pointer: Long and Text
// parts, 0x00 for Null, and every byte of a descending column's part
// inverted (its Null too; a text's inverted end byte is followed by a
// plain one). Nothing when a column of another type, a character without a
// sort code, or a value the row lacks is involved.
std::optional<IndexEntry> RowIndexKey(const TableInfo& table, const TableInfo::RealIndex& index,
                                      const std::vector<Value>& stored);
// The row pointer a leaf entry ends with (page big-endian, then the row);
// 0 for an entry too short to hold one.
std::uint32_t EntryRowPointer(const IndexEntry& entry);
void AppendRowPointer(IndexEntry& entry, std::uint32_t pointer);

struct BuiltIndexPage {
    std::uint32_t number = 0;
    Page bytes{};
};
// The pages of an index holding `entries` (sorted leaf entries) for the table
// defined at `tdefPage`, its root at `root`. Entries that fit one leaf page
// unshared make exactly that page; otherwise leaves are filled in order and
// node levels built above them until one page, the root, remains. Other
// pages take their numbers from `newPage`. Nothing when an entry is too large
// for a page.
std::optional<std::vector<BuiltIndexPage>>
BuildIndexTree(std::uint32_t tdefPage, std::uint32_t root, const std::vector<IndexEntry>& entries,
               const std::function<std::uint32_t()>& newPage);

} // namespace engine::jet
