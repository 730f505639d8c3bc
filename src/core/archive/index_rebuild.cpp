#include "core/archive/index_rebuild.h"

#include <unordered_map>

namespace velk {

RebuildCount IndexRebuild::File(ImportSource& source) {
    class Sink : public ImportSink {
    public:
        explicit Sink(IndexRebuild& owner) : owner_(owner) {}
        void Message(const uint8_t* frame, uint32_t length) override {
            const BillingMessage message(frame, length);
            if (DigitValue(message.At(4)) * 16 + DigitValue(message.At(5)) != 0x52) {
                ++count.others;
                return;
            }
            ++count.callRecords;
            owner_.decoder_.DecodeRecord(message, owner_.settings_.Hex_Type, fields_);
            const std::string body(reinterpret_cast<const char*>(frame) + 1, length + 2);
            owner_.indexer_.CatchUp(message, fields_, seen_[body]++);
        }
        void BadCheck() override { ++count.badCheck; }

        RebuildCount count;

    private:
        IndexRebuild& owner_;
        std::array<std::string, 50> fields_;
        std::unordered_map<std::string, int64_t> seen_;
    };
    const uint64_t before = indexer_.EnteredCount();
    Sink sink(*this);
    sink.count.end = RunRawImport(source, sink, false).end;
    indexer_.Flush();
    sink.count.added = indexer_.EnteredCount() - before;
    return sink.count;
}

}  // namespace velk
