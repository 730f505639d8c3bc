// The link protocol behind the real TCP record splitter: received bytes in chunks of any size,
// interleaved with the expiry of whichever protocol timer runs, the peer closing and the operator
// disconnecting and connecting again. Every frame it delivers must have an accepted length, start
// with STX and carry a good check (as sent, or as the billing-record converter made it).
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/link/billing_record.h"
#include "core/link/link_fakes.h"
#include "core/link/link_protocol.h"
#include "core/link/tcp_record_splitter.h"
#include "checking_dispatcher.h"
#include "fuzz_input.h"
#include "support/scripted_prompt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    AppSettings settings;
    settings.IP_Used = 1;
    const uint8_t mode = in.Byte();
    settings.Server_Port_index = mode & 3;
    settings.AutoReConnection = (mode >> 2) & 1;
    settings.APP_HDFormat = (mode >> 3) & 1;
    settings.APP_360Format = (mode >> 4) & 1;
    settings.Hex_Type = (mode >> 5) & 1;

    StatisticCounters counters;
    test::FakeTimers timers;
    test::FakeClock clock;
    test::ScriptedPrompt prompt;
    test::RecordingObserver observer;
    CheckingDispatcher dispatcher(settings);
    test::RecordingLog log;
    test::FakeChannel tcp, serial;
    BillingRecordConverter converter(settings);
    cs_smda_prot prot(settings, counters, timers, clock, prompt, observer, dispatcher, log);
    prot.SetChannels(&tcp, &serial);
    prot.SetHdConverter(&converter);
    TcpRecordSplitter splitter(prot.ReceiveArea(), cs_smda_prot::kReceiveArea,
                               {[&prot](uint32_t n) { prot.OnNotifyRx(n); }, nullptr, nullptr});
    splitter.SetLengthFromDigits(settings.Server_Port_index == 3);
    tcp.resetHook = [&splitter] { splitter.Reset(); };

    if (!prot.SMDA_Connect())
        return 0;
    prot.OnChannelReady();

    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        if (op < 24) {
            // Any of the running timers expires.
            if (timers.running.empty())
                continue;
            auto it = timers.running.begin();
            std::advance(it, op % timers.running.size());
            const int id = it->first;
            timers.running.erase(it);
            clock.seconds += 1;
            prot.SMDA_Timer_Expired(id);
        } else if (op == 24) {
            prot.OnPeerClosed();
        } else if (op == 25) {
            prot.SMDA_Disconnect();
        } else if (op == 26) {
            if (prot.SMDA_Connect())
                prot.OnChannelReady();
        } else {
            const std::string chunk = in.Take(op < 200 ? op - 26u : in.Word() % 1100u);
            ExactBuffer exact(chunk);
            splitter.Feed(exact.Data(), exact.Size());
        }
        // The protocol never asks for more than the receive area holds after the header.
        FUZZ_CHECK(prot.Bytes_To_Read + 4 <= cs_smda_prot::kReceiveArea);
    }
    return 0;
}
