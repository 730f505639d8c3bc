#include "core/foundation/regular_file.h"

#include <system_error>

namespace velk {

RegularFile::RegularFile(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return;
    length_ = std::filesystem::file_size(path, ec);
    if (ec)
        return;
    in_.open(path, std::ios::binary);
    ok_ = in_.is_open();
}

size_t RegularFile::Read(char* to, size_t n) {
    in_.read(to, static_cast<std::streamsize>(n));
    return static_cast<size_t>(in_.gcount());
}

}  // namespace velk
