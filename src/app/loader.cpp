#include "app/loader.h"

#include "core/runstate.h"
#include "engine/convert.h"
#include "platform/platform.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace app {

bool IsAscii(std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    std::uint64_t any = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        any |= word;
    }
    for (; n > 0; ++p, --n)
        any |= static_cast<unsigned char>(*p);
    return (any & 0x8080808080808080ull) == 0;
}

// ---- Reading -------------------------------------------------------------------

DataSectionReader::DataSectionReader(TransferFile& file, std::vector<engine::Field> fields,
                                     const std::optional<std::string>& firstLine,
                                     std::size_t blockSize)
    : file_(file), blockSize_(std::max<std::size_t>(blockSize, 16)) {
    for (engine::Field& field : fields) {
        FieldRule rule;
        rule.text = field.Type == engine::dbText || field.Type == engine::dbMemo;
        rule.field = std::move(field);
        fields_.push_back(std::move(rule));
    }
    // The first line was decoded when it was read; as UTF-8 it reads back
    // unchanged. CR LF ends it whatever follows, as a lone LF would not.
    if (firstLine)
        carry_ = *firstLine + "\r\n";
    else
        done_ = true;
}

void DataSectionReader::SetMissingField(std::size_t index, std::exception_ptr error) {
    if (index < fields_.size()) fields_[index].missing = std::move(error);
}

void DataSectionReader::AddValue(engine::RowBatch& rows, std::size_t index, std::string_view line) {
    const FieldRule& rule = fields_[index];
    if (rule.missing) std::rethrow_exception(rule.missing);
    if (rule.text) {
        // A text that the field takes as it is needs neither a copy nor the
        // engine: bound where it lies in the block.
        const std::string_view text = TextRuleText(line);
        const bool fits = rule.field.Type == engine::dbMemo ||
                          text.size() <= static_cast<std::size_t>(std::max(rule.field.Size, 0));
        if (fits && (!text.empty() || rule.field.AllowZeroLength)) {
            rows.AddText(text);
            return;
        }
    }
    engine::ConvertValueInto(DataLineValue(line, rule.field.Type), rule.field, converted_);
    rows.AddValue(converted_);
}

bool DataSectionReader::Next(LoadBatch& batch) {
    batch.rows.Clear(static_cast<int>(fields_.size()));
    if (done_) return false;
    try {
        const bool more = ReadBlock(batch);
        batch.rows.DropIncompleteRow();
        return more;
    } catch (...) {
        // The record being read is not stored; the ones before it are.
        batch.rows.DropIncompleteRow();
        done_ = true;
        throw;
    }
}

bool DataSectionReader::ReadBlock(LoadBatch& batch) {
    // A record longer than a block makes the next block twice its size; a
    // block grown that way is given back once records are short again.
    const std::size_t capacity = std::max(blockSize_, 2 * carry_.size());
    if (batch.bytes.size() < capacity || batch.bytes.size() > 4 * capacity)
        std::vector<char>(capacity).swap(batch.bytes);
    char* const bytes = batch.bytes.data();
    std::memcpy(bytes, carry_.data(), carry_.size());
    const std::size_t wanted = batch.bytes.size() - carry_.size();
    const std::size_t read = file_.ReadBytes(bytes + carry_.size(), wanted);
    const std::size_t size = carry_.size() + read;
    const bool atEnd = read < wanted;
    carry_.clear();
    // Most files are ASCII throughout: then no line needs decoding.
    const bool ascii = IsAscii({bytes, size});

    const std::size_t count = fields_.size();
    std::size_t pos = 0, recordStart = 0, field = 0;
    while (pos < size) {
        const auto* cr = static_cast<const char*>(std::memchr(bytes + pos, '\r', size - pos));
        std::size_t lineEnd = size, next = size;
        if (cr == nullptr) {
            if (!atEnd) break; // the line goes on in the next block
        } else {
            lineEnd = static_cast<std::size_t>(cr - bytes);
            next = lineEnd + 1;
            // Whether an LF follows is known only with the next byte.
            if (next == size && !atEnd) break;
            if (next < size && bytes[next] == '\n') ++next;
        }
        std::string_view line(bytes + pos, lineEnd - pos);
        if (IsMarkerLine(line, CommandMarker)) {
            file_.Unread({bytes + next, size - next});
            done_ = true;
            return false;
        }
        if (!ascii && !platform::IsValidUtf8(line))
            line = batch.rows.Keep(platform::Cp1252ToUtf8(line));
        AddValue(batch.rows, field, line);
        if (++field == count) {
            field = 0;
            recordStart = next;
        }
        pos = next;
    }
    if (atEnd) {
        done_ = true;
        return false;
    }
    // The incomplete record is read again, whole, from the next block.
    carry_.assign(bytes + recordStart, size - recordStart);
    return true;
}

// ---- The pipeline --------------------------------------------------------------

namespace {

// A batch and what the reader says with it.
struct Slot {
    LoadBatch batch;
    bool last = false;
    std::exception_ptr error; // raised once the batch's rows are stored
};

// Slots travel between the two threads through two of these: filled ones to
// the writer, emptied ones back to the reader. Their number is fixed, which
// bounds the memory.
class SlotChannel {
  public:
    void Push(std::unique_ptr<Slot> slot) {
        {
            const std::lock_guard lock(mutex_);
            if (closed_) return;
            slots_.push_back(std::move(slot));
        }
        ready_.notify_one();
    }
    // Nothing once the channel is closed and emptied.
    std::unique_ptr<Slot> Pop() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return closed_ || !slots_.empty(); });
        if (slots_.empty()) return nullptr;
        auto slot = std::move(slots_.front());
        slots_.pop_front();
        return slot;
    }
    void Close() {
        {
            const std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::unique_ptr<Slot>> slots_;
    bool closed_ = false;
};

// Two batches in the works and two waiting keep both threads busy.
constexpr int kSlots = 4;

class Pipeline {
  public:
    explicit Pipeline(DataSectionReader& reader) : reader_(reader) {
        for (int i = 0; i < kSlots; ++i)
            empty_.Push(std::make_unique<Slot>());
        thread_ = std::thread([this] { Read(); });
    }
    // Every way out, an error included, stops the reader and waits for it.
    ~Pipeline() {
        empty_.Close();
        filled_.Close();
        if (thread_.joinable()) thread_.join();
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // On the calling thread: stores the rows as they come, in order. An error
    // of the reader is raised once the rows before it are stored; an error of
    // the recordset leaves through the destructor, which stops the reader.
    void Store(engine::Recordset& records) {
        for (;;) {
            std::unique_ptr<Slot> slot = filled_.Pop();
            if (!slot) break;
            records.AppendRows(slot->batch.rows);
            if (slot->error) std::rethrow_exception(slot->error);
            if (slot->last) return;
            empty_.Push(std::move(slot));
        }
        // The reader failed outside a batch (it could not hand one over).
        thread_.join();
        if (failure_) std::rethrow_exception(failure_);
    }

  private:
    // The reader thread.
    void Read() {
        try {
            for (;;) {
                std::unique_ptr<Slot> slot = empty_.Pop();
                if (!slot) return; // the writer stopped
                try {
                    slot->last = !reader_.Next(slot->batch);
                } catch (...) {
                    slot->error = std::current_exception();
                    slot->last = true;
                }
                const bool last = slot->last;
                filled_.Push(std::move(slot));
                if (last) return;
            }
        } catch (...) {
            failure_ = std::current_exception();
            filled_.Close();
        }
    }

    DataSectionReader& reader_;
    SlotChannel empty_, filled_;
    std::exception_ptr failure_; // set by the reader before it closes filled_
    std::thread thread_;
};

// Without a second thread the same work alternates on this one.
void LoadInline(DataSectionReader& reader, engine::Recordset& records) {
    LoadBatch batch;
    for (;;) {
        bool more = false;
        try {
            more = reader.Next(batch);
        } catch (...) {
            records.AppendRows(batch.rows);
            throw;
        }
        records.AppendRows(batch.rows);
        if (!more) return;
    }
}

} // namespace

void LoadData(TransferFile& file, engine::Recordset& records,
              const std::optional<std::string>& firstLine) {
    const int count = core::Run().FieldCount;
    if (count <= 0) {
        // No table is without fields; the section is passed over all the same.
        std::string line = firstLine.value_or("");
        for (bool have = firstLine.has_value(); have && !IsMarkerLine(line, CommandMarker);
             have = file.ReadLine(line)) {
        }
        return;
    }
    std::vector<engine::Field> fields(static_cast<std::size_t>(count));
    std::vector<std::exception_ptr> missing(fields.size());
    for (int i = 0; i < count; ++i) {
        try {
            fields[static_cast<std::size_t>(i)] = records.FieldInfo(i);
        } catch (...) {
            missing[static_cast<std::size_t>(i)] = std::current_exception();
        }
    }
    DataSectionReader reader(file, std::move(fields), firstLine);
    for (std::size_t i = 0; i < missing.size(); ++i)
        if (missing[i]) reader.SetMissingField(i, missing[i]);

    std::unique_ptr<Pipeline> pipeline;
    try {
        pipeline = std::make_unique<Pipeline>(reader);
    } catch (const std::system_error&) {
        LoadInline(reader, records); // no thread to be had
        return;
    }
    pipeline->Store(records);
}

} // namespace app
