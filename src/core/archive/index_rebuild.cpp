#include "core/archive/index_rebuild.h"

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
            const std::string_view body(reinterpret_cast<const char*>(frame) + 1, length + 2);
            const int64_t occurrence = owner_.counter_.Next(body);
            if (occurrence < 0) {
                // Without its count a record could be taken for one the index holds already.
                count.error = owner_.counter_.ErrorText();
                return;
            }
            ++count.callRecords;
            owner_.decoder_.DecodeRecord(message, owner_.settings_.Hex_Type, fields_);
            owner_.indexer_.CatchUp(message, fields_, occurrence);
        }
        void BadCheck() override { ++count.badCheck; }
        bool Cancelled() override { return !count.error.empty(); }

        RebuildCount count;

    private:
        IndexRebuild& owner_;
        std::array<std::string, 50> fields_;
    };
    const uint64_t before = indexer_.EnteredCount();
    counter_.Clear();
    Sink sink(*this);
    sink.count.end = ReadStoredRawFile(source, sink).end;
    counter_.Clear();
    indexer_.Flush();
    sink.count.added = indexer_.EnteredCount() - before;
    return sink.count;
}

}  // namespace velk
