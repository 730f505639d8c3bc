#pragma once

#include "core/foundation/database_settings.h"

namespace velk {

// Reads connections with libpq's own parser, so that what VELK finds in one is what libpq would
// use.
class PqConnectionReader : public ConnectionReader {
public:
    bool Read(const std::string& connection, std::map<std::string, std::string>& options,
              std::string& why) const override;
};

}  // namespace velk
