// Fuzz target: the dBASE / FoxPro table reader, with its memo file.
//
// Input: one byte choosing the memo file's kind, four bytes (little-endian)
// giving the length of the table file, the table file, then the memo file.
// Every record is read and every memo it points at; a damaged file may raise
// the engine's errors, nothing else.
#include "engine/engine.h"
#include "engine/xbase/format.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

class Memory : public engine::xbase::ByteSource {
  public:
    explicit Memory(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        if (offset >= bytes_.size()) return 0;
        const std::size_t n = std::min<std::size_t>(size, bytes_.size() - offset);
        std::memcpy(buffer, bytes_.data() + offset, n);
        return n;
    }

  private:
    std::string_view bytes_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace engine::xbase;
    if (size < 5) return 0;
    const auto kind = static_cast<MemoKind>(data[0] % 4);
    std::uint32_t tableLength = 0;
    std::memcpy(&tableLength, data + 1, 4);
    const std::string_view rest(reinterpret_cast<const char*>(data + 5), size - 5);
    const std::size_t split = std::min<std::size_t>(tableLength, rest.size());
    const Memory table(rest.substr(0, split));
    const Memory memo(rest.substr(split));
    try {
        TableReader reader(table, &memo, kind);
        std::vector<engine::Value> row;
        for (std::uint64_t i = 0; i < reader.RecordCount(); ++i)
            reader.Read(i, row);
    } catch (const engine::EngineError&) {
    }
    // Memo block numbers come from untrusted records: any number must be safe.
    if (kind != MemoKind::None) {
        const MemoReader memoReader(kind, memo);
        for (std::uint64_t block :
             {std::uint64_t{1}, std::uint64_t{tableLength}, std::uint64_t{9999999999}})
            memoReader.Read(block);
    }
    return 0;
}
