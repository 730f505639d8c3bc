// The settings file a person edits by hand: read it, write the settings back, read again. The
// second read must give the same settings as the first, and writing them once more must leave the
// file byte for byte as it is.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/foundation/settings_store.h"
#include "fuzz_input.h"

namespace velk::fuzz {
namespace {

namespace fs = std::filesystem;

fs::path Directory(const char* name) {
    const fs::path dir =
        fs::temp_directory_path() / ("velk-fuzz-" + std::to_string(::getpid())) / name;
    fs::create_directories(dir);
    return dir;
}

std::string Content(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const fs::path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    static const fs::path dir = Directory("edited");
    const fs::path ini = dir / "VELK.INI";
    Put(ini, std::string(reinterpret_cast<const char*>(data), size));

    const SettingsStore store(dir);
    AppSettings first;
    store.ReadIniFile(first);
    FUZZ_CHECK(store.WriteIniFile(first) == 1);
    const std::string once = Content(ini);

    AppSettings second;
    store.ReadIniFile(second);
    // Only what is written is read: a setting kept for the session alone would differ.
    second.Server_Port_name = first.Server_Port_name;
    second.COM_Port_number = first.COM_Port_number;
    second.COM_Port_baud_rate = first.COM_Port_baud_rate;
    FUZZ_CHECK(first == second);
    FUZZ_CHECK(store.WriteIniFile(second) == 1);
    FUZZ_CHECK(Content(ini) == once);
    return 0;
}
