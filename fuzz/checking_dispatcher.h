#pragma once

// The link targets' end of the protocol: every frame delivered must have an accepted length,
// start with STX and carry a good block check.

#include "core/foundation/app_settings.h"
#include "core/link/frame_dispatcher.h"
#include "core/link/link_protocol.h"
#include "fuzz_input.h"

namespace velk::fuzz {

class CheckingDispatcher : public FrameDispatcher {
public:
    explicit CheckingDispatcher(const AppSettings& settings) : settings_(settings) {}
    void Dispatch(const uint8_t* frame, uint32_t length) override {
        FUZZ_CHECK(IsAcceptedLength(length));
        FUZZ_CHECK(frame[0] == STX);
        // The 360 format's unscrambling writes its own check after the last pair it took.
        if (settings_.APP_360Format == 0)
            FUZZ_CHECK(BccMatches(frame, length));
    }

private:
    const AppSettings& settings_;
};

}  // namespace velk::fuzz
