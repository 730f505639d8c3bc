#pragma once

#include <string>

namespace velk {

// Texts of socket error codes for the diagnostic trace.
std::string SocketErrorText(int code);

}  // namespace velk
