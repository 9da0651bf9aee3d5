// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The poll-interval settings ('h', 'p') over any request: the argument is
// read as atol reads it (checked against the C library), its low 32 bits
// are clamped to the limits, and the reply is a whole document.
#include <cerrno>
#include <cstdlib>

#include "commands/cmd_small.h"
#include "fuzz_support.h"
#include "server.h"
#include "shared/atol_parser.h"

using namespace vorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ReqBuf buf{};
    std::memcpy(buf.data(), data, std::min(size, kRequestSize));

    const std::string arg(buf.data() + 2);
    const long long reference = std::strtoll(arg.c_str(), nullptr, 10);
    fuzz::check(parseAtol(arg) == reference, "the argument is not read as atol reads it", arg);
    AtolParser parser;
    for (const char c : arg)
        if (!parser.feed(c))
            break;
    fuzz::check(parser.result() == reference, "the character-wise parse differs", arg);

    const std::uint32_t asked = requestedPollInterval(buf);
    fuzz::check(asked == static_cast<std::uint32_t>(reference), "the interval is not the low 32 bits", arg);
    const PollIntervalSetting setting = clampPollInterval(asked);
    fuzz::check(setting.value >= kMinPollInterval && setting.value <= kMaxPollInterval, "a setting beyond the limits");
    fuzz::check(setting.tooSmall == (asked < kMinPollInterval) && setting.tooLarge == (asked > kMaxPollInterval) &&
                    (setting.tooSmall || setting.tooLarge || setting.value == asked),
                "the clamp reports the wrong limit");

    OutBuf out{};
    if (size > 0 && (data[0] & 1) != 0) {
        hb_poll_interval(out, buf);
        fuzz::check(hbPollRate.load() == setting.value, "the heartbeat setting is not the clamped value");
    } else {
        mc_poll_interval(out, buf);
        fuzz::check(mcPollRate.load() == setting.value, "the MC setting is not the clamped value");
    }
    fuzz::checkDocument(out);
    return 0;
}
