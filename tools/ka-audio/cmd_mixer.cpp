// SPDX-License-Identifier: MIT
// ka-audio mixer: read and set mixer controls of sound card 0 by name.
#include <sound/asound.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "commands.h"
#include "ka_lib_audio.h"

namespace {

// Prints "NAME: v0 v1 ..." as the control holds them now.
int print_control(const char *name)
{
    struct snd_ctl_elem_value value;
    int count = Ka_clt_get_mixer_value(name, &value);
    if (count < 0) {
        fprintf(stderr, "ka-audio mixer: no control '%s'\n", name);
        return 1;
    }
    printf("%s:", name);
    for (int i = 0; i < count && i < 128; ++i) printf(" %ld", value.value.integer.value[i]);
    printf("\n");
    return 0;
}

int run_mixer(int argc, char **argv)
{
    if (argc < 3) return ka_tool::usage_error("mixer", "missing arguments");
    const char *op = argv[1];
    const char *name = argv[2];
    if (strcmp(op, "get") == 0 && argc == 3) return print_control(name);
    if (strcmp(op, "set") == 0 && argc >= 4) {
        // The values may come as separate arguments or as one quoted string.
        std::string values;
        int count = 0;
        for (int i = 3; i < argc; ++i) {
            values += (i > 3 ? " " : "");
            values += argv[i];
        }
        char *copy = strdup(values.c_str());
        for (char *save = nullptr, *t = strtok_r(copy, " ", &save); t; t = strtok_r(nullptr, " ", &save))
            ++count;
        free(copy);
        if (Ka_clt_set_mixer_value(name, count, values.c_str()) != 1) {
            fprintf(stderr, "ka-audio mixer: setting '%s' to '%s' failed\n", name, values.c_str());
            return 1;
        }
        // Read back what the control holds now.
        return print_control(name);
    }
    return ka_tool::usage_error("mixer", "expected 'get NAME' or 'set NAME VALUE...'");
}

const ka_tool::Registrar reg({"mixer", "get NAME | set NAME VALUE...",
                              "read, or set and read back, a mixer control of sound card 0 by name", run_mixer});

}  // namespace
