// SPDX-License-Identifier: MIT
// ka-audio devices: the library's devices as its own table describes them,
// with whether each PCM node is there now.
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "commands.h"
#include "ka_devices.h"

namespace {

std::string node_path(const ka_devices::Device &d, char dir)
{
    return "/dev/snd/pcmC" + std::to_string(d.card) + "D" + std::to_string(d.pcm_device) + dir;
}

int cmd_devices(int argc, char **)
{
    if (argc != 1) return ka_tool::usage_error("devices", "no arguments expected");
    std::string formats, channels;
    // The card offers more formats, but the library gives every stream
    // 16-bit samples: only the formats of that width play or record.
    for (const auto &f : ka_devices::kFormats)
        if (f.bytes * 8 == ka_devices::kSampleBits)
            formats += std::string(formats.empty() ? "" : " ") + f.name;
    for (const auto &c : ka_devices::kChannels)
        channels += (channels.empty() ? "" : " ") + std::to_string(c.count);
    for (const auto &d : ka_devices::kDevices) {
        printf("%s: %s\n", d.name, d.purpose);
        for (const char dir : {'p', 'c'}) {
            const std::string node = node_path(d, dir);
            printf("  %-8s  %-20s %s\n", dir == 'p' ? "playback" : "capture", node.c_str(),
                   access(node.c_str(), F_OK) == 0 ? "present" : "absent");
        }
        printf("  formats %s; channels %s; rates %u to %u Hz\n", formats.c_str(), channels.c_str(),
               ka_devices::kRateMin, ka_devices::kRateMax);
    }
    printf("--device takes the names above; without it, %s.\n", ka_devices::kDevices[0].name);
    return 0;
}

const ka_tool::Registrar reg_devices({"devices", "",
                                      "list the devices --device takes: node, use, formats, channels, rates, "
                                      "and whether the node is present",
                                      cmd_devices});

}  // namespace
