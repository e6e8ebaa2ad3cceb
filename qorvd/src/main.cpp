// qorv_raw_data_parser SUBCMD BASE64: decode one UEFI memory record and print
// its summary. Every reported outcome ends with status 0; the text tells.

#include "logging.hpp"
#include "qorv_uefi_raw_data_parser.hpp"
#include "utils.hpp"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <cstdint>
#include <string_view>

namespace
{
// The tool's name is misspelt here on purpose: scripts match these texts.
constexpr std::string_view usageText = "qrov_raw_data_parser subcmd base64RawData.\n";
constexpr std::string_view parameterErrorText =
    "Parameter is incorrect, please use qrov_raw_data_parser -h for help.\n";
} // namespace

int main(int argc, char* argv[])
{
    using namespace qorvd;

    if (argc == 2 && std::string_view{argv[1]} == "-h")
    {
        writeStdout(usageText);
        return 0;
    }
    if (argc != 3)
    {
        writeStdout(parameterErrorText);
        return 0;
    }

    const std::string_view subcmdText{argv[1]};
    const auto subcmd = parseUnsigned32(subcmdText);
    if (!subcmd)
    {
        log(LogLevel::Error) << "subcmd conversion failed: " << subcmdText;
        writeStdout(parameterErrorText);
        return 0;
    }

    // Only the low byte selects the record kind: 256 is 0, -1 is 255.
    const auto result = handleRawData(static_cast<uint8_t>(*subcmd), argv[2]);
    if (result != RawDataResult::Success)
    {
        writeStdout(fmt::format(FMT_COMPILE("handleRawData return {}"), static_cast<int>(result)));
    }
    return 0;
}
