// The serial reader under the link protocol: bytes arrive in chunks of any size, line errors,
// purges and timer expiries come in between. Each piece reported must be exactly the request the
// protocol made (1, 3 or the body length), and every frame delivered must be one it accepts.
#include <iterator>
#include <string>

#include "core/link/link_fakes.h"
#include "core/link/link_protocol.h"
#include "core/link/serial_piece_reader.h"
#include "checking_dispatcher.h"
#include "fuzz_input.h"
#include "support/scripted_prompt.h"

namespace velk::fuzz {
namespace {

// The serial port as the protocol sees it; the reader is its receive side.
class SerialFake : public LinkChannel {
public:
    bool Open(const std::string&, int32_t) override {
        Purge();
        reader->SetActive(true);
        return true;
    }
    bool Write(uint8_t) override { return true; }
    void Close() override {
        reader->SetActive(false);
        Purge();
    }
    void ClearRx() override { Purge(); }
    void Purge() {
        reader->Purge();
        FUZZ_CHECK(reader->Waiting() == 0);
    }
    SerialPieceReader* reader = nullptr;
};

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    AppSettings settings;
    settings.IP_Used = 0;
    StatisticCounters counters;
    test::FakeTimers timers;
    test::FakeClock clock;
    test::ScriptedPrompt prompt;
    test::RecordingObserver observer;
    CheckingDispatcher dispatcher(settings);
    test::RecordingLog log;
    test::FakeChannel tcp;
    SerialFake serial;
    cs_smda_prot prot(settings, counters, timers, clock, prompt, observer, dispatcher, log);
    prot.SetChannels(&tcp, &serial);

    uint32_t asked = 0;  // what the protocol asked for when it last answered
    SerialPieceReader reader(prot.ReceiveArea(), cs_smda_prot::kReceiveArea, prot.Bytes_To_Read,
                             {[&](uint32_t n) {
                                  FUZZ_CHECK(n == asked);
                                  FUZZ_CHECK(n >= 1 && n + 4 <= cs_smda_prot::kReceiveArea);
                                  prot.OnNotifyRx(n);
                                  asked = prot.Bytes_To_Read;
                              },
                              nullptr});
    serial.reader = &reader;
    if (!prot.SMDA_Connect())
        return 0;
    asked = prot.Bytes_To_Read;

    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        if (op < 20) {
            if (!timers.running.empty()) {
                auto it = timers.running.begin();
                std::advance(it, op % timers.running.size());
                const int id = it->first;
                timers.running.erase(it);
                prot.SMDA_Timer_Expired(id);
            }
        } else if (op < 24) {
            reader.LineError();
        } else if (op == 24) {
            prot.SMDA_Disconnect();
        } else if (op == 25) {
            prot.SMDA_Connect();
        } else {
            const std::string chunk = in.Take(op < 200 ? op - 25u : in.Word() % 1100u);
            ExactBuffer exact(chunk);
            asked = prot.Bytes_To_Read;
            reader.Feed(exact.Data(), exact.Size());
        }
        asked = prot.Bytes_To_Read;
        reader.Pump();  // the port serves a request made outside a read event
        asked = prot.Bytes_To_Read;
    }
    return 0;
}
