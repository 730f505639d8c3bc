#pragma once

namespace velk {

// A colour as red, green and blue, 0..255 each.
struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};

}  // namespace velk
